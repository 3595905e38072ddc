// Threads, semaphores, notifiers and timers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "support/assert_capture.h"
#include "support/waiting.h"
#include "zunder/threads.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

void SleepMs(int64_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// A thread running a given body. Created suspended and resumed at the end of
// the constructor, so the body never runs on a half-built object.
class BodyThread : public ZThread {
 public:
  explicit BodyThread(std::function<void(BodyThread&)> threadBody, bool selfDeleting = false,
                      std::atomic<int>* destroyedCount = nullptr, ZIndex stack = 4096, bool resume = true)
      : ZThread(stack, !selfDeleting, false), body(std::move(threadBody)), destroyed(destroyedCount) {
    if (resume) Resume();
  }
  ~BodyThread() override {
    if (destroyed != nullptr) ++*destroyed;
  }
  void Main() override { body(*this); }
  using ZThread::TerminationRequested;

 private:
  std::function<void(BodyThread&)> body;
  std::atomic<int>* destroyed;
};

// Stands for a thread that ZThread did not create.
class AdoptedThread : public ZThread {
 public:
  AdoptedThread() : ZThread(CurrentThread) {}
  void Main() override {}
};

}  // namespace

// ---------------------------------------------------------------- ZThread

TEST(Thread, CreatedSuspendedRunsMainOnlyAfterResume) {
  std::atomic<int> runs{0};
  BodyThread thread([&](BodyThread&) { ++runs; }, false, nullptr, 4096, /*resume=*/false);
  EXPECT_NE(thread.GetThreadId(), 0u);  // the system thread exists, waiting at its gate
  SleepMs(200);
  EXPECT_EQ(runs.load(), 0);
  EXPECT_FALSE(thread.IsRunning());
  EXPECT_FALSE(thread.IsTerminated());

  thread.Resume();
  ASSERT_TRUE(thread.WaitForTermination(ZTimeInterval(20000)));
  EXPECT_EQ(runs.load(), 1);
  EXPECT_TRUE(thread.IsTerminated());
  EXPECT_FALSE(thread.IsRunning());
}

TEST(Thread, CurrentAnswersOwnObjectAndNullElsewhere) {
  std::atomic<ZThread*> seen{nullptr};
  std::atomic<uint32_t> seenId{0};
  BodyThread thread([&](BodyThread&) {
    seen = ZThread::Current();
    seenId = ZThread::Current() != nullptr ? ZThread::Current()->GetThreadId() : 0;
  });
  ASSERT_TRUE(thread.WaitForTermination(ZTimeInterval(20000)));
  EXPECT_EQ(seen.load(), &thread);
  EXPECT_EQ(seenId.load(), thread.GetThreadId());

  ZThread* foreign = &thread;
  std::thread other([&] { foreign = ZThread::Current(); });
  other.join();
  EXPECT_EQ(foreign, nullptr);
}

TEST(Thread, AdoptedThreadIsCurrentUntilDestroyed) {
  std::thread other([] {
    {
      AdoptedThread adopted;
      EXPECT_EQ(ZThread::Current(), &adopted);
      EXPECT_EQ(adopted.GetStackSize(), 0);
      EXPECT_NE(adopted.GetThreadId(), 0u);
      EXPECT_FALSE(adopted.IsAutoDelete());
      adopted.Terminate();  // the thread it stands for is never terminated
      EXPECT_FALSE(adopted.IsTerminated());
      EXPECT_TRUE(adopted.IsRunning());
    }
    EXPECT_EQ(ZThread::Current(), nullptr);
  });
  other.join();
}

TEST(Thread, ASystemThreadReusedForANewObjectServesThatObject) {
  // Ended threads are parked and reused: the next object must see itself as
  // Current, be found by its id, and hold at its start gate like any other.
  std::atomic<uint32_t> firstId{0};
  auto first = std::make_unique<BodyThread>([&](BodyThread& self) { firstId = self.GetThreadId(); });
  ASSERT_TRUE(first->WaitForTermination(ZTimeInterval(20000)));
  first.reset();

  std::atomic<ZThread*> seen{nullptr};
  std::atomic<bool> ran{false};
  BodyThread second(
      [&](BodyThread&) {
        seen = ZThread::Current();
        ran = true;
      },
      false, nullptr, 4096, false);
  SleepMs(100);
  EXPECT_FALSE(ran.load());  // still at its gate
  second.Resume();
  ASSERT_TRUE(second.WaitForTermination(ZTimeInterval(20000)));
  EXPECT_TRUE(ran.load());
  EXPECT_EQ(seen.load(), &second);
  EXPECT_NE(second.GetThreadId(), 0u);
  EXPECT_EQ(ZThread::Current(), nullptr);  // the test's own thread is no ZThread
}

TEST(Thread, ObjectDestroyedBeforeResumeOnAReusedSystemThread) {
  // Each round leaves an ended thread parked, so that the suspended object
  // made next takes it over; destroying that object before Resume must end
  // the system thread at its gate without running Main.
  std::atomic<int> runs{0};
  for (int round = 0; round < 20; ++round) {
    BodyThread finished([](BodyThread&) {});
    ASSERT_TRUE(finished.WaitForTermination(ZTimeInterval(20000)));
    SleepMs(10);  // the ended thread parks just after it reports its end
    auto suspended = std::make_unique<BodyThread>([&](BodyThread&) { ++runs; }, false, nullptr, 4096, false);
    EXPECT_NE(suspended->GetThreadId(), 0u);
    suspended.reset();
  }
  EXPECT_EQ(runs.load(), 0);
  // The system threads ended that way are still good for the next objects.
  BodyThread after([&](BodyThread&) { ++runs; });
  ASSERT_TRUE(after.WaitForTermination(ZTimeInterval(20000)));
  EXPECT_EQ(runs.load(), 1);
}

TEST(Thread, StackSizeBelowOneIsReportedAndThreadStillRuns) {
  for (ZIndex stack : {0, -5}) {
    AssertCapture capture;
    std::atomic<int> runs{0};
    BodyThread thread([&](BodyThread&) { ++runs; }, false, nullptr, stack);
    ASSERT_TRUE(thread.WaitForTermination(ZTimeInterval(20000))) << stack;
    EXPECT_EQ(runs.load(), 1) << stack;
    ASSERT_EQ(AssertCapture::Count(), 1u) << stack;
    EXPECT_EQ(AssertCapture::LastMessage(), "Invalid parameter") << stack;
    EXPECT_EQ(thread.GetStackSize(), 1) << stack;
  }
}

TEST(Thread, TinyStackRequestStillGetsTheFloor) {
  std::atomic<int> sum{-1};
  BodyThread thread(
      [&](BodyThread&) {
        // 48 KiB of locals: far more than the 100 bytes asked for.
        volatile char buffer[48 * 1024];
        for (size_t i = 0; i < sizeof(buffer); ++i) buffer[i] = static_cast<char>(i & 1);
        int total = 0;
        for (size_t i = 0; i < sizeof(buffer); ++i) total += buffer[i];
        sum = total;
      },
      false, nullptr, 100);
  ASSERT_TRUE(thread.WaitForTermination(ZTimeInterval(20000)));
  EXPECT_EQ(sum.load(), 24 * 1024);
}

TEST(Thread, AutoDeletingThreadsDeleteThemselves) {
  std::atomic<int> destroyed{0};
  std::atomic<int> runs{0};
  constexpr int kThreads = 5;
  for (int i = 0; i < kThreads; ++i) {
    new BodyThread([&](BodyThread&) { ++runs; }, /*selfDeleting=*/true, &destroyed);
  }
  // The leak check of the address sanitizer build proves the objects are freed.
  EXPECT_TRUE(WaitUntil([&] { return destroyed.load() == kThreads; }));
  EXPECT_EQ(runs.load(), kThreads);
}

TEST(Thread, RestartRunsMainAgain) {
  std::atomic<int> runs{0};
  std::atomic<uint32_t> lastId{0};
  BodyThread thread([&](BodyThread&) {
    ++runs;
    lastId = ZThread::Current()->GetThreadId();
  });
  ASSERT_TRUE(thread.WaitForTermination(ZTimeInterval(20000)));
  thread.Restart();
  ASSERT_TRUE(thread.WaitForTermination(ZTimeInterval(20000)));
  EXPECT_EQ(runs.load(), 2);
  EXPECT_EQ(lastId.load(), thread.GetThreadId());

  // Restart of a thread that has not ended does nothing.
  std::atomic<bool> release{false};
  BodyThread waiting([&](BodyThread&) {
    ++runs;
    while (!release) ZThread::SleepFor(ZTimeInterval(2));
  });
  ASSERT_TRUE(WaitUntil([&] { return runs.load() == 3; }));
  waiting.Restart();
  release = true;
  ASSERT_TRUE(waiting.WaitForTermination(ZTimeInterval(20000)));
  SleepMs(50);
  EXPECT_EQ(runs.load(), 3);
}

TEST(Thread, TerminateFromInsideUnwindsAndRunsEndSteps) {
  struct Unwound {
    std::atomic<bool>* flag;
    ~Unwound() { *flag = true; }
  };
  std::atomic<bool> unwound{false};
  std::atomic<bool> carriedOn{false};
  std::atomic<int> destroyed{0};
  new BodyThread(
      [&](BodyThread& self) {
        Unwound guard{&unwound};
        self.Terminate();
        carriedOn = true;
      },
      /*selfDeleting=*/true, &destroyed);
  ASSERT_TRUE(WaitUntil([&] { return destroyed.load() == 1; }));
  EXPECT_TRUE(unwound.load());
  EXPECT_FALSE(carriedOn.load());
}

TEST(Thread, TerminateFromOutside) {
  // A thread still at its start gate ends without running Main.
  std::atomic<int> runs{0};
  BodyThread gated([&](BodyThread&) { ++runs; }, false, nullptr, 4096, /*resume=*/false);
  gated.Terminate();
  ASSERT_TRUE(gated.WaitForTermination(ZTimeInterval(20000)));
  EXPECT_EQ(runs.load(), 0);

  // A sleeping thread is woken and sees the request.
  std::atomic<bool> sleeping{false};
  std::atomic<bool> sawRequest{false};
  BodyThread sleeper([&](BodyThread& self) {
    sleeping = true;
    self.Sleep(ZInfinite);
    sawRequest = self.TerminationRequested();
  });
  ASSERT_TRUE(WaitUntil([&] { return sleeping.load(); }));
  sleeper.Terminate();
  ASSERT_TRUE(sleeper.WaitForTermination(ZTimeInterval(20000)));
  EXPECT_TRUE(sawRequest.load());
}

namespace {

// Owns a worker loop and stops it in its own destructor, before its members
// go away: the way to destroy a thread object whose thread still runs.
class Worker : public ZThread {
 public:
  Worker(std::atomic<bool>& startedFlag, std::atomic<bool>& finishedFlag)
      : ZThread(4096, true, false), started(startedFlag), finished(finishedFlag) {
    Resume();
  }
  ~Worker() override {
    Terminate();
    WaitForTermination();
  }
  void Main() override {
    started = true;
    while (!TerminationRequested()) Sleep(ZTimeInterval(1000));
    finished = true;
  }

 private:
  std::atomic<bool>& started;
  std::atomic<bool>& finished;
};

}  // namespace

TEST(Thread, ThreadStoppedByItsOwnerBeforeDestruction) {
  std::atomic<bool> started{false};
  std::atomic<bool> finished{false};
  {
    Worker worker(started, finished);
    ASSERT_TRUE(WaitUntil([&] { return started.load(); }));
    EXPECT_TRUE(worker.IsRunning());
  }
  EXPECT_TRUE(finished.load());
}

TEST(Thread, SuspendingItselfHoldsUntilResumed) {
  std::atomic<bool> reached{false};
  std::atomic<bool> after{false};
  BodyThread thread([&](BodyThread& self) {
    reached = true;
    self.Suspend(true);
    after = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return reached.load() && !thread.IsRunning(); }));
  SleepMs(100);
  EXPECT_FALSE(after.load());
  thread.Suspend(false);
  ASSERT_TRUE(thread.WaitForTermination(ZTimeInterval(20000)));
  EXPECT_TRUE(after.load());
}

TEST(Thread, SuspendFromOutsideHoldsAtTheNextSleep) {
  std::atomic<int> passes{0};
  BodyThread thread([&](BodyThread& self) {
    for (int i = 0; i < 100000 && !self.TerminationRequested(); ++i) {
      ++passes;
      self.Sleep(ZTimeInterval(2));
    }
  });
  ASSERT_TRUE(WaitUntil([&] { return passes.load() > 2; }));
  thread.Suspend(true);
  EXPECT_FALSE(thread.IsRunning());
  const int atSuspend = passes.load();
  SleepMs(300);
  const int settled = passes.load();
  SleepMs(300);
  // At most the pass in flight completes; then the thread holds.
  EXPECT_LE(settled, atSuspend + 1);
  EXPECT_LE(passes.load(), settled + 1);

  thread.Resume();
  EXPECT_TRUE(thread.IsRunning());
  EXPECT_TRUE(WaitUntil([&] { return passes.load() > settled + 3; }));
  thread.Terminate();
  ASSERT_TRUE(thread.WaitForTermination(ZTimeInterval(20000)));
}

TEST(Thread, SuspendAndResumeOfEndedThreadAreReported) {
  BodyThread thread([](BodyThread&) {});
  ASSERT_TRUE(thread.WaitForTermination(ZTimeInterval(20000)));
  struct Case {
    std::function<void()> call;
    const char* message;
  } cases[] = {
      {[&] { thread.Suspend(true); }, "Suspend on terminated thread"},
      {[&] { thread.Suspend(false); }, "Resume on terminated thread"},
      {[&] { thread.Resume(); }, "Resume on terminated thread"},
  };
  for (const Case& c : cases) {
    AssertCapture capture;
    c.call();
    ASSERT_EQ(AssertCapture::Count(), 1u) << c.message;
    EXPECT_EQ(AssertCapture::LastMessage(), c.message);
  }
  EXPECT_TRUE(thread.IsTerminated());
}

TEST(Thread, PrioritiesMapToLevelsAndBack) {
  std::atomic<int> initial{-1}, low{-1}, lowest{-1};
  std::atomic<bool> lowSet{false}, lowestSet{false}, invalidSet{true};
  AssertCapture capture;
  BodyThread thread([&](BodyThread& self) {
    initial = self.GetPriority();
    lowSet = self.SetPriority(ZThread::LowPriority);
    low = self.GetPriority();
    lowestSet = self.SetPriority(ZThread::LowestPriority);
    lowest = self.GetPriority();
    invalidSet = self.SetPriority(5);
  });
  ASSERT_TRUE(thread.WaitForTermination(ZTimeInterval(20000)));
  // Lowering is always allowed when the process runs at normal priority.
  if (initial.load() == ZThread::NormalPriority) {
    EXPECT_TRUE(lowSet.load());
    EXPECT_TRUE(lowestSet.load());
  }
  if (lowSet) {
    EXPECT_EQ(low.load(), ZThread::LowPriority);
  }
  if (lowestSet) {
    EXPECT_EQ(lowest.load(), ZThread::LowestPriority);
  }
  EXPECT_FALSE(invalidSet.load());
  ASSERT_EQ(AssertCapture::Count(), 1u);
  EXPECT_EQ(AssertCapture::LastMessage(), "Invalid parameter");
  EXPECT_FALSE(thread.SetPriority(ZThread::NormalPriority));  // ended
}

TEST(Thread, ManyThreadsStartAndEndConcurrently) {
  constexpr int kCreators = 4;
  constexpr int kPerCreator = 25;
  std::atomic<int> destroyed{0};
  std::atomic<int> ownCurrent{0};
  std::vector<std::thread> creators;
  for (int c = 0; c < kCreators; ++c) {
    creators.emplace_back([&] {
      for (int i = 0; i < kPerCreator; ++i) {
        new BodyThread(
            [&](BodyThread& self) {
              if (ZThread::Current() == &self) ++ownCurrent;
              ZThread::Yield();
            },
            /*selfDeleting=*/true, &destroyed);
      }
    });
  }
  for (std::thread& creator : creators) creator.join();
  EXPECT_TRUE(WaitUntil([&] { return destroyed.load() == kCreators * kPerCreator; }, 60000));
  EXPECT_EQ(ownCurrent.load(), kCreators * kPerCreator);
}

// ---------------------------------------------------------------- ZSemaphore

namespace {

// Takes the count down with zero time-outs; answers how many waits succeeded.
int Drain(ZSemaphore& semaphore, int limit = 100) {
  int taken = 0;
  while (taken < limit && semaphore.Wait(ZTimeInterval(0))) ++taken;
  return taken;
}

}  // namespace

TEST(Semaphore, InitialCountIsTheSmallerAsUnsigned) {
  struct Case {
    int32_t initial, maximum, expected;
  } cases[] = {
      {1, 1, 1}, {0, 3, 0}, {2, 3, 2}, {7, 3, 3}, {-1, 4, 4}, {-1, 1, 1},
  };
  for (const Case& c : cases) {
    ZSemaphore semaphore(c.initial, c.maximum);
    EXPECT_EQ(Drain(semaphore), c.expected) << c.initial << "/" << c.maximum;
  }
}

TEST(Semaphore, SignalStopsAtTheMaximum) {
  ZSemaphore mutex(1, 1);
  mutex.Signal();
  mutex.Signal();
  EXPECT_EQ(Drain(mutex), 1);

  ZSemaphore counting(0, 3);
  for (int i = 0; i < 5; ++i) counting.Signal();
  EXPECT_EQ(Drain(counting), 3);
}

TEST(Semaphore, WaitTimesOutWhenNothingIsSignalled) {
  ZSemaphore semaphore(0, 1);
  const int64_t start = NowMs();
  EXPECT_FALSE(semaphore.Wait(ZTimeInterval(100)));
  EXPECT_GE(NowMs() - start, 95);
}

TEST(Semaphore, SignalFromAnotherThreadWakesTheWaiter) {
  ZSemaphore semaphore(0, 1);
  std::atomic<bool> woken{false};
  std::thread waiter([&] {
    semaphore.Wait();
    woken = true;
  });
  SleepMs(50);
  EXPECT_FALSE(woken.load());
  semaphore.Signal();
  waiter.join();
  EXPECT_TRUE(woken.load());
  EXPECT_EQ(Drain(semaphore), 0);
}

TEST(Semaphore, MaximumBelowOneIsReported) {
  AssertCapture capture;
  ZSemaphore semaphore(1, 0);
  ASSERT_EQ(AssertCapture::Count(), 1u);
  EXPECT_EQ(AssertCapture::LastMessage(), "Operating System error");
  EXPECT_EQ(Drain(semaphore), 0);
  semaphore.Signal();
  EXPECT_EQ(Drain(semaphore), 1);  // carries on as a mutex
}

// ---------------------------------------------------------------- notifiers

namespace {

class Listener {
 public:
  void OnEvent(ZObject& source, int32_t extra) {
    lastSource = &source;
    lastExtra = extra;
    ++calls;
  }
  ZObject* lastSource = nullptr;
  int32_t lastExtra = 0;
  int calls = 0;
};

class CountedFunction : public ZNotifierFunction {
 public:
  CountedFunction(int* callCount, int* destroyedCount) : calls(callCount), destroyed(destroyedCount) {}
  ~CountedFunction() override { ++*destroyed; }
  void Call(ZObject&, int32_t) const override { ++*calls; }

 private:
  int* calls;
  int* destroyed;
};

}  // namespace

TEST(Notifier, EmptyNotifierCallsNothing) {
  ZNotifier empty;
  ZObject source;
  EXPECT_TRUE(empty.IsNULL());
  EXPECT_FALSE(static_cast<bool>(empty));
  empty(source, 1);  // no function: nothing happens
  ZNotifier emptyFunction{ZFunctionNotifierFunction::Function()};
  emptyFunction(source, 1);
  EXPECT_FALSE(emptyFunction.IsNULL());
}

TEST(Notifier, MemberAndFunctionBindingsReceiveSourceAndValue) {
  Listener listener;
  ZObject source;
  ZNotifier member = ZNotifier::Bind(&listener, &Listener::OnEvent);
  member(source, 42);
  EXPECT_EQ(listener.calls, 1);
  EXPECT_EQ(listener.lastSource, &source);
  EXPECT_EQ(listener.lastExtra, 42);

  int32_t seen = 0;
  ZNotifier lambda([&](ZObject& from, int32_t extra) { seen = &from == &source ? extra : -1; });
  lambda(source, 7);
  EXPECT_EQ(seen, 7);
}

TEST(Notifier, LastHandleDeletesTheFunction) {
  int calls = 0, destroyed = 0;
  {
    ZNotifier first(new CountedFunction(&calls, &destroyed));
    EXPECT_EQ(first.GetObject()->GetReferenceCount(), 1u);
    {
      ZNotifier copy(first);
      ZNotifier assigned;
      assigned = copy;
      const ZNotifier& same = assigned;
      assigned = same;  // self-assignment keeps the count
      EXPECT_EQ(first.GetObject()->GetReferenceCount(), 3u);
      EXPECT_EQ(first.Compare(assigned), EqualTo);
      ZObject source;
      assigned(source, 0);
    }
    EXPECT_EQ(first.GetObject()->GetReferenceCount(), 1u);
    EXPECT_EQ(destroyed, 0);
    first = ZNotifier();  // reassignment lets go of the function
    EXPECT_EQ(destroyed, 1);
  }
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(destroyed, 1);
}

// ---------------------------------------------------------------- ZTimer

namespace {

// Records the callbacks of a timer.
struct TimeoutLog {
  std::atomic<int> calls{0};
  std::atomic<int32_t> lastExtra{-1};
  std::atomic<int64_t> lastAt{0};
  std::atomic<uint32_t> thread{0};
  std::function<void(ZTimer&, int)> then;  // runs inside the callback

  ZNotifier Notifier() {
    return ZNotifier([this](ZObject& source, int32_t extra) {
      lastExtra = extra;
      lastAt = NowMs();
      thread = ZThread::Current() != nullptr ? ZThread::Current()->GetThreadId() : 0;
      const int count = ++calls;
      if (then) then(static_cast<ZTimer&>(source), count);
    });
  }
};

}  // namespace

TEST(Timer, OneShotFiresOnceThenReportsStopped) {
  TimeoutLog log;
  ZTimer timer;
  EXPECT_EQ(timer.GetState(), ZTimer::Stopped);
  timer.SetNotifier(log.Notifier());
  const int64_t start = NowMs();
  timer = ZTimeInterval(0, 1);  // one second, one-shot
  EXPECT_EQ(timer.GetState(), ZTimer::Running);
  EXPECT_TRUE(timer.IsOneShot());
  EXPECT_EQ(timer.GetResetTime().GetMilliseconds(), 1000);
  EXPECT_GT(timer.GetRemaining().GetMilliseconds(), 0);
  EXPECT_LE(timer.GetRemaining().GetMilliseconds(), 1000);

  ASSERT_TRUE(WaitUntil([&] { return log.calls.load() == 1; }));
  EXPECT_GE(log.lastAt.load() - start, 995);  // never early
  EXPECT_EQ(log.lastExtra.load(), 0);         // stopped after this expiry
  EXPECT_NE(log.thread.load(), 0u);           // on the timer thread, a ZThread
  EXPECT_EQ(timer.GetState(), ZTimer::Stopped);
  EXPECT_EQ(timer.GetRemaining().GetMilliseconds(), 0);
  SleepMs(1500);
  EXPECT_EQ(log.calls.load(), 1);
}

TEST(Timer, RepeatingTimerStoppedInsideItsCallbackStopsAfterThatCall) {
  TimeoutLog log;
  log.then = [](ZTimer& timer, int count) {
    if (count == 3) timer.Stop();
  };
  ZTimer timer;
  timer.SetNotifier(log.Notifier());
  timer = ZTimeInterval(30);
  timer.StartRunning(false);
  EXPECT_FALSE(timer.IsOneShot());
  ASSERT_TRUE(WaitUntil([&] { return log.calls.load() >= 3; }));
  EXPECT_EQ(log.lastExtra.load(), 1);  // still running when the third call began
  SleepMs(300);
  EXPECT_EQ(log.calls.load(), 3);
  EXPECT_EQ(timer.GetState(), ZTimer::Stopped);
}

TEST(Timer, RestartInsideCallbackFiresAgain) {
  TimeoutLog log;
  log.then = [](ZTimer& timer, int count) {
    if (count == 1) timer.StartRunning(true);
  };
  ZTimer timer;
  timer.SetNotifier(log.Notifier());
  timer = ZTimeInterval(40);
  ASSERT_TRUE(WaitUntil([&] { return log.calls.load() == 2 && timer.GetState() == ZTimer::Stopped; }));
  SleepMs(300);
  EXPECT_EQ(log.calls.load(), 2);
}

TEST(Timer, RestartingARunningTimerPostponesItsExpiry) {
  TimeoutLog log;
  ZTimer timer;
  timer.SetNotifier(log.Notifier());
  timer = ZTimeInterval(1000);
  int64_t lastRestart = 0;
  for (int i = 0; i < 8 && log.calls.load() == 0; ++i) {
    SleepMs(50);
    lastRestart = NowMs();
    timer.StartRunning(true);
  }
  ASSERT_TRUE(WaitUntil([&] { return log.calls.load() == 1; }));
  EXPECT_GE(log.lastAt.load(), lastRestart + 995);
  SleepMs(200);
  EXPECT_EQ(log.calls.load(), 1);
}

TEST(Timer, PauseKeepsTheRemainingTimeUntilResumed) {
  TimeoutLog log;
  ZTimer timer;
  timer.SetNotifier(log.Notifier());
  timer = ZTimeInterval(0, 1);
  timer.Pause();
  EXPECT_EQ(timer.GetState(), ZTimer::Paused);
  const int64_t left = timer.GetRemaining().GetMilliseconds();
  EXPECT_GT(left, 0);
  SleepMs(300);
  EXPECT_EQ(timer.GetRemaining().GetMilliseconds(), left);
  EXPECT_EQ(log.calls.load(), 0);
  const int64_t resumed = NowMs();
  timer.Resume();
  EXPECT_EQ(timer.GetState(), ZTimer::Running);
  ASSERT_TRUE(WaitUntil([&] { return log.calls.load() == 1; }));
  EXPECT_GE(log.lastAt.load(), resumed + left - 5);
  timer.Resume();  // not paused: no effect
  EXPECT_EQ(timer.GetState(), ZTimer::Stopped);
}

TEST(Timer, ConstructionAndAssignmentStartTheTimer) {
  struct Case {
    const char* name;
    std::function<ZTimer*()> make;
    ZTimer::State state;
    int64_t reset;
  } cases[] = {
      {"default", [] { return new ZTimer; }, ZTimer::Stopped, 0},
      {"milliseconds", [] { return new ZTimer(250); }, ZTimer::Running, 250},
      {"parts", [] { return new ZTimer(5, 1, 1); }, ZTimer::Running, 61005},
      {"interval", [] { return new ZTimer(ZTimeInterval(90)); }, ZTimer::Running, 90},
  };
  for (const Case& c : cases) {
    ZTimer* timer = c.make();
    EXPECT_EQ(timer->GetState(), c.state) << c.name;
    EXPECT_EQ(timer->GetResetTime().GetMilliseconds(), c.reset) << c.name;
    EXPECT_TRUE(timer->IsOneShot()) << c.name;
    delete timer;
  }

  // Assigning keeps the repeating setting; a zero interval stops the timer.
  ZTimer timer;
  timer.StartRunning(false);
  EXPECT_EQ(timer.GetState(), ZTimer::Stopped);  // nothing to count down
  timer = ZTimeInterval(0, 10);
  EXPECT_EQ(timer.GetState(), ZTimer::Running);
  EXPECT_FALSE(timer.IsOneShot());
  timer = ZTimeInterval(0);
  EXPECT_EQ(timer.GetState(), ZTimer::Stopped);
}

TEST(Timer, DestroyedInsideItsOwnCallbackIsReported) {
  AssertCapture capture;
  std::atomic<bool> called{false};
  auto* doomed = new ZTimer;
  doomed->SetNotifier(ZNotifier([&](ZObject& source, int32_t) {
    delete static_cast<ZTimer*>(&source);
    called = true;
  }));
  *doomed = ZTimeInterval(20);
  ASSERT_TRUE(WaitUntil([&] { return called.load(); }));
  ASSERT_TRUE(WaitUntil([&] { return AssertCapture::Count() == 1; }));
  EXPECT_EQ(AssertCapture::LastMessage(), "Timer destroyed in OnTimeout()");

  // The timer thread carried on.
  TimeoutLog log;
  ZTimer next;
  next.SetNotifier(log.Notifier());
  next = ZTimeInterval(20);
  EXPECT_TRUE(WaitUntil([&] { return log.calls.load() == 1; }));
}

TEST(Timer, DestroyingFromAnotherThreadWaitsForTheCallback) {
  std::atomic<bool> inCallback{false};
  std::atomic<bool> callbackDone{false};
  auto* timer = new ZTimer;
  timer->SetNotifier(ZNotifier([&](ZObject&, int32_t) {
    inCallback = true;
    SleepMs(200);
    callbackDone = true;
  }));
  *timer = ZTimeInterval(10);
  ASSERT_TRUE(WaitUntil([&] { return inCallback.load(); }));
  delete timer;
  EXPECT_TRUE(callbackDone.load());
}

TEST(Timer, StoppingBeforeExpiryPreventsTheCallback) {
  TimeoutLog log;
  ZTimer timer;
  timer.SetNotifier(log.Notifier());
  timer = ZTimeInterval(300);
  timer.Stop();
  EXPECT_EQ(timer.GetState(), ZTimer::Stopped);
  EXPECT_EQ(timer.GetRemaining().GetMilliseconds(), 0);
  SleepMs(600);
  EXPECT_EQ(log.calls.load(), 0);
}

TEST(Timer, TimersUsedFromManyThreadsAtOnce) {
  std::atomic<int> fired{0};
  ZTimer shared;
  shared.SetNotifier(ZNotifier([&](ZObject&, int32_t) { ++fired; }));
  std::vector<std::thread> users;
  for (int t = 0; t < 4; ++t) {
    users.emplace_back([&, t] {
      ZTimer own;
      own.SetNotifier(ZNotifier([&](ZObject&, int32_t) { ++fired; }));
      for (int i = 0; i < 200; ++i) {
        own = ZTimeInterval(1 + (i + t) % 3);
        shared = ZTimeInterval(1 + i % 5);
        if (i % 7 == 0) shared.Pause();
        if (i % 11 == 0) shared.Resume();
        (void)own.GetRemaining();
        (void)shared.GetState();
        if (i % 13 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      own.Stop();
    });
  }
  for (std::thread& user : users) user.join();
  shared.Stop();
  EXPECT_GT(fired.load(), 0);
}

namespace {

// Runs in a child process: the shutdown is for good. Exit code 0 when a timer
// started after it never fires.
void ShutDownTimerThreadAndStartATimer() {
  std::atomic<int> before{0}, after{0};
  ZTimer first;
  first.SetNotifier(ZNotifier([&](ZObject&, int32_t) { ++before; }));
  first = ZTimeInterval(10);
  if (!WaitUntil([&] { return before.load() == 1; })) std::_Exit(2);
  ZTimer::ShutdownTimerThread();
  ZTimer second;
  second.SetNotifier(ZNotifier([&](ZObject&, int32_t) { ++after; }));
  second = ZTimeInterval(10);
  SleepMs(300);
  std::_Exit(after.load() == 0 && second.GetState() == ZTimer::Running ? 0 : 1);
}

}  // namespace

TEST(Timer, NothingFiresAfterTheTimerThreadIsShutDown) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(ShutDownTimerThreadAndStartATimer(), ::testing::ExitedWithCode(0), "");
}
