// SocketList: the sockets the service may have to close from another
// thread (listening sockets, client sides of active links), guarded by a
// mutex of its own.
#pragma once

#include <mutex>
#include <utility>
#include <vector>

#include "zunder/containers.h"
#include "zunder/sockets.h"

class SocketList {
 public:
  // An owning list destroys a socket when it is removed from it.
  explicit SocketList(bool owning);
  ~SocketList();
  SocketList(const SocketList&) = delete;
  SocketList& operator=(const SocketList&) = delete;

  // partner, when given, is closed along with socket (the other side of a
  // link, whose wait may be on it alone); it is never owned, and leaves the
  // list with socket. While the list is closed (see CloseAll) both are
  // closed at once, though appended as ever: their thread removes them.
  void Append(ZSocket* socket, ZSocket* partner = nullptr);
  // A socket that is not in the list is an internal error (reported, and
  // answered false; the socket is then left alone).
  bool Remove(ZSocket* socket);
  // Closes every socket, then waits until the threads using them have
  // removed them all. The list stays closed until Reopen: what is appended
  // during the wait or after it is closed at once.
  void CloseAll();
  // Sockets appended from now on stay open (a new load of the service).
  void Reopen();
  bool IsClosed() const;

  // Runs use while socket is in the list, under the list's lock: a socket
  // found there cannot be removed (or destroyed) meanwhile. False, without
  // running it, when the socket is not there.
  template <typename Use>
  bool WithListed(const ZSocket* socket, Use use) {
    std::lock_guard<std::mutex> lock(mutex);
    if (sockets.IndexOfObject(socket) == ZNotFound) return false;
    use();
    return true;
  }

  ZIndex Count() const;
  bool IsEmpty() const { return Count() == 0; }
  bool Contains(const ZSocket* socket) const;

 private:
  const bool ownsSockets;
  mutable std::mutex mutex;
  ZList sockets;  // never deletes: an owning list deletes outside the mutex
  std::vector<std::pair<const ZSocket*, ZSocket*>> partners;
  bool closed = false;
};
