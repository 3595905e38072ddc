// The UDP relay's book-keeping: the shared bound on exchange threads, and
// the shutdown of a relay that waits for its exchanges (interrupting those
// blocked on a reply) before the master socket may go.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "udp_exchanges.h"

namespace {

// Waits (at most five seconds) for the condition.
template <typename Predicate>
bool WaitFor(Predicate predicate) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

TEST(ExchangeBudget, RefusesBeyondItsLimit) {
  ExchangeBudget budget(2);
  EXPECT_TRUE(budget.Take());
  EXPECT_TRUE(budget.Take());
  EXPECT_FALSE(budget.Take());
  EXPECT_EQ(budget.InUse(), 2);
  budget.Give();
  EXPECT_EQ(budget.InUse(), 1);
  EXPECT_TRUE(budget.Take());
  EXPECT_FALSE(budget.Take());
}

TEST(ExchangeBudget, GivingMoreThanTakenStaysAtZero) {
  ExchangeBudget budget(1);
  budget.Give();
  EXPECT_EQ(budget.InUse(), 0);
  EXPECT_TRUE(budget.Take());
  EXPECT_FALSE(budget.Take());
}

TEST(UdpExchanges, ShareOneBudgetAcrossRelays) {
  ExchangeBudget budget(3);
  UdpExchanges first(budget);
  UdpExchanges second(budget);
  EXPECT_TRUE(first.Begin());
  EXPECT_TRUE(first.Begin());
  EXPECT_TRUE(second.Begin());
  EXPECT_FALSE(second.Begin());
  EXPECT_FALSE(first.Begin());
  EXPECT_EQ(first.InFlight(), 2);
  EXPECT_EQ(second.InFlight(), 1);
  first.End();
  EXPECT_TRUE(second.Begin());
  EXPECT_EQ(budget.InUse(), 3);
  first.End();
  second.End();
  second.End();
  EXPECT_EQ(budget.InUse(), 0);
  // An end without a beginning gives nothing back that another relay took.
  EXPECT_TRUE(first.Begin());
  second.End();
  EXPECT_EQ(budget.InUse(), 1);
  first.End();
}

TEST(UdpExchanges, ReportsARefusalOncePerEpisode) {
  ExchangeBudget budget(1);
  UdpExchanges exchanges(budget);
  ASSERT_TRUE(exchanges.Begin());
  ASSERT_FALSE(exchanges.Begin());
  EXPECT_TRUE(exchanges.NoteRefusal());
  EXPECT_FALSE(exchanges.NoteRefusal());
  EXPECT_FALSE(exchanges.NoteRefusal());
  exchanges.End();
  // Once an exchange went through again, the next flood is reported anew.
  ASSERT_TRUE(exchanges.Begin());
  EXPECT_TRUE(exchanges.NoteRefusal());
  exchanges.End();
}

TEST(UdpExchanges, ShutdownWithoutExchangesReturnsAtOnce) {
  ExchangeBudget budget(4);
  UdpExchanges exchanges(budget);
  exchanges.Shutdown();
  EXPECT_TRUE(exchanges.IsShuttingDown());
  EXPECT_FALSE(exchanges.Begin());
  EXPECT_EQ(budget.InUse(), 0);
  ZUDPSocket socket;
  EXPECT_FALSE(exchanges.Attach(socket));
}

TEST(UdpExchanges, ShutdownInterruptsAWaitingExchangeAndWaitsForItsEnd) {
  ExchangeBudget budget(4);
  UdpExchanges exchanges(budget);
  // A destination that never answers.
  ZUDPSocket silent;
  ASSERT_TRUE(silent.Listen(5, 0)) << silent.GetErrorText().Text();
  ASSERT_NE(silent.GetPort(), 0);

  ASSERT_TRUE(exchanges.Begin());
  std::atomic<bool> attached{false};
  std::atomic<bool> readReturned{false};
  std::atomic<int> readError{-1};
  std::atomic<bool> ended{false};
  std::thread exchange([&] {
    ZUDPSocket outgoing(silent.GetPort());
    if (outgoing.Connect("127.0.0.1") && exchanges.Attach(outgoing)) {
      attached = true;
      outgoing.SetReadTimeout(ZTimeInterval(0, 30));
      outgoing.Write("query", 5);
      char reply[512];
      outgoing.Read(reply, sizeof reply);
      readError = outgoing.GetErrorCode();
      readReturned = true;
      // The master socket is still in use until here.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      exchanges.Detach(outgoing);
    }
    ended = true;
    exchanges.End();
  });
  ASSERT_TRUE(WaitFor([&] { return attached.load(); }));
  // Let it get into its read.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));

  const auto start = std::chrono::steady_clock::now();
  exchanges.Shutdown();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(ended.load());
  EXPECT_TRUE(readReturned.load());
  EXPECT_EQ(readError.load(), ZChannel::Interrupted);
  EXPECT_LT(took, std::chrono::seconds(10));
  EXPECT_EQ(exchanges.InFlight(), 0);
  EXPECT_EQ(budget.InUse(), 0);
  exchange.join();
}

TEST(UdpExchanges, ShutdownWaitsForAnExchangeNotYetAttached) {
  ExchangeBudget budget(4);
  UdpExchanges exchanges(budget);
  ASSERT_TRUE(exchanges.Begin());
  std::atomic<bool> shutdownDone{false};
  std::thread closer([&] {
    exchanges.Shutdown();
    shutdownDone = true;
  });
  ASSERT_TRUE(WaitFor([&] { return exchanges.IsShuttingDown(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(shutdownDone.load());
  // The late exchange is told to give up, and its end lets the shutdown finish.
  ZUDPSocket late;
  EXPECT_FALSE(exchanges.Attach(late));
  exchanges.End();
  EXPECT_TRUE(WaitFor([&] { return shutdownDone.load(); }));
  closer.join();
}

TEST(UdpExchanges, RegistryKeepsOneRecordPerMasterSocket) {
  ExchangeBudget budget(4);
  ZUDPSocket first;
  ZUDPSocket second;
  auto a = ExchangesOf(first, budget);
  auto b = ExchangesOf(first, budget);
  auto c = ExchangesOf(second, budget);
  EXPECT_EQ(a.get(), b.get());
  EXPECT_NE(a.get(), c.get());
  ForgetExchangesOf(first);
  // A socket that comes back (or a new one at the same place) starts afresh.
  auto d = ExchangesOf(first, budget);
  EXPECT_NE(a.get(), d.get());
  ForgetExchangesOf(first);
  ForgetExchangesOf(second);
}

TEST(ExchangeHold, EndsTheExchangeOnce) {
  ExchangeBudget budget(2);
  auto exchanges = std::make_shared<UdpExchanges>(budget);
  ASSERT_TRUE(exchanges->Begin());
  ASSERT_TRUE(exchanges->Begin());
  {
    ExchangeHold hold(exchanges);
    hold.Release();
    EXPECT_EQ(exchanges->InFlight(), 1);
  }
  EXPECT_EQ(exchanges->InFlight(), 1);
  { ExchangeHold hold(exchanges); }
  EXPECT_EQ(exchanges->InFlight(), 0);
  EXPECT_EQ(budget.InUse(), 0);
}

}  // namespace
