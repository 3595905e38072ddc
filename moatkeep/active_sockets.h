// ActiveSockets: where a thread lists the sockets it may block on, so that
// stop and pause can close them and end its wait; ActiveListing keeps one
// listed for a scope.
#pragma once

#include "zunder/sockets.h"

class ActiveSockets {
 public:
  virtual ~ActiveSockets() = default;
  virtual void AddActiveSocket(ZSocket& socket) = 0;
  virtual void RemoveActiveSocket(ZSocket& socket) = 0;
};

class ActiveListing {
 public:
  ActiveListing(ActiveSockets& activeSockets, ZSocket& listed) : sockets(activeSockets), socket(listed) {
    activeSockets.AddActiveSocket(listed);
  }
  ~ActiveListing() { sockets.RemoveActiveSocket(socket); }
  ActiveListing(const ActiveListing&) = delete;
  ActiveListing& operator=(const ActiveListing&) = delete;

 private:
  ActiveSockets& sockets;
  ZSocket& socket;
};
