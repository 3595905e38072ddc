// Timers and the one timer thread that works through them; smart pointers
// and notifiers, on which timer callbacks are built.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <vector>

#include "host_thread.h"
#include "zunder/threads.h"

// ---------------------------------------------------------------- ZSmartPointer

ZSmartPointer::ZSmartPointer(ZReferencedObject* newObject) { Attach(newObject); }

ZSmartPointer::ZSmartPointer(const ZSmartPointer& other) : ZObject(other) { Attach(other.object); }

// NOLINTNEXTLINE(bugprone-unhandled-self-assignment): assigning to itself holds the same object
ZSmartPointer& ZSmartPointer::operator=(const ZSmartPointer& other) {
  if (other.object != object) {
    ZReferencedObject* previous = object;
    object = nullptr;
    Attach(other.object);
    // Released after taking the new one: other may be owned by the old object.
    if (previous != nullptr && previous->referenceCount.fetch_sub(1, std::memory_order_acq_rel) == 1) delete previous;
  }
  return *this;
}

ZSmartPointer::~ZSmartPointer() { Release(); }

void ZSmartPointer::Attach(ZReferencedObject* newObject) {
  object = newObject;
  if (object != nullptr) object->referenceCount.fetch_add(1, std::memory_order_relaxed);
}

void ZSmartPointer::Release() {
  if (object != nullptr && object->referenceCount.fetch_sub(1, std::memory_order_acq_rel) == 1) delete object;
  object = nullptr;
}

ZComparison ZSmartPointer::Compare(const ZObject& other) const {
  const ZSmartPointer* pointer = ZCast<ZSmartPointer>(&other);
  if (pointer == nullptr) return GreaterThan;
  if (object == pointer->object) return EqualTo;
  return std::less<const void*>()(object, pointer->object) ? LessThan : GreaterThan;
}

// ---------------------------------------------------------------- the timer service

namespace {

// Running timers are processed at least this often.
constexpr int64_t kLongestWait = 5000;
constexpr int64_t kNoWake = INT64_MAX;

}  // namespace

// The process's timer list, its lock and its thread. Never destroyed, so
// timers that are static objects may still let go of it at exit.
class ZTimerService {
 public:
  static ZTimerService& Get() {
    static ZTimerService* service = new ZTimerService;
    return *service;
  }

  std::mutex mutex;  // guards the list, every timer's fields and all below
  std::condition_variable callbackDone;
  ZTimerList list;
  std::vector<ZTimer*> pending;  // ran out in this run, callback not yet done
  ZTimer* current = nullptr;     // the timer whose callback runs now
  ZThread* thread = nullptr;
  uint32_t threadId = 0;
  ZSemaphore wake{1, 1};
  bool gone = false;
  bool exitHookInstalled = false;
  int64_t plannedWake = kNoWake;  // clock reading the thread wakes at by itself

  // All of the following with the mutex held.
  void List(ZTimer* timer) {
    list.Append(timer);
    timer->listed = true;
  }
  void Unlist(ZTimer* timer) {
    list.Remove(timer);
    timer->listed = false;
  }
  void Signal();
  void Start(ZTimer* timer, bool oneshot);
  void Forget(ZTimer* timer);  // a pending timer that is being destroyed
  bool OnTimerThread() const { return thread != nullptr && zhost::CurrentThreadId() == threadId; }

  // The timer thread's loop.
  void Run();

 private:
  // One processing run; answers how long to wait (-1: no timer runs).
  int64_t Process(std::unique_lock<std::mutex>& lock);
};

namespace {

// The one thread that processes the timer list and calls timer callbacks.
class TimerThread : public ZThread {
 public:
  explicit TimerThread(ZTimerService& timers) : ZThread(1000, true, false, LowPriority), service(timers) {
    Resume();  // after construction, so Main never runs on a half-built object
  }
  void Main() override { service.Run(); }

 private:
  ZTimerService& service;
};

void ShutdownAtExit() { ZTimer::ShutdownTimerThread(); }

}  // namespace

void ZTimerService::Signal() {
  if (gone) return;
  if (thread == nullptr) {
    thread = new TimerThread(*this);
    threadId = thread->GetThreadId();
    if (!exitHookInstalled) {
      exitHookInstalled = true;
      std::atexit(&ShutdownAtExit);
    }
  }
  wake.Signal();
}

void ZTimerService::Start(ZTimer* timer, bool oneshot) {
  const int64_t now = zhost::Milliseconds();
  timer->milliseconds = timer->resetTime;
  timer->chargedAt = now;
  timer->oneshot = oneshot;
  timer->state = timer->resetTime >= 1 ? ZTimer::Running : ZTimer::Stopped;
  if (timer->inTimeout) return;  // the processing run lists or drops it afterwards
  if (timer->state == ZTimer::Running) {
    if (!timer->listed) {
      List(timer);
      Signal();
    } else if (now + timer->resetTime < plannedWake) {
      // A restart only moves the deadline; the thread needs waking only when
      // the new deadline comes before its own.
      Signal();
    }
  } else if (timer->listed) {
    Unlist(timer);
    Signal();
  }
}

void ZTimerService::Forget(ZTimer* timer) {
  for (ZTimer*& entry : pending) {
    if (entry == timer) entry = nullptr;
  }
}

void ZTimerService::Run() {
  std::unique_lock<std::mutex> lock(mutex);
  while (!gone) {
    const int64_t wait = Process(lock);
    if (gone) break;
    plannedWake = wait < 0 ? kNoWake : zhost::Milliseconds() + wait;
    lock.unlock();
    if (wait < 0) {
      wake.Wait();
    } else {
      wake.Wait(ZTimeInterval(wait));
    }
    lock.lock();
  }
}

int64_t ZTimerService::Process(std::unique_lock<std::mutex>& lock) {
  const int64_t now = zhost::Milliseconds();
  list.lastRun = now;

  // Bring every timer up to date; those that ran out are stopped or reloaded
  // now and called below, without the lock, so callbacks may use timers.
  pending.clear();
  const ZIndex size = list.GetSize();
  for (ZIndex i = 0; i < size; ++i) {
    ZTimer* timer = list.GetTimer(i);
    if (timer == nullptr || timer->inTimeout) continue;
    timer->milliseconds -= now - timer->chargedAt;
    timer->chargedAt = now;
    if (timer->milliseconds >= 1) continue;
    timer->milliseconds = timer->oneshot ? 0 : timer->resetTime;
    if (timer->oneshot) timer->state = ZTimer::Stopped;
    timer->inTimeout = true;
    pending.push_back(timer);
  }

  for (size_t k = 0; k < pending.size(); ++k) {
    ZTimer* timer = pending[k];
    if (timer == nullptr) continue;  // destroyed by an earlier callback
    current = timer;
    lock.unlock();
    timer->OnTimeout();
    lock.lock();
    current = nullptr;
    if (pending[k] == nullptr) continue;  // destroyed inside its own callback
    timer->inTimeout = false;
    if (timer->state != ZTimer::Running && timer->listed) Unlist(timer);
    callbackDone.notify_all();
  }
  pending.clear();

  // The nearest deadline decides the wait.
  const int64_t later = zhost::Milliseconds();
  int64_t nearest = kNoWake;
  const ZIndex remaining = list.GetSize();
  for (ZIndex i = 0; i < remaining; ++i) {
    const ZTimer* timer = list.GetTimer(i);
    if (timer == nullptr || timer->state != ZTimer::Running) continue;
    nearest = std::min(nearest, timer->milliseconds - (later - timer->chargedAt));
  }
  if (nearest == kNoWake) return -1;
  return std::clamp<int64_t>(nearest, 0, kLongestWait);
}

// ---------------------------------------------------------------- ZTimerList

ZTimerList::ZTimerList() { SetDeleteObjects(false); }

// ---------------------------------------------------------------- ZTimer

ZTimer::ZTimer(int64_t ms, int64_t s, int64_t min, int64_t h, int64_t d) : ZTimeInterval(ms, s, min, h, d) {
  ZTimerService& service = ZTimerService::Get();
  std::lock_guard<std::mutex> lock(service.mutex);
  resetTime = this->milliseconds;
  service.Start(this, true);
}

ZTimer::ZTimer(const ZTimeInterval& interval) : ZTimeInterval(interval) {
  ZTimerService& service = ZTimerService::Get();
  std::lock_guard<std::mutex> lock(service.mutex);
  resetTime = this->milliseconds;
  service.Start(this, true);
}

ZTimer::~ZTimer() {
  ZTimerService& service = ZTimerService::Get();
  std::unique_lock<std::mutex> lock(service.mutex);
  if (inTimeout) {
    if (service.current != this) {
      service.Forget(this);  // its callback is not called any more
    } else if (service.OnTimerThread()) {
      lock.unlock();
      Z_ASSERT_MESSAGE("Timer destroyed in OnTimeout()");
      lock.lock();
      service.Forget(this);  // the run must not touch it after the callback
    } else {
      service.callbackDone.wait(lock, [&] { return !inTimeout; });
    }
  }
  if (listed) {
    service.Unlist(this);
    service.Signal();
  }
}

ZTimer& ZTimer::operator=(const ZTimeInterval& interval) {
  ZTimerService& service = ZTimerService::Get();
  std::lock_guard<std::mutex> lock(service.mutex);
  resetTime = interval.GetMilliseconds();
  service.Start(this, oneshot);
  return *this;
}

void ZTimer::StartRunning(bool once) {
  ZTimerService& service = ZTimerService::Get();
  std::lock_guard<std::mutex> lock(service.mutex);
  service.Start(this, once);
}

void ZTimer::Stop() {
  ZTimerService& service = ZTimerService::Get();
  std::lock_guard<std::mutex> lock(service.mutex);
  milliseconds = 0;
  state = Stopped;
  if (!inTimeout && listed) {
    service.Unlist(this);
    service.Signal();
  }
}

void ZTimer::Pause() {
  ZTimerService& service = ZTimerService::Get();
  std::lock_guard<std::mutex> lock(service.mutex);
  if (state != Running) return;
  const int64_t now = zhost::Milliseconds();
  milliseconds = std::max<int64_t>(milliseconds - (now - chargedAt), 0);  // keeps what is left
  chargedAt = now;
  state = Paused;
  if (!inTimeout && listed) {
    service.Unlist(this);
    service.Signal();
  }
}

void ZTimer::Resume() {
  ZTimerService& service = ZTimerService::Get();
  std::lock_guard<std::mutex> lock(service.mutex);
  if (state != Paused) return;
  chargedAt = zhost::Milliseconds();
  state = Running;
  if (!inTimeout && !listed) {
    service.List(this);
    service.Signal();
  }
}

void ZTimer::SetNotifier(const ZNotifier& notifier) {
  ZTimerService& service = ZTimerService::Get();
  std::lock_guard<std::mutex> lock(service.mutex);
  callback = notifier;
}

ZNotifier ZTimer::GetNotifier() const {
  ZTimerService& service = ZTimerService::Get();
  std::lock_guard<std::mutex> lock(service.mutex);
  return callback;
}

ZTimer::State ZTimer::GetState() const {
  ZTimerService& service = ZTimerService::Get();
  std::lock_guard<std::mutex> lock(service.mutex);
  return state;
}

bool ZTimer::IsOneShot() const {
  ZTimerService& service = ZTimerService::Get();
  std::lock_guard<std::mutex> lock(service.mutex);
  return oneshot;
}

ZTimeInterval ZTimer::GetResetTime() const {
  ZTimerService& service = ZTimerService::Get();
  std::lock_guard<std::mutex> lock(service.mutex);
  return ZTimeInterval(resetTime);
}

ZTimeInterval ZTimer::GetRemaining() const {
  ZTimerService& service = ZTimerService::Get();
  std::lock_guard<std::mutex> lock(service.mutex);
  if (state != Running) return ZTimeInterval(milliseconds);
  return ZTimeInterval(std::max<int64_t>(milliseconds - (zhost::Milliseconds() - chargedAt), 0));
}

void ZTimer::OnTimeout() {
  ZNotifier notifier;
  bool running;
  {
    ZTimerService& service = ZTimerService::Get();
    std::lock_guard<std::mutex> lock(service.mutex);
    notifier = callback;  // a copy: the callback may replace or destroy it
    running = state == Running;
  }
  notifier(*this, running ? 1 : 0);
}

ZComparison ZTimer::Compare(const ZObject& other) const {
  const ZTimeInterval mine(GetRemaining());
  if (const auto* timer = dynamic_cast<const ZTimer*>(&other)) return mine.Compare(timer->GetRemaining());
  return mine.Compare(other);
}

ZObject* ZTimer::Clone() const { return new ZTimeInterval(GetRemaining()); }

void ZTimer::Print(std::ostream& out) const { GetRemaining().Print(out); }

void ZTimer::ShutdownTimerThread() {
  ZTimerService& service = ZTimerService::Get();
  ZThread* thread;
  {
    std::lock_guard<std::mutex> lock(service.mutex);
    if (service.gone) return;
    service.gone = true;
    thread = service.thread;
    if (thread == nullptr) return;
    if (service.OnTimerThread()) return;  // called from a callback: the loop ends after it
    service.thread = nullptr;
  }
  service.wake.Signal();
  thread->WaitForTermination();
  delete thread;
}
