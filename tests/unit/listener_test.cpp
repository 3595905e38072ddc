// The first steps on a master socket: accepting (with a shortage of
// descriptors ridden out), a close that ends the relay, and the taking of
// connections already queued.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "listener.h"
#include "support/captured_log.h"
#include "zunder/threads.h"

namespace {

// A load with one master socket listening on a free loopback port.
class ListenersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    listeners.BeginLoad();
    master = new ZTCPSocket;
    ASSERT_TRUE(master->Listen(8, 0));
    listeners.Add(master);  // owned by the list from here on
  }
  void Connect(ZTCPSocket& client) {
    client.SetPort(master->GetPort());
    ASSERT_TRUE(client.Connect("127.0.0.1"));
  }

  CapturedLog log;
  Listeners listeners{log};
  ZTCPSocket* master = nullptr;
};

TEST_F(ListenersTest, AcceptTakesTheWaitingConnection) {
  ZTCPSocket client;
  Connect(client);
  std::unique_ptr<ZTCPSocket> accepted = listeners.AcceptConnection(*master, "relay \"x\"", PlainAccept(*master));
  ASSERT_NE(accepted, nullptr);
  EXPECT_TRUE(accepted->IsOpen());
  EXPECT_TRUE(client.WriteString("hello"));
  char buffer[5];
  ASSERT_TRUE(accepted->Read(buffer, sizeof buffer));
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(accepted->GetLastReadCount())), "hello");
  EXPECT_NE(listeners.LoadOfMaster(*master), 0u);  // still listed
  EXPECT_TRUE(log.Lines().empty());
}

TEST_F(ListenersTest, AMasterClosedOnPurposeEndsTheAcceptSilentlyAndIsRemoved) {
  bool accepted = true;
  std::thread waiter(
      [&] { accepted = listeners.AcceptConnection(*master, "SOCKS server", PlainAccept(*master)) != nullptr; });
  ZThread::SleepFor(ZTimeInterval(100));
  // Returns only once the waiting thread has removed (and destroyed) it.
  listeners.CloseAll();
  waiter.join();
  EXPECT_FALSE(accepted);
  EXPECT_TRUE(log.Lines().empty());
}

// Lowers the limit of open descriptors so that the next one cannot be had;
// restored when the holder goes.
class DescriptorShortage {
 public:
  DescriptorShortage() {
    EXPECT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowestFree = dup(0);
    close(lowestFree);
    rlimit lowered = saved;
    lowered.rlim_cur = static_cast<rlim_t>(lowestFree);
    EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  }
  ~DescriptorShortage() { End(); }
  void End() { setrlimit(RLIMIT_NOFILE, &saved); }

 private:
  rlimit saved{};
};

TEST_F(ListenersTest, AShortageOfDescriptorsIsRiddenOutAndLoggedOnce) {
  ZTCPSocket client;
  Connect(client);
  std::unique_ptr<ZTCPSocket> accepted;
  {
    DescriptorShortage shortage;
    // Several pauses pass before the descriptors come back.
    std::thread giveBack([&] {
      ZThread::SleepFor(ZTimeInterval(450));
      shortage.End();
    });
    accepted = listeners.AcceptConnection(*master, "relay \"x/tcp\"", PlainAccept(*master));
    giveBack.join();
  }
  ASSERT_NE(accepted, nullptr);
  EXPECT_TRUE(accepted->IsOpen());
  EXPECT_EQ(log.Lines(), std::vector<std::string>{std::string("1 Accept failed for relay \"x/tcp\": ") +
                                                  ZChannel::ErrorText(EMFILE).Text()});
  EXPECT_NE(listeners.LoadOfMaster(*master), 0u);  // the relay stays open
}

TEST_F(ListenersTest, QueuedConnectionsAreTakenOnlyFromAMasterOfTheSameLoad) {
  const uint64_t load = listeners.LoadOfMaster(*master);
  ASSERT_NE(load, 0u);

  ZTCPSocket taken;
  EXPECT_FALSE(listeners.TakeQueuedConnection(*master, load, taken));  // nothing queued: no wait
  ZTCPSocket first;
  Connect(first);
  EXPECT_TRUE(listeners.TakeQueuedConnection(*master, load, taken));
  EXPECT_TRUE(taken.IsOpen());

  ZTCPSocket second;
  Connect(second);
  ZTCPSocket other;
  EXPECT_FALSE(listeners.TakeQueuedConnection(*master, 0, other));  // known to be no longer open
  // The same address in a later load may be another socket.
  listeners.BeginLoad();
  EXPECT_FALSE(listeners.TakeQueuedConnection(*master, load, other));
  EXPECT_FALSE(other.IsOpen());
  EXPECT_TRUE(log.Lines().empty());
}

}  // namespace
