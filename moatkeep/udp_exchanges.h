// Book-keeping of the UDP relay's exchanges: a bound on the exchange
// threads in flight, and for each relay the exchanges still using its
// master socket, so that the socket outlives every reply sent from it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "zunder/sockets.h"

// How many exchange threads may run at once, shared by every UDP relay: a
// flood of datagrams to a silent destination would otherwise create a
// thread per datagram, each living for the whole time-out and retries.
class ExchangeBudget {
 public:
  explicit ExchangeBudget(int32_t maximum) : limit(maximum) {}
  ExchangeBudget(const ExchangeBudget&) = delete;
  ExchangeBudget& operator=(const ExchangeBudget&) = delete;

  // False when every place is taken.
  bool Take();
  void Give();
  int32_t InUse() const;
  int32_t GetLimit() const { return limit; }

 private:
  const int32_t limit;
  mutable std::mutex mutex;
  int32_t inUse = 0;
};

// The exchanges of one UDP relay. The thread reading the master socket
// begins an exchange before it hands the socket on to its successor; the
// exchange ends once it no longer needs the master socket. When the relay
// closes, Shutdown interrupts the exchanges waiting for replies and returns
// only when all have ended, after which the master socket may go.
class UdpExchanges {
 public:
  explicit UdpExchanges(ExchangeBudget& sharedBudget) : budget(sharedBudget) {}
  UdpExchanges(const UdpExchanges&) = delete;
  UdpExchanges& operator=(const UdpExchanges&) = delete;

  // Takes a place from the budget; false when there is none or the relay
  // is shutting down.
  bool Begin();
  // The exchange's own socket, closed by Shutdown; false when the relay is
  // already shutting down (the exchange should give up).
  bool Attach(ZSocket& socket);
  void Detach(ZSocket& socket);
  // Gives the place back.
  void End();
  // Refuses new exchanges, closes the attached sockets and waits until
  // every exchange that began has ended.
  void Shutdown();

  int32_t InFlight() const;
  bool IsShuttingDown() const;

  // The first refusal for want of a place after exchanges went through
  // (so a flood is reported once, not once per datagram).
  bool NoteRefusal();

 private:
  ExchangeBudget& budget;
  mutable std::mutex mutex;
  std::condition_variable ended;
  int32_t inFlight = 0;
  bool shuttingDown = false;
  bool refusing = false;
  std::vector<ZSocket*> sockets;  // not owned
};

// The exchanges of the relay served by master, created on first use.
std::shared_ptr<UdpExchanges> ExchangesOf(const ZIPSocket& master, ExchangeBudget& budget);
// Drops the record of master's exchanges (after Shutdown, before the socket goes).
void ForgetExchangesOf(const ZIPSocket& master);

// One exchange's hold on its relay: ends the exchange when it goes out of
// scope, unless ended before.
class ExchangeHold {
 public:
  explicit ExchangeHold(std::shared_ptr<UdpExchanges> held) : exchanges(std::move(held)) {}
  ~ExchangeHold() { Release(); }
  ExchangeHold(const ExchangeHold&) = delete;
  ExchangeHold& operator=(const ExchangeHold&) = delete;

  void Release() {
    if (exchanges != nullptr) exchanges->End();
    exchanges.reset();
  }

 private:
  std::shared_ptr<UdpExchanges> exchanges;
};
