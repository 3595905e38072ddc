#include "socket_list.h"

#include <algorithm>

#include "zunder/threads.h"

SocketList::SocketList(bool owning) : ownsSockets(owning) { sockets.SetDeleteObjects(false); }

SocketList::~SocketList() {
  std::lock_guard<std::mutex> lock(mutex);
  if (!ownsSockets) return;
  for (ZIndex i = 0; i < sockets.GetSize(); ++i) delete sockets.GetAt(i);
  sockets.RemoveAll();
}

void SocketList::Append(ZSocket* socket, ZSocket* partner) {
  if (socket == nullptr) {
    Z_ASSERT_CODE(ZAssertNullPointer);
    return;
  }
  std::lock_guard<std::mutex> lock(mutex);
  sockets.Append(socket);
  if (partner != nullptr) partners.emplace_back(socket, partner);
  // Too late for the closing pass: a stop or pause would otherwise wait for
  // this one to end by itself.
  if (closed) {
    socket->Close();
    if (partner != nullptr) partner->Close();
  }
}

bool SocketList::Remove(ZSocket* socket) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (socket == nullptr || !sockets.Remove(socket)) {
      Z_ASSERT_MESSAGE("Could not find active socket");
      return false;
    }
    partners.erase(
        std::remove_if(partners.begin(), partners.end(), [socket](const auto& pair) { return pair.first == socket; }),
        partners.end());
  }
  // Destroying a socket may wait for operations still inside it, so it is
  // done without holding the list.
  if (ownsSockets) delete socket;
  return true;
}

void SocketList::CloseAll() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    closed = true;
    for (ZIndex i = 0; i < sockets.GetSize(); ++i) static_cast<ZSocket*>(sockets.GetAt(i))->Close();
    for (const auto& pair : partners) pair.second->Close();
  }
  // Each woken thread removes its own socket; they need the mutex for that.
  // A socket appended meanwhile is closed by Append, so the wait ends.
  while (!IsEmpty()) ZThread::SleepFor(ZTimeInterval(1));
}

void SocketList::Reopen() {
  std::lock_guard<std::mutex> lock(mutex);
  closed = false;
}

bool SocketList::IsClosed() const {
  std::lock_guard<std::mutex> lock(mutex);
  return closed;
}

ZIndex SocketList::Count() const {
  std::lock_guard<std::mutex> lock(mutex);
  return sockets.GetSize();
}

bool SocketList::Contains(const ZSocket* socket) const {
  std::lock_guard<std::mutex> lock(mutex);
  return sockets.IndexOfObject(socket) != ZNotFound;
}
