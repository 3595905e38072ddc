#include "socket_list.h"

#include "zunder/threads.h"

SocketList::SocketList(bool ownsSockets) : ownsSockets(ownsSockets) { sockets.SetDeleteObjects(false); }

SocketList::~SocketList() {
  std::lock_guard<std::mutex> lock(mutex);
  if (!ownsSockets) return;
  for (ZIndex i = 0; i < sockets.GetSize(); ++i) delete sockets.GetAt(i);
  sockets.RemoveAll();
}

void SocketList::Append(ZSocket* socket) {
  if (socket == nullptr) {
    Z_ASSERT_CODE(ZAssertNullPointer);
    return;
  }
  std::lock_guard<std::mutex> lock(mutex);
  sockets.Append(socket);
}

bool SocketList::Remove(ZSocket* socket) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (socket == nullptr || !sockets.Remove(socket)) {
      Z_ASSERT_MESSAGE("Could not find active socket");
      return false;
    }
  }
  // Destroying a socket may wait for operations still inside it, so it is
  // done without holding the list.
  if (ownsSockets) delete socket;
  return true;
}

void SocketList::CloseAll() {
  // Each woken thread removes its own socket; they need the mutex for that.
  // A socket added while we wait (a link that was being set up) is closed
  // too, or the wait would last as long as it does; closing again is cheap.
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (sockets.GetSize() == 0) return;
      for (ZIndex i = 0; i < sockets.GetSize(); ++i) static_cast<ZSocket*>(sockets.GetAt(i))->Close();
    }
    ZThread::SleepFor(ZTimeInterval(1));
  }
}

ZIndex SocketList::Count() const {
  std::lock_guard<std::mutex> lock(mutex);
  return sockets.GetSize();
}

bool SocketList::Contains(const ZSocket* socket) const {
  std::lock_guard<std::mutex> lock(mutex);
  return sockets.IndexOfObject(socket) != ZNotFound;
}
