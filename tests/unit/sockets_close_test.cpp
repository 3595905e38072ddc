// Closing a socket from another thread: every blocked thread is woken with
// Interrupted, and none ever touches a descriptor number that was reused.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "support/descriptors.h"
#include "support/loopback.h"
#include "support/waiting.h"
#include "zunder/sockets.h"

namespace {

using Clock = std::chrono::steady_clock;

// Counts finished threads and lets the test wait for them with a bound.
class Finish {
 public:
  void Done() {
    std::lock_guard<std::mutex> lock(mutex);
    ++done;
    changed.notify_all();
  }
  bool WaitFor(int count, std::chrono::seconds bound) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, bound, [&] { return done >= count; });
  }

 private:
  std::mutex mutex;
  std::condition_variable changed;
  int done = 0;
};

TEST(SocketClose, WakesEveryBlockedThreadWithInterrupted) {
  constexpr int kRounds = 50;
  const int descriptorsBefore = OpenDescriptors();
  for (int round = 0; round < kRounds; ++round) {
    // Two listeners with three acceptors each, four readers, four pairs
    // waited on by Select (two of each form) and two datagram readers.
    ZTCPSocket listeners[2];
    for (auto& listener : listeners) ASSERT_TRUE(listener.Listen(5, 0));
    std::vector<std::unique_ptr<LoopbackPair>> pairs;
    for (int i = 0; i < 8; ++i) {
      pairs.push_back(std::make_unique<LoopbackPair>());
      ASSERT_TRUE(pairs.back()->Open());
    }
    ZUDPSocket datagrams[2];
    for (auto& datagram : datagrams) ASSERT_TRUE(datagram.Listen(0, 0));

    std::vector<std::thread> threads;
    std::vector<int> outcomes(18, -1);
    std::atomic<int> started{0};
    Finish finish;
    auto run = [&](int slot, auto body) {
      threads.emplace_back([&, slot, body] {
        started.fetch_add(1);
        outcomes[slot] = body();
        finish.Done();
      });
    };
    for (int i = 0; i < 6; ++i) {
      run(i, [&, i] {
        ZTCPSocket accepted;
        bool ok = accepted.Accept(listeners[i % 2]);
        return ok ? -2 : static_cast<int>(accepted.GetErrorCode());
      });
    }
    for (int i = 0; i < 4; ++i) {
      run(6 + i, [&, i] {
        char buffer[16];
        ZTCPSocket& socket = pairs[i]->server;
        return socket.Read(buffer, sizeof buffer) ? -2 : static_cast<int>(socket.GetErrorCode());
      });
    }
    for (int i = 0; i < 2; ++i) {
      run(10 + i, [&, i] {
        LoopbackPair& one = *pairs[4 + 2 * i];
        LoopbackPair& two = *pairs[5 + 2 * i];
        int result = ZSocket::Select(one.server, two.server);
        return result >= 0 ? -2 : static_cast<int>(one.server.GetErrorCode());
      });
      run(12 + i, [&, i] {
        ZList reads;
        reads.SetDeleteObjects(false);
        reads.Append(&pairs[4 + 2 * i]->server);
        reads.Append(&pairs[5 + 2 * i]->server);
        bool ok = ZSocket::Select(&reads, nullptr, nullptr);
        return ok ? -2 : static_cast<int>(pairs[4 + 2 * i]->server.GetErrorCode());
      });
    }
    for (int i = 0; i < 2; ++i) {
      run(14 + i, [&, i] {
        char buffer[16];
        ZIPAddress from;
        uint16_t port = 0;
        bool ok = datagrams[i].ReadFrom(buffer, sizeof buffer, from, port);
        return ok ? -2 : static_cast<int>(datagrams[i].GetErrorCode());
      });
    }
    // Two more readers block on sockets that another Select also watches.
    for (int i = 0; i < 2; ++i) {
      run(16 + i, [&, i] {
        char buffer[16];
        ZTCPSocket& socket = pairs[4 + i]->server;
        return socket.Read(buffer, sizeof buffer) ? -2 : static_cast<int>(socket.GetErrorCode());
      });
    }
    ASSERT_EQ(threads.size(), outcomes.size());

    for (int i = 0; i < 1000 && started.load() < static_cast<int>(threads.size()); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(round % 5 == 0 ? 30 : 5));

    auto closeStart = Clock::now();
    std::thread closer([&] {
      for (auto& listener : listeners) listener.Close();
      for (auto& pair : pairs) {
        pair->server.Close();
        pair->client.Close();
      }
      for (auto& datagram : datagrams) datagram.Close();
    });
    bool allWoke = finish.WaitFor(static_cast<int>(threads.size()), std::chrono::seconds(30));
    if (!allWoke) {
      std::fprintf(stderr, "round %d: a blocked thread did not wake after Close\n", round);
      std::abort();  // the blocked threads cannot be joined
    }
    EXPECT_LT(MillisecondsSince(closeStart), 30000);
    closer.join();
    for (auto& thread : threads) thread.join();
    for (size_t slot = 0; slot < outcomes.size(); ++slot) {
      EXPECT_EQ(outcomes[slot], ZChannel::Interrupted) << "round " << round << " slot " << slot;
    }
    if (HasFailure()) break;
  }
  // Every descriptor went back to the system once its last user left.
  EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
}

TEST(SocketClose, WokenThreadsNeverTouchAReusedDescriptor) {
  // Readers poll their own silent connection (its peer never sends) while
  // the sockets are closed and other threads keep opening connections that
  // carry data at once. A reader that used a descriptor number after it was
  // reused would read that foreign data.
  constexpr int kRounds = 20;
  constexpr int kReaders = 8;
  const int descriptorsBefore = OpenDescriptors();
  {  // every socket of the race is gone before the descriptors are counted
    ZTCPSocket foreignListener;
    ASSERT_TRUE(foreignListener.Listen(64, 0));
    std::atomic<bool> stopOpeners{false};
    std::atomic<int> foreignReads{0};
    std::atomic<int> opened{0};

    // Accepts connections and sends the tag into each, keeping a few alive.
    std::thread acceptor([&] {
      std::vector<std::unique_ptr<ZTCPSocket>> kept;
      for (;;) {
        auto accepted = std::make_unique<ZTCPSocket>();
        if (!accepted->Accept(foreignListener)) break;
        accepted->WriteString("FOREIGN!");
        kept.push_back(std::move(accepted));
        if (kept.size() > 32) kept.erase(kept.begin());
      }
    });
    std::vector<std::thread> openers;
    for (int i = 0; i < 2; ++i) {
      openers.emplace_back([&] {
        for (int n = 0; n < 100000 && !stopOpeners.load(); ++n) {
          ZTCPSocket connection(foreignListener.GetPort());
          if (connection.Connect("127.0.0.1")) {
            connection.WriteString("FOREIGN!");
            opened.fetch_add(1);
          }
        }
      });
    }

    for (int round = 0; round < kRounds; ++round) {
      std::vector<std::unique_ptr<LoopbackPair>> pairs;
      for (int i = 0; i < kReaders; ++i) {
        pairs.push_back(std::make_unique<LoopbackPair>());
        ASSERT_TRUE(pairs.back()->Open());
        pairs.back()->server.SetReadTimeout(ZTimeInterval(2));
      }
      std::vector<int> outcomes(kReaders, -1);
      std::vector<std::thread> readers;
      for (int i = 0; i < kReaders; ++i) {
        readers.emplace_back([&, i] {
          ZTCPSocket& socket = pairs[i]->server;
          char buffer[16];
          auto start = Clock::now();
          // Bounded: the socket is closed within a few milliseconds.
          while (MillisecondsSince(start) < 20000) {
            if (socket.Read(buffer, sizeof buffer)) {
              foreignReads.fetch_add(1);
              continue;
            }
            if (socket.GetErrorCode() != ZChannel::Timeout) break;
          }
          outcomes[i] = static_cast<int>(socket.GetErrorCode());
        });
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      for (auto& pair : pairs) pair->server.Close();
      for (auto& reader : readers) reader.join();
      for (int i = 0; i < kReaders; ++i) {
        EXPECT_EQ(outcomes[i], ZChannel::Interrupted) << "round " << round << " reader " << i;
      }
    }
    stopOpeners.store(true);
    for (auto& opener : openers) opener.join();
    foreignListener.Close();
    acceptor.join();
    EXPECT_EQ(foreignReads.load(), 0);
    EXPECT_GT(opened.load(), 0);
  }
  EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
}

}  // namespace

// A connection given up on closes at once although its peer reads nothing,
// and the peer learns of a reset, not of an orderly end of the data.
TEST(SocketClose, CloseDiscardingDropsUnsentDataAtOnce) {
  LoopbackPair pair;
  ASSERT_TRUE(pair.Open());
  // Fill the way to the client, which takes nothing.
  pair.server.SetWriteTimeout(ZTimeInterval(0));
  std::vector<char> block(64 * 1024, 'x');
  for (int i = 0; i < 1000 && pair.server.Write(block.data(), static_cast<ZIndex>(block.size())); ++i) {
  }
  ASSERT_EQ(pair.server.GetErrorCode(), ZChannel::Timeout) << "the way never filled";
  const Clock::time_point start = Clock::now();
  pair.server.CloseDiscarding();
  // A plain close would wait up to the linger time (ten seconds) here.
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  EXPECT_FALSE(pair.server.IsOpen());
  pair.client.SetReadTimeout(ZTimeInterval(0, 5));
  bool failed = false;
  for (int reads = 0; reads < 100000 && !failed; ++reads) {
    if (!pair.client.Read(block.data(), static_cast<ZIndex>(block.size()))) failed = true;
  }
  ASSERT_TRUE(failed);
  EXPECT_NE(pair.client.GetErrorCode(), ZChannel::NoError) << "an orderly end instead of a reset";
}
