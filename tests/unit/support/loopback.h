// A TCP connection over loopback for socket tests: a listener on a port the
// system chose, a client connected to it and, once accepted, the server end.
#pragma once

#include "zunder/sockets.h"

struct LoopbackPair {
  ZTCPSocket listener;
  ZTCPSocket client;
  ZTCPSocket server;

  // The listener and the connected client; the connection stays queued.
  bool Connect() {
    if (!listener.Listen(5, 0)) return false;
    client.SetPort(listener.GetPort());
    return client.Connect("127.0.0.1");
  }
  // And the server end accepted.
  bool Open() { return Connect() && server.Accept(listener); }
};
