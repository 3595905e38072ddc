// ProxyThread: one thread running one body of the service on one master
// socket. A body accepts one connection, starts the next ProxyThread on the
// same master socket and then serves its own connection to the end (the TCP
// relay's body then also serves connections already queued on its master,
// one after another, without ever waiting on it).
#pragma once

#include "zunder/sockets.h"
#include "zunder/threads.h"

class Proxy;
class ProxyThread;

// A relay or agent body: the thread that runs it and the master socket it
// serves (owned by the service's list of master sockets).
using ProxyBody = void (Proxy::*)(ProxyThread& thread, ZIPSocket& master);

class ProxyThread : public ZThread {
  Z_CLASS(ProxyThread, ZThread)
 public:
  // Starts a thread running body on master; it deletes itself when the body
  // returns. False, with nothing started, when the system refuses a thread.
  static bool Start(Proxy& proxy, ZIPSocket& master, ProxyBody body);

  void Main() override;

  // Starts the next thread on the same master socket with the same body;
  // false, as Start, when the system refuses a thread.
  bool StartSuccessor();
  ZIPSocket& GetMaster() const { return socket; }

  // Asked by a body that could not start its successor: once the body has
  // returned, this thread waits a moment and runs it again, so the master
  // socket keeps a thread waiting on it.
  void RunAgain() { runAgain = true; }

  // Signalled by the dial-up supervisor to release a thread waiting for the link.
  ZSemaphore ready{0, 1};

 private:
  ProxyThread(Proxy& owner, ZIPSocket& master, ProxyBody agentBody);

  Proxy& proxy;
  ZIPSocket& socket;
  ProxyBody body;
  bool runAgain = false;  // only this thread reads and writes it
};
