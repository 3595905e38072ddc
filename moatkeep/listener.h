// Listeners: the service's master sockets, and the first steps of every
// relay's and agent's thread on one of them. A thread accepts one connection
// (riding out a shortage of descriptors), hands the master socket on to a
// successor thread, which waits for the next connection, and serves its own.
// Where a body meets the dial-up gate, before handing on or after, is its own
// choice: each says why at the call.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "log_sink.h"
#include "proxy_thread.h"
#include "socket_list.h"
#include "zunder/sockets.h"
#include "zunder/strings.h"

class Listeners {
 public:
  // Not copied: it owns the master sockets (see SocketList).
  explicit Listeners(LogSink& logSink) : log(logSink) {}

  // ---- the master sockets of the loads
  // A new load of the configuration: numbered before any of its master
  // sockets exists, and the list opened again after a close.
  void BeginLoad();
  // The number of the load in progress or last made.
  uint64_t CurrentLoad() const { return loadNumber.load(std::memory_order_acquire); }
  void Add(ZIPSocket* master) { masterSockets.Append(master); }
  // Removes and destroys master.
  void Remove(ZIPSocket& master) { masterSockets.Remove(&master); }
  // Closes every master socket (their threads end), then waits until the
  // threads have removed them all.
  void CloseAll() { masterSockets.CloseAll(); }

  // ---- a thread's turn on its master socket
  // Accepts one connection: attempt() makes a socket of the agent's kind
  // that holds one accepted from master when it is open (PlainAccept for a
  // plain TCP socket). A shortage of descriptors or buffers is ridden out:
  // logged once as "Accept failed for <agent>: <error>", tried again after a
  // pause. Null when the relay is to close; the master socket has then been
  // removed (and destroyed), with the same line unless it was closed on
  // purpose (a pause, a stop or a reload).
  template <typename Attempt>
  auto AcceptConnection(ZIPSocket& master, const ZString& agent, Attempt attempt) -> decltype(attempt());

  // Starts the next thread to wait on the thread's master socket, running
  // the same body. When the system refuses a thread, false: the caller drops
  // the connection it accepted and returns, and its thread then waits on
  // the master socket again itself. The shortage is logged when it begins
  // and when it ends, not for every attempt.
  bool PassOnListener(ProxyThread& thread);

  // AcceptConnection, then whileHeld() (what must be done before another
  // thread may take connections from master), then PassOnListener. Null
  // when the relay is to close or no successor could be started (the
  // connection accepted is then dropped).
  template <typename Attempt, typename WhileHeld>
  auto AcceptAndPassOn(ProxyThread& thread, const ZString& agent, Attempt attempt, WhileHeld whileHeld)
      -> decltype(attempt());
  template <typename Attempt>
  auto AcceptAndPassOn(ProxyThread& thread, const ZString& agent, Attempt attempt) -> decltype(attempt()) {
    return AcceptAndPassOn(thread, agent, attempt, [] {});
  }

  // The number of the load that opened master, or 0 when master is no
  // longer open for connections (closed by a pause, a stop or a reload).
  uint64_t LoadOfMaster(const ZIPSocket& master);
  // Takes a connection already queued on master into client, without
  // waiting, if master is still the one of the load numbered load.
  bool TakeQueuedConnection(ZIPSocket& master, uint64_t load, ZTCPSocket& client);

 private:
  // After an attempt that failed: true when it is to be tried again (the
  // pause has passed), false when the relay closes (master removed).
  bool RideOutFailure(ZIPSocket& master, const ZChannel& attempt, const ZString& agent, bool& shortageLogged);

  LogSink& log;
  SocketList masterSockets{true};
  // Counts the loads of the configuration: a master socket is known by its
  // address only within the load that opened it.
  std::atomic<uint64_t> loadNumber{0};
  std::atomic<bool> threadShortage{false};
};

// The attempt of the relays and agents whose clients are plain TCP sockets.
inline auto PlainAccept(ZIPSocket& master) {
  return [&master] {
    auto client = std::make_unique<ZTCPSocket>();
    client->Accept(master);
    return client;
  };
}

template <typename Attempt>
auto Listeners::AcceptConnection(ZIPSocket& master, const ZString& agent, Attempt attempt) -> decltype(attempt()) {
  bool shortageLogged = false;
  for (;;) {
    auto client = attempt();
    if (client->IsOpen()) return client;
    if (!RideOutFailure(master, *client, agent, shortageLogged)) return nullptr;
  }
}

template <typename Attempt, typename WhileHeld>
auto Listeners::AcceptAndPassOn(ProxyThread& thread, const ZString& agent, Attempt attempt, WhileHeld whileHeld)
    -> decltype(attempt()) {
  auto client = AcceptConnection(thread.GetMaster(), agent, attempt);
  if (client == nullptr) return client;
  whileHeld();
  // The master socket belongs to the successor from here on.
  if (!PassOnListener(thread)) client.reset();
  return client;
}
