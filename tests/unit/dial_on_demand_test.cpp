// The dial-up manager's passes against a simulated link and clock: no real
// dialling and no waiting for the hours and minutes the rules speak of.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dial_on_demand.h"
#include "support/captured_log.h"

namespace {

using Status = ZRemoteConnection::Status;

// A link whose dials succeed unless the name has a failure status set.
class FakeLink : public RemoteLink {
 public:
  bool Open(const ZString& remoteName) override {
    calls.push_back(std::string("open ") + remoteName.Text());
    name = remoteName;
    auto failure = failures.find(remoteName.Text());
    up = failure == failures.end();
    status = up ? Status::Idle : failure->second;
    return up;
  }
  void Close() override {
    calls.push_back("close");
    up = false;
  }
  Status GetStatus() override { return up ? Status::Connected : status; }
  ZString GetRemoteName() const override { return name; }

  std::map<std::string, Status> failures;
  std::vector<std::string> calls;
  bool up = false;
  Status status = Status::Idle;
  ZString name;
};

class FakeClock : public ManagerClock {
 public:
  ZTime Now() const override { return now; }
  void Advance(const ZTimeInterval& span) { now += span; }
  ZTime now{int64_t{1000000000}};
};

std::shared_ptr<RemoteSystem> System(const char* name, int32_t retries = 1,
                                     ZTimeInterval disconnect = ZTimeInterval(0, 0, 30),
                                     ZTimeInterval limit = ZTimeInterval(0), ZTimeInterval period = ZTimeInterval(0)) {
  auto system = std::make_shared<RemoteSystem>();
  system->name = name;
  system->dialRetries = retries;
  system->disconnectTime = disconnect;
  system->connectionTimeLimit = limit;
  system->connectionTimePeriod = period;
  return system;
}

// A relay thread in the dial-up gate.
class WaitingThread {
 public:
  explicit WaitingThread(DialOnDemand& gate)
      : manager(gate), thread([this] {
          this->manager.WaitForRemote(ready);
          sawLink = this->manager.IsLinkUp();
          released.set_value();
        }) {}
  ~WaitingThread() {
    // A thread the manager failed to release must not hang the tests.
    if (!IsReleased()) manager.Stop();
    thread.join();
  }
  bool IsReleased() { return done.wait_for(std::chrono::seconds(5)) == std::future_status::ready; }
  bool HasGoneOn() { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }
  // Whether the link was up as the thread went on (read once released).
  bool SawLink() const { return sawLink; }

 private:
  DialOnDemand& manager;
  ZSemaphore ready{0, 1};
  bool sawLink = false;
  std::promise<void> released;
  std::future<void> done = released.get_future();
  std::thread thread;
};

class DialOnDemandTest : public ::testing::Test {
 protected:
  DialOnDemandTest() : manager(link, clock, log, [this] { return linksActive; }) {}

  void Configure(RemoteSystemList systems) { manager.Rebuild(std::move(systems)); }
  // A relay connection arriving: the manager is woken and runs a pass. The
  // thread goes on only after the pass, and then sees the link it made.
  void ConnectionPass() {
    WaitingThread relay(manager);
    // A signal left over from an earlier request must not start the pass
    // before the thread is in the gate: wait until it is (or went on, when
    // the link is up).
    for (int tries = 0; tries < 500 && manager.CountWaiting() == 0 && !relay.HasGoneOn(); ++tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(manager.WaitForActivity(ZTimeInterval(0, 5)));
    manager.Pass(true);
    ASSERT_TRUE(relay.IsReleased());
    EXPECT_EQ(relay.SawLink(), manager.IsLinkUp());
  }
  ZTimeInterval TimeUsed(ZIndex index) { return manager.GetSystem(index)->timeUsed; }

  FakeLink link;
  FakeClock clock;
  CapturedLog log;
  bool linksActive = false;
  DialOnDemand manager;
};

using Lines = std::vector<std::string>;

// With nothing to dial, a connection goes on at once: the line the pass
// would log is logged, nobody waits and the manager is not woken.
TEST_F(DialOnDemandTest, WithoutRemoteSystemsAConnectionGoesOnAtOnce) {
  ZSemaphore ready(0, 1);
  manager.WaitForRemote(ready);
  EXPECT_EQ(log.Take(), Lines{"1 No remote access connection made."});
  EXPECT_EQ(manager.CountWaiting(), 0);
  EXPECT_FALSE(manager.WaitForActivity(ZTimeInterval(0)));
  EXPECT_TRUE(link.calls.empty());
  EXPECT_FALSE(manager.IsLinkUp());
}

// A thread that joined while systems were configured, and a reload that
// removed them all before the pass: the pass releases it with the same line.
TEST_F(DialOnDemandTest, WithoutRemoteSystemsAPassReleasesTheWaitingThread) {
  Configure({System("isp")});
  EXPECT_EQ(manager.PrepareWait(), ZInfinite);
  WaitingThread relay(manager);
  ASSERT_TRUE(manager.WaitForActivity(ZTimeInterval(0, 5)));
  Configure({});
  manager.Pass(true);
  EXPECT_TRUE(relay.IsReleased());
  EXPECT_EQ(log.Take(), Lines{"1 No remote access connection made."});
  EXPECT_EQ(manager.CountWaiting(), 0);
  EXPECT_TRUE(link.calls.empty());
  EXPECT_FALSE(manager.IsLinkUp());
}

TEST_F(DialOnDemandTest, AFailedSearchDiscardsPendingActivity) {
  Configure({System("down")});
  link.failures["down"] = Status::NoAnswer;
  manager.RequestConnect("down");  // a signal like any other
  Configure({System("down")});     // with a system current, a reload signals too
  ASSERT_TRUE(manager.WaitForActivity(ZTimeInterval(0, 5)));
  manager.Pass(true);
  EXPECT_FALSE(manager.WaitForActivity(ZTimeInterval(0)));
}

TEST_F(DialOnDemandTest, TheSecondSystemIsDialledInTheSamePassWhenTheFirstFails) {
  auto second = System("second");
  SocketSpec override;
  ASSERT_TRUE(override.Parse("127.0.0.1:2525", 23));
  second->SetRelayOverride("telnet/tcp", override);
  Configure({System("first", 2), second});
  link.failures["first"] = Status::LineBusy;

  ConnectionPass();
  EXPECT_EQ(log.Take(), (Lines{"3 RAS dialling \"first\".", "3 RAS connection to \"first\" failed: line busy.",
                               "3 RAS dialling \"first\".", "3 RAS connection to \"first\" failed: line busy.",
                               "3 RAS dialling \"second\"."}));
  EXPECT_EQ(manager.GetCurrentIndex(), 1);
  EXPECT_EQ(manager.GetCurrentName(), ZString("second"));
  EXPECT_EQ(manager.GetConnectTime(), clock.now);
  EXPECT_TRUE(manager.IsLinkUp());
  SocketSpec destination;
  ASSERT_TRUE(manager.GetRelayOverride("telnet/tcp", destination));
  EXPECT_EQ(destination, override);
  EXPECT_FALSE(manager.GetRelayOverride("smtp/tcp", destination));
}

TEST_F(DialOnDemandTest, EachFailureHasItsOwnEnding) {
  const std::vector<std::pair<Status, std::string>> cases = {
      {Status::LineBusy, ": line busy."},
      {Status::NoDialTone, ": no dial tone."},
      {Status::NoAnswer, ": no answer."},
      {Status::PortInUse, ": port in use."},
      {Status::MissingEntry, ": missing RAS entry."},
      {Status::GeneralFailure, "."},
      {Status::Dialling, "."},
  };
  for (const auto& [status, ending] : cases) {
    SCOPED_TRACE(ending);
    Configure({System("x")});
    link.failures["x"] = status;
    manager.Pass(true);
    EXPECT_EQ(log.Take(), (Lines{"3 RAS dialling \"x\".", "3 RAS connection to \"x\" failed" + ending,
                                 "1 No remote access connection made."}));
  }
}

TEST_F(DialOnDemandTest, NoRetriesMeansNoAttempt) {
  Configure({System("never", 0)});
  manager.Pass(true);
  EXPECT_TRUE(link.calls.empty());
  EXPECT_EQ(log.Take(), Lines{"1 No remote access connection made."});
}

TEST_F(DialOnDemandTest, AnIdleLinkIsHungUpAfterTheDisconnectTime) {
  Configure({System("isp", 1, ZTimeInterval(0, 60))});
  ConnectionPass();
  log.Take();
  EXPECT_EQ(manager.GetInactivityRemaining(), ZTimeInterval(0, 60));

  // A new connection restarts the time; a quiet pass does not.
  clock.Advance(ZTimeInterval(0, 50));
  ConnectionPass();
  clock.Advance(ZTimeInterval(0, 50));
  EXPECT_EQ(manager.PrepareWait(), DialOnDemand::kConnectedLook);
  manager.Pass(false);
  clock.Advance(ZTimeInterval(0, 9));
  EXPECT_EQ(manager.PrepareWait(), DialOnDemand::kConnectedLook);
  EXPECT_EQ(manager.GetInactivityRemaining(), ZTimeInterval(0, 1));
  clock.Advance(ZTimeInterval(0, 1));
  EXPECT_EQ(manager.GetInactivityRemaining(), ZTimeInterval(0));

  EXPECT_EQ(manager.PrepareWait(), ZInfinite);
  EXPECT_EQ(log.Take(), Lines{"2 Inactivity hang up of \"isp\"."});
  EXPECT_EQ(link.calls.back(), "close");
  EXPECT_FALSE(manager.IsRemoteCurrent());
  EXPECT_FALSE(manager.IsLinkUp());
  EXPECT_EQ(TimeUsed(0), ZTimeInterval(0, 110));
}

TEST_F(DialOnDemandTest, OpenLinksKeepTheLinkUp) {
  Configure({System("isp", 1, ZTimeInterval(0, 60))});
  ConnectionPass();
  linksActive = true;
  for (int look = 0; look < 12; ++look) {  // two minutes of looks every 10 seconds
    clock.Advance(DialOnDemand::kConnectedLook);
    ASSERT_EQ(manager.PrepareWait(), DialOnDemand::kConnectedLook);
    manager.Pass(false);
  }
  EXPECT_TRUE(manager.IsLinkUp());
}

TEST_F(DialOnDemandTest, AConnectionOverTheTimeLimitIsHungUp) {
  Configure({System("isp", 1, ZTimeInterval(0, 0, 0, 5), ZTimeInterval(0, 0, 0, 2))});
  ConnectionPass();
  log.Take();
  clock.Advance(ZTimeInterval(0, 0, 0, 2));
  manager.Pass(false);
  EXPECT_TRUE(manager.IsLinkUp());  // two hours is not over two hours
  clock.Advance(ZTimeInterval(0, 1));
  manager.Pass(false);
  EXPECT_EQ(log.Take(), Lines{"2 Over time hang up of \"isp\"."});
  EXPECT_FALSE(manager.IsRemoteCurrent());
  EXPECT_EQ(link.calls, (Lines{"open isp", "close"}));
  EXPECT_EQ(TimeUsed(0), ZTimeInterval(0, 1, 0, 2));
}

TEST_F(DialOnDemandTest, ASystemWhoseTimePeriodIsUsedUpIsSkippedUntilReload) {
  const ZTimeInterval day(0, 0, 0, 0, 1);
  Configure({System("metered", 1, ZTimeInterval(0, 0, 0, 0, 2), ZTimeInterval(0), day), System("backup")});
  ConnectionPass();
  clock.Advance(day);
  EXPECT_EQ(manager.RequestHangUp().text, ZString("Hanging up \"metered\"."));
  manager.Pass(true);
  EXPECT_EQ(TimeUsed(0), day);
  log.Take();

  ConnectionPass();
  EXPECT_EQ(log.Take(), Lines{"3 RAS dialling \"backup\"."});
  EXPECT_EQ(manager.GetCurrentName(), ZString("backup"));

  // A reload counts afresh: hung up, the metered system is dialled first again.
  Configure({System("metered", 1, ZTimeInterval(0, 0, 0, 0, 2), ZTimeInterval(0), day), System("backup")});
  manager.RequestHangUp();
  manager.Pass(true);
  log.Take();
  ConnectionPass();
  EXPECT_EQ(log.Take(), Lines{"3 RAS dialling \"metered\"."});
}

TEST_F(DialOnDemandTest, RequestsFromTheStatusPage) {
  Configure({System("alpha"), System("beta")});
  PageReply reply = manager.RequestHangUp();
  EXPECT_EQ(reply.title, ZString("Request Error"));
  EXPECT_EQ(reply.text, ZString("Not currently connected."));
  // Nothing to hang up wakes nothing: a pass now would dial.
  EXPECT_FALSE(manager.WaitForActivity(ZTimeInterval(0)));

  reply = manager.RequestConnect("gamma");
  EXPECT_EQ(reply.title, ZString("Request Error"));
  EXPECT_EQ(reply.text, ZString("No remote system named \"gamma\"."));

  reply = manager.RequestConnect("beta");
  EXPECT_EQ(reply.title, ZString("Request Accepted"));
  EXPECT_EQ(reply.text, ZString("Dialling \"beta\"."));
  // Chosen but not yet dialled: relays do not count it as a link.
  EXPECT_FALSE(manager.IsLinkUp());
  reply = manager.RequestConnect("alpha");
  EXPECT_EQ(reply.title, ZString("Request Error"));
  EXPECT_EQ(reply.text, ZString("Already connected to \"beta\". Ignoring connection request."));

  log.Take();
  ASSERT_TRUE(manager.WaitForActivity(ZTimeInterval(0, 5)));
  manager.Pass(true);
  EXPECT_EQ(log.Take(), Lines{"3 RAS dialling \"beta\"."});
  EXPECT_TRUE(manager.IsLinkUp());

  reply = manager.RequestHangUp();
  EXPECT_EQ(reply.title, ZString("Request Accepted"));
  EXPECT_EQ(reply.text, ZString("Hanging up \"beta\"."));
  ASSERT_TRUE(manager.WaitForActivity(ZTimeInterval(0, 5)));
  manager.Pass(true);
  EXPECT_EQ(log.Take(), Lines{"2 Manual hang up of \"beta\"."});
  EXPECT_FALSE(manager.IsRemoteCurrent());

  ZStringList names = manager.GetRemoteNames();
  ASSERT_EQ(names.GetSize(), 2);
  EXPECT_EQ(*names.GetAt(0), ZString("alpha"));
  EXPECT_EQ(*names.GetAt(1), ZString("beta"));
}

TEST_F(DialOnDemandTest, ALinkTheListDoesNotAccountForIsHungUp) {
  Configure({System("alpha"), System("beta")});
  link.failures["alpha"] = Status::NoAnswer;
  ConnectionPass();
  ASSERT_EQ(manager.GetCurrentIndex(), 1);
  // Reloaded with a shorter list: index 1 no longer names a system.
  Configure({System("alpha")});
  EXPECT_FALSE(manager.IsLinkUp());
  ASSERT_TRUE(manager.WaitForActivity(ZTimeInterval(0, 5)));  // the reload woke the manager
  log.Take();
  manager.Pass(true);
  EXPECT_EQ(log.Take(), Lines{"2 Hang up of unknown connection."});
  EXPECT_EQ(link.calls.back(), "close");
}

TEST_F(DialOnDemandTest, ALostLinkIsRedialled) {
  Configure({System("isp")});
  ConnectionPass();
  log.Take();
  clock.Advance(ZTimeInterval(0, 0, 5));
  link.up = false;  // the line dropped
  manager.Pass(false);
  EXPECT_EQ(log.Take(), (Lines{"3 Remote access connection lost.", "3 RAS dialling \"isp\"."}));
  EXPECT_TRUE(manager.IsLinkUp());
  EXPECT_EQ(TimeUsed(0), ZTimeInterval(0, 0, 5));
  EXPECT_EQ(manager.GetConnectTime(), clock.now);
}

TEST_F(DialOnDemandTest, WithALinkUpTheGateOnlySignalsActivity) {
  Configure({System("isp")});
  ConnectionPass();
  ZSemaphore ready(0, 1);
  manager.WaitForRemote(ready);  // returns at once
  EXPECT_EQ(manager.CountWaiting(), 0);
  EXPECT_TRUE(manager.WaitForActivity(ZTimeInterval(0)));
}

TEST_F(DialOnDemandTest, StoppingReleasesWaitingThreadsAndEndsTheLoop) {
  Configure({System("isp")});
  WaitingThread relay(manager);
  for (int tries = 0; tries < 500 && manager.CountWaiting() == 0; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(manager.CountWaiting(), 1);
  manager.Stop();
  EXPECT_TRUE(relay.IsReleased());
  EXPECT_FALSE(manager.RunPass());
  ZSemaphore ready(0, 1);
  manager.WaitForRemote(ready);  // after the stop: does not wait
  EXPECT_EQ(manager.CountWaiting(), 0);
}

TEST_F(DialOnDemandTest, AtStopAConnectedLinkIsHungUp) {
  Configure({System("isp")});
  ConnectionPass();
  log.Take();
  manager.HangUpForStop(ZTimeInterval(0, 2));
  EXPECT_EQ(log.Take(), Lines{"2 Remote connection \"isp\" hanging up."});
  EXPECT_EQ(link.calls.back(), "close");
  manager.HangUpForStop(ZTimeInterval(0, 2));
  EXPECT_TRUE(log.Take().empty());
}

// A link whose dial takes until the test lets it connect.
class SlowLink : public RemoteLink {
 public:
  bool Open(const ZString&) override {
    std::unique_lock<std::mutex> lock(mutex);
    dialling = true;
    changed.notify_all();
    changed.wait(lock, [this] { return let; });
    up = true;
    return true;
  }
  void Close() override {
    std::lock_guard<std::mutex> lock(mutex);
    up = false;
  }
  Status GetStatus() override {
    std::lock_guard<std::mutex> lock(mutex);
    return up ? Status::Connected : Status::Idle;
  }
  ZString GetRemoteName() const override { return "slow"; }

  bool WaitUntilDialling() {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10), [this] { return dialling; });
  }
  void Connect() {
    std::lock_guard<std::mutex> lock(mutex);
    let = true;
    changed.notify_all();
  }

 private:
  std::mutex mutex;
  std::condition_variable changed;
  bool dialling = false;
  bool let = false;
  bool up = false;
};

// A reload (and with it the service's start, stop and pause, which wait for
// a reload to finish) must not wait behind a dial, which may take minutes:
// the new list is taken up by the next holder of the state once the dial is
// over.
TEST(DialOnDemandDialTest, AReloadDuringADialDoesNotWaitForIt) {
  SlowLink link;
  FakeClock clock;
  CapturedLog log;
  DialOnDemand manager(link, clock, log, [] { return false; });
  manager.Rebuild({System("slow")});
  ASSERT_EQ(manager.RequestConnect("slow").title, ZString("Request Accepted"));
  ASSERT_TRUE(manager.WaitForActivity(ZTimeInterval(0)));  // as the manager would
  std::thread pass([&] { manager.Pass(true); });
  ASSERT_TRUE(link.WaitUntilDialling());

  auto reload = std::async(std::launch::async, [&] { manager.Rebuild({System("other"), System("third")}); });
  const bool reloaded = reload.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  link.Connect();
  pass.join();
  reload.wait();
  EXPECT_TRUE(reloaded) << "the reload waited for the dial";

  // The pass that dialled went on with the list it had; the next holder of
  // the state finds the new one, with the same current index.
  ZStringList names = manager.GetRemoteNames();
  ASSERT_EQ(names.GetSize(), 2);
  EXPECT_EQ(*names.GetAt(0), ZString("other"));
  EXPECT_EQ(*names.GetAt(1), ZString("third"));
  EXPECT_EQ(manager.GetCurrentName(), ZString("other"));
  // A system was current when the list was taken up: the manager is woken.
  EXPECT_TRUE(manager.WaitForActivity(ZTimeInterval(0)));
}

}  // namespace
