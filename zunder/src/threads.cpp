// ZThread: start gate, cooperative suspension and termination, the end of a
// thread, and the process's dictionary of live threads.
#include <chrono>

#include "host_error.h"
#include "host_thread.h"
#include "zunder/threads.h"

// What a ZThread object shares with its running system thread. It outlives
// both, so neither touches freed memory when the other ends first.
struct ZThreadControl {
  std::mutex mutex;
  std::condition_variable changed;
  ZThread* object = nullptr;  // null once the object is being destroyed
  bool autoDelete = false;
  bool adopted = false;     // stands for a thread ZThread did not create
  bool registered = false;  // the thread has published its id
  bool ended = true;        // no system thread behind the object
  bool terminateRequested = false;
  int suspendCount = 0;
  uint32_t threadId = 0;
  // A parked system thread taken for this object but not woken yet, and the
  // argument its body will get: handed over when the thread is resumed.
  void* reserved = nullptr;
  std::shared_ptr<ZThreadControl>* pendingArgument = nullptr;
};

namespace {

// The control of the calling thread, when it runs a ZThread or was adopted.
// A plain pointer: a thread_local with a destructor would be gone before the
// static process object (the main thread's ZThread) is destroyed at exit.
// The control is kept alive by the running thread's body or, for an adopted
// thread, by its ZThread object.
thread_local ZThreadControl* currentControl = nullptr;

// Live threads by system id. Never destroyed, so objects that stand for
// threads may unregister during static destruction.
struct ThreadTable {
  std::mutex mutex;
  ZOrdinalDictionary threads;
  ThreadTable() { threads.SetDeleteObjects(false); }
};

ThreadTable& Table() {
  static ThreadTable* table = new ThreadTable;
  return *table;
}

void Register(uint32_t id, ZThread* thread) {
  ThreadTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.threads.SetAt(static_cast<int32_t>(id), thread);
}

// Removes the entry only when it is still this object's (ids are reused).
void Unregister(uint32_t id, ZThread* thread) {
  if (id == 0) return;
  ThreadTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  if (table.threads.GetAt(static_cast<int32_t>(id)) == thread) table.threads.RemoveAt(static_cast<int32_t>(id));
}

// Nice values for the five levels; the host has forty, so reading back maps
// each value to the nearest level.
constexpr int kNiceOfLevel[] = {10, 5, 0, -5, -10};

int LevelOfNice(int nice) {
  if (nice >= 8) return ZThread::LowestPriority;
  if (nice >= 3) return ZThread::LowPriority;
  if (nice > -3) return ZThread::NormalPriority;
  if (nice > -8) return ZThread::HighPriority;
  return ZThread::HighestPriority;
}

bool IsInfinite(int64_t milliseconds) { return milliseconds >= ZInfinite.GetMilliseconds(); }

}  // namespace

// The body of every system thread started for a ZThread.
struct ZThreadRunner {
  static void Run(void* argument);

  // The end-of-thread steps; a destructor, so they also run when the thread
  // exits from inside Terminate.
  struct EndOfThread {
    std::shared_ptr<ZThreadControl> control;
    uint32_t id;
    ~EndOfThread();
  };
};

namespace {

// Wakes the reserved system thread, if any, with its body. Called with the
// control's lock held; lets it go.
void StartReserved(ZThreadControl& control, std::unique_lock<std::mutex>& lock) {
  void* reserved = control.reserved;
  std::shared_ptr<ZThreadControl>* argument = control.pendingArgument;
  control.reserved = nullptr;
  control.pendingArgument = nullptr;
  lock.unlock();
  if (reserved != nullptr) zhost::StartReservedThread(reserved, &ZThreadRunner::Run, argument);
}

}  // namespace

void ZThreadRunner::Run(void* argument) {
  auto* handed = static_cast<std::shared_ptr<ZThreadControl>*>(argument);
  std::shared_ptr<ZThreadControl> control = std::move(*handed);
  delete handed;
  currentControl = control.get();

  const uint32_t id = zhost::CurrentThreadId();
  ZThread* object = nullptr;
  {
    std::lock_guard<std::mutex> lock(control->mutex);
    // Null when the object was destroyed before this thread got going (a
    // parked thread is woken only by Resume or by that destruction): the
    // thread then just ends.
    object = control->object;
    control->threadId = id;
    if (object != nullptr) object->threadId.store(id, std::memory_order_release);
  }
  if (object != nullptr) Register(id, object);
  {
    std::lock_guard<std::mutex> lock(control->mutex);
    control->registered = true;
    control->changed.notify_all();
  }

  EndOfThread end{control, id};
  bool run;
  {
    // The start gate: a thread created suspended waits here until resumed.
    std::unique_lock<std::mutex> lock(control->mutex);
    control->changed.wait(lock, [&] { return control->suspendCount == 0 || control->terminateRequested; });
    run = !control->terminateRequested && control->object != nullptr;
  }
  if (run) object->Main();
}

ZThreadRunner::EndOfThread::~EndOfThread() {
  ZThread* object;
  {
    std::lock_guard<std::mutex> lock(control->mutex);
    object = control->object;
  }
  if (object != nullptr) Unregister(id, object);
  bool deleteObject;
  {
    std::lock_guard<std::mutex> lock(control->mutex);
    deleteObject = object != nullptr && control->autoDelete;
    control->ended = true;
    control->changed.notify_all();
  }
  // Past this point a non-deleting object may already be gone.
  if (deleteObject) delete object;
  currentControl = nullptr;
}

// ---------------------------------------------------------------- ZThread

ZThread::ZThread(ZIndex size, bool noAutoDelete, bool startRunning, int priority)
    : autoDelete(!noAutoDelete), stackSize(size), control(std::make_shared<ZThreadControl>()) {
  Start(startRunning, priority);
}

ZThread::ZThread(QuietLaunchTag, ZIndex size, bool noAutoDelete, bool startRunning, int priority)
    : autoDelete(!noAutoDelete),
      reportLaunchFailure(false),
      stackSize(size),
      control(std::make_shared<ZThreadControl>()) {
  Start(startRunning, priority);
}

void ZThread::Start(bool startRunning, int priority) {
  if (stackSize < 1) {
    Z_ASSERT_CODE(ZAssertInvalidParameter);
    stackSize = 1;  // the host floor applies
  }
  control->object = this;
  control->autoDelete = autoDelete;
  // Held at the gate until the priority is set: a running auto-deleting
  // thread may end (and delete this object) at any moment after release.
  if (!Launch()) return;
  SetPriority(priority);
  if (startRunning) Resume();
}

ZThread::ZThread(CurrentThreadTag) : autoDelete(false), stackSize(0), control(std::make_shared<ZThreadControl>()) {
  control->object = this;
  control->adopted = true;
  control->registered = true;
  control->ended = false;
  AttachCurrentThread();
}

ZThread::~ZThread() {
  const bool own = currentControl == control.get();
  {
    std::unique_lock<std::mutex> lock(control->mutex);
    control->object = nullptr;  // the end steps neither unregister nor delete it now
    if (!own && !control->adopted && !control->ended) {
      control->terminateRequested = true;
      control->changed.notify_all();
      if (control->reserved != nullptr) {
        StartReserved(*control, lock);  // to pass the gate and end
        lock.lock();
      }
      control->changed.wait(lock, [&] { return control->ended; });
    }
  }
  Unregister(GetThreadId(), this);
  if (own && control->adopted) currentControl = nullptr;
}

bool ZThread::Launch() {
  {
    std::lock_guard<std::mutex> lock(control->mutex);
    control->ended = false;
    control->registered = false;
    control->terminateRequested = false;
    control->suspendCount = 1;
  }
  auto* handed = new std::shared_ptr<ZThreadControl>(control);
  uint32_t knownId = 0;
  if (void* reserved = zhost::ReservePooledThread(static_cast<size_t>(stackSize), knownId)) {
    // A parked thread sleeps on until Resume hands it its body: woken now,
    // it would only run to the start gate and wait there a second time.
    {
      std::lock_guard<std::mutex> lock(control->mutex);
      control->reserved = reserved;
      control->pendingArgument = handed;
      control->threadId = knownId;
      threadId.store(knownId, std::memory_order_release);
    }
    Register(knownId, this);
    return true;
  }
  if (!zhost::StartPooledThread(&ZThreadRunner::Run, handed, static_cast<size_t>(stackSize), knownId)) {
    delete handed;
    {
      std::lock_guard<std::mutex> lock(control->mutex);
      control->ended = true;
      control->suspendCount = 0;
      control->changed.notify_all();
    }
    if (reportLaunchFailure) Z_ASSERT_CODE(ZAssertOSError);
    return false;
  }
  if (knownId != 0) {
    // A reused thread: its id is known, so it need not be waited for. It
    // holds at the start gate until Resume, so it cannot end (and leave the
    // table) before this entry is made; registering twice is harmless.
    {
      std::lock_guard<std::mutex> lock(control->mutex);
      control->threadId = knownId;
      threadId.store(knownId, std::memory_order_release);
    }
    Register(knownId, this);
    return true;
  }
  // Wait for the id, so that GetThreadId and Current are right at once.
  std::unique_lock<std::mutex> lock(control->mutex);
  control->changed.wait(lock, [&] { return control->registered; });
  return true;
}

void ZThread::AttachCurrentThread() {
  if (!control->adopted) {
    Z_ASSERT_CODE(ZAssertInvalidParameter);  // a created thread has its own system thread
    return;
  }
  const uint32_t id = zhost::CurrentThreadId();
  const uint32_t previous = threadId.exchange(id, std::memory_order_acq_rel);
  if (previous != id) Unregister(previous, this);
  {
    std::lock_guard<std::mutex> lock(control->mutex);
    control->threadId = id;
  }
  Register(id, this);
  currentControl = control.get();
}

void ZThread::Restart() {
  if (control->adopted) return;
  {
    std::lock_guard<std::mutex> lock(control->mutex);
    if (!control->ended) return;
    control->object = this;
  }
  if (Launch()) Resume();
}

void ZThread::Terminate() {
  if (control->adopted) return;  // the process's own thread is never terminated
  const bool own = currentControl == control.get();
  {
    std::unique_lock<std::mutex> lock(control->mutex);
    if (control->ended) return;
    if (!own) {
      control->terminateRequested = true;
      control->changed.notify_all();
      StartReserved(*control, lock);  // a thread not yet woken ends at its gate
      return;
    }
  }
  zhost::ExitThread();  // unwinds to the thread's body, which runs the end steps
}

bool ZThread::IsTerminated() const {
  std::lock_guard<std::mutex> lock(control->mutex);
  return control->ended;
}

bool ZThread::TerminationRequested() const {
  std::lock_guard<std::mutex> lock(control->mutex);
  return control->terminateRequested;
}

void ZThread::Suspend(bool suspend) {
  if (!suspend) {
    Resume();
    return;
  }
  const bool own = currentControl == control.get();
  std::unique_lock<std::mutex> lock(control->mutex);
  if (control->ended) {
    lock.unlock();
    Z_ASSERT_MESSAGE("Suspend on terminated thread");
    return;
  }
  ++control->suspendCount;
  // Another thread holds at its next waiting point; this one holds now.
  if (own) {
    control->changed.wait(lock, [&] { return control->suspendCount == 0 || control->terminateRequested; });
  }
}

void ZThread::Resume() {
  std::unique_lock<std::mutex> lock(control->mutex);
  if (control->ended) {
    lock.unlock();
    Z_ASSERT_MESSAGE("Resume on terminated thread");
    return;
  }
  if (control->suspendCount > 0) --control->suspendCount;
  control->changed.notify_all();
  if (control->suspendCount == 0) StartReserved(*control, lock);
}

bool ZThread::IsRunning() const {
  std::lock_guard<std::mutex> lock(control->mutex);
  return !control->ended && control->suspendCount == 0;
}

void ZThread::Sleep(const ZTimeInterval& interval) { SleepFor(interval); }

void ZThread::ForgetLastError() { zhost::SetLastError(0); }

bool ZThread::SetPriority(int level) {
  if (level < LowestPriority || level > HighestPriority) {
    Z_ASSERT_CODE(ZAssertInvalidParameter);
    return false;
  }
  // Under the lock the thread cannot pass its end steps, so its id still
  // names it and not a reused one.
  std::lock_guard<std::mutex> lock(control->mutex);
  if (control->ended) return false;
  return zhost::SetThreadNice(control->threadId, kNiceOfLevel[level]);
}

int ZThread::GetPriority() const {
  std::lock_guard<std::mutex> lock(control->mutex);
  int nice = 0;
  if (control->ended) return NormalPriority;
  if (!zhost::GetThreadNice(control->threadId, &nice)) {
    Z_ASSERT_CODE(ZAssertOSError);
    return NormalPriority;
  }
  return LevelOfNice(nice);
}

bool ZThread::WaitForTermination(const ZTimeInterval& timeout) const {
  const int64_t milliseconds = timeout.GetMilliseconds();
  std::unique_lock<std::mutex> lock(control->mutex);
  auto ended = [&] { return control->ended; };
  if (IsInfinite(milliseconds)) {
    control->changed.wait(lock, ended);
    return true;
  }
  return control->changed.wait_for(lock, std::chrono::milliseconds(milliseconds > 0 ? milliseconds : 0), ended);
}

ZThread* ZThread::Current() {
  const uint32_t id = zhost::CurrentThreadId();
  ThreadTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  return static_cast<ZThread*>(table.threads.GetAt(static_cast<int32_t>(id)));
}

void ZThread::SleepFor(const ZTimeInterval& interval) {
  const int64_t milliseconds = interval.GetMilliseconds();
  ZThreadControl* self = currentControl;
  if (self == nullptr) {
    zhost::Sleep(IsInfinite(milliseconds) ? ZInfinite.GetMilliseconds() : milliseconds);
    return;
  }
  std::unique_lock<std::mutex> lock(self->mutex);
  auto terminating = [&] { return self->terminateRequested; };
  if (IsInfinite(milliseconds)) {
    self->changed.wait(lock, terminating);
  } else if (milliseconds > 0) {
    self->changed.wait_for(lock, std::chrono::milliseconds(milliseconds), terminating);
  } else {
    lock.unlock();
    zhost::Yield();
    lock.lock();
  }
  // A suspension asked for by another thread takes hold here.
  self->changed.wait(lock, [&] { return self->suspendCount == 0 || self->terminateRequested; });
}

void ZThread::Yield() { SleepFor(ZTimeInterval(0)); }
