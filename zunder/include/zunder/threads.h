// Threads, counting semaphores, countdown timers and notifiers.
//
// ZThread wraps one system thread whose body is Main; ZSemaphore is a counting
// semaphore that also serves as a mutex; ZTimer is a one-shot or repeating
// countdown whose notifier is called on the one timer thread of the process;
// ZNotifier is a shared handle on a callable taking (source, integer).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "zunder/containers.h"
#include "zunder/time.h"

// ---------------------------------------------------------------- ZThread

struct ZThreadControl;

// A system thread. Derive from it and write Main.
//
// On this host another thread can be neither suspended nor killed safely, so
// both are cooperative: Suspend and Terminate from another thread take effect
// at the thread's own waiting points (the start gate, Sleep, Yield and a
// Suspend of itself). Sleep returns early once termination was requested, and
// long-running bodies look at TerminationRequested.
//
// A class that derives from ZThread and starts running at once lets Main run
// before its own constructor finished; such classes pass startRunning false
// and call Resume at the end of their constructor.
class ZThread : public ZObject {
  Z_CLASS(ZThread, ZObject)
 public:
  enum Priority {
    LowestPriority = 0,
    LowPriority = 1,
    NormalPriority = 2,
    HighPriority = 3,
    HighestPriority = 4,
  };

  // stackSize below 1 is reported (code 8) and the smallest stack is used;
  // whatever is asked, the stack is never smaller than 64 KiB. The thread
  // waits at its start gate until Resume unless startRunning is set. A failure
  // to create the system thread is reported (code 9); the object is then
  // terminated. An auto-deleting object (noAutoDelete false) deletes itself
  // when its thread ends.
  ZThread(ZIndex stackSize, bool noAutoDelete, bool startRunning, int priority = NormalPriority);
  // From another thread: asks the thread to end and waits until it has. The
  // derived part is gone by then, so a class whose Main still uses it stops
  // its thread in its own destructor (Terminate, then WaitForTermination).
  ~ZThread() override;
  ZThread(const ZThread&) = delete;
  ZThread& operator=(const ZThread&) = delete;

  virtual void Main() = 0;
  // Clears the calling thread's last system error (the one log lines show),
  // for work that starts afresh on a thread that failed before.
  static void ForgetLastError();
  // After the thread ended: runs Main again on a new system thread.
  virtual void Restart();
  // From inside: ends the calling thread at once (its stack is unwound, the
  // end-of-thread steps run). From another thread: asks the thread to end
  // (see above) and returns without waiting. No effect on an ended thread or
  // on an object standing for a thread it did not create (stack size 0).
  virtual void Terminate();
  virtual bool IsTerminated() const;
  // Suspend(true) raises the suspend count, Suspend(false) is Resume. A thread
  // suspending itself waits here until resumed.
  virtual void Suspend(bool suspend = true);
  virtual void Resume();
  // Not ended and suspend count 0.
  virtual bool IsRunning() const;
  // The calling thread sleeps (see SleepFor).
  virtual void Sleep(const ZTimeInterval& interval);
  // Levels 0 (lowest) to 4 (highest), mapped onto the thread's nice value.
  // Raising the priority needs privileges; without them it answers false and
  // nothing changes.
  virtual bool SetPriority(int level);
  virtual int GetPriority() const;

  // The ZThread object of the calling thread, null for a thread that has none
  // (a thread not started through ZThread and not adopted by one).
  static ZThread* Current();
  // Sleeps the calling thread. In a ZThread it is a waiting point: it returns
  // early when termination is requested and holds while suspended.
  static void SleepFor(const ZTimeInterval& interval);
  // Gives up the rest of the time slice (also a waiting point).
  static void Yield();

  // The system's thread id (the Linux tid); 0 before the thread started.
  uint32_t GetThreadId() const { return threadId.load(std::memory_order_acquire); }
  ZIndex GetStackSize() const { return stackSize; }
  bool IsAutoDelete() const { return autoDelete; }
  // Waits until the thread has ended; false when the time-out passed first.
  // Not for auto-deleting threads, whose object is gone once they end.
  bool WaitForTermination(const ZTimeInterval& timeout = ZInfinite) const;

 protected:
  enum CurrentThreadTag { CurrentThread };
  // Stands for the calling thread, which was not created through ZThread
  // (the process's main thread): stack size 0, never auto-deleted, never
  // terminated, registered so that Current answers it.
  explicit ZThread(CurrentThreadTag);
  enum QuietLaunchTag { QuietLaunch };
  // As the public constructor, for a creator that copes with the system's
  // refusal of a thread itself (a service must go on serving): the failure
  // is not reported, and the object is terminated (IsTerminated).
  ZThread(QuietLaunchTag, ZIndex stackSize, bool noAutoDelete, bool startRunning, int priority = NormalPriority);
  // Makes this object stand for the calling thread from now on (for example
  // a process object handing itself over to its service thread).
  void AttachCurrentThread();
  // True once Terminate was called from another thread.
  bool TerminationRequested() const;

 private:
  friend struct ZThreadRunner;

  // Starts the system thread; false on failure, reported unless quiet.
  bool Launch();
  void Start(bool startRunning, int priority);

  bool autoDelete;
  bool reportLaunchFailure = true;
  std::atomic<uint32_t> threadId{0};
  ZIndex stackSize;
  std::shared_ptr<ZThreadControl> control;  // shared with the running thread
};

// ---------------------------------------------------------------- ZSemaphore

// A counting semaphore with a maximum; created with initial count 1 and
// maximum 1 it is a mutex.
class ZSemaphore : public ZObject {
  Z_CLASS(ZSemaphore, ZObject)
 public:
  // The count starts at the smaller of the two, compared as unsigned numbers,
  // so -1 starts at the maximum. A maximum below 1 is reported (code 9).
  explicit ZSemaphore(int32_t initialCount = 1, int32_t maximum = 1);
  ZSemaphore(const ZSemaphore&) = delete;
  ZSemaphore& operator=(const ZSemaphore&) = delete;

  void Wait();
  // False when the time-out passed before the count could be taken.
  bool Wait(const ZTimeInterval& timeout);
  // Adds one; ignored at the maximum.
  void Signal();

 private:
  std::mutex mutex;
  std::condition_variable available;
  uint32_t count;
  uint32_t maximum;
};

// ---------------------------------------------------------------- notifiers

// An object with a shared reference count, deleted by the last ZSmartPointer
// that lets go of it.
class ZReferencedObject : public ZObject {
  Z_CLASS(ZReferencedObject, ZObject)
 public:
  ZReferencedObject() = default;
  ZReferencedObject(const ZReferencedObject&) = delete;
  ZReferencedObject& operator=(const ZReferencedObject&) = delete;
  uint32_t GetReferenceCount() const { return referenceCount.load(std::memory_order_acquire); }

 private:
  friend class ZSmartPointer;
  std::atomic<uint32_t> referenceCount{0};
};

// A counted handle: copies raise the count, destruction and reassignment
// lower it, and the object is deleted when it reaches 0.
class ZSmartPointer : public ZObject {
  Z_CLASS(ZSmartPointer, ZObject)
 public:
  ZSmartPointer() = default;
  explicit ZSmartPointer(ZReferencedObject* object);
  ZSmartPointer(const ZSmartPointer& other);
  ZSmartPointer& operator=(const ZSmartPointer& other);
  ~ZSmartPointer() override;

  ZReferencedObject* GetObject() const { return object; }
  bool IsNULL() const { return object == nullptr; }
  explicit operator bool() const { return object != nullptr; }
  // Same object (by identity): EqualTo; otherwise ordered by address.
  ZComparison Compare(const ZObject& other) const override;

 private:
  void Attach(ZReferencedObject* newObject);
  void Release();

  ZReferencedObject* object = nullptr;
};

// The function behind a notifier.
class ZNotifierFunction : public ZReferencedObject {
  Z_CLASS(ZNotifierFunction, ZReferencedObject)
 public:
  virtual void Call(ZObject& source, int32_t extra) const = 0;
};

// Calls a member function of an object: void (T::*)(ZObject& source, int32_t).
template <class T>
class ZMemberNotifierFunction : public ZNotifierFunction {
 public:
  using Member = void (T::*)(ZObject&, int32_t);
  ZMemberNotifierFunction(T* receiver, Member handler) : target(receiver), member(handler) {}
  void Call(ZObject& source, int32_t extra) const override { (target->*member)(source, extra); }

 private:
  T* target;
  Member member;
};

// Calls any callable taking (ZObject& source, int32_t extra).
class ZFunctionNotifierFunction : public ZNotifierFunction {
 public:
  using Function = std::function<void(ZObject&, int32_t)>;
  explicit ZFunctionNotifierFunction(Function callable) : function(std::move(callable)) {}
  void Call(ZObject& source, int32_t extra) const override {
    if (function) function(source, extra);
  }

 private:
  Function function;
};

// A shared handle on a notifier function. Calling an empty notifier does
// nothing.
//   timer.SetNotifier(ZNotifier::Bind(this, &Proxy::OnHostTimeout));
//   timer.SetNotifier(ZNotifier([&](ZObject&, int32_t running) { ... }));
class ZNotifier : public ZSmartPointer {
  Z_CLASS(ZNotifier, ZSmartPointer)
 public:
  ZNotifier() = default;
  explicit ZNotifier(ZNotifierFunction* function) : ZSmartPointer(function) {}
  explicit ZNotifier(ZFunctionNotifierFunction::Function function)
      : ZSmartPointer(new ZFunctionNotifierFunction(std::move(function))) {}

  template <class T>
  static ZNotifier Bind(T* target, void (T::*member)(ZObject&, int32_t)) {
    return ZNotifier(new ZMemberNotifierFunction<T>(target, member));
  }

  void operator()(ZObject& source, int32_t extra) const {
    if (auto* function = static_cast<ZNotifierFunction*>(GetObject())) function->Call(source, extra);
  }
};

// ---------------------------------------------------------------- timers

class ZTimerService;

// A countdown. The inherited interval is the time remaining; it is brought up
// to date by the timer thread, so read it through GetRemaining (or this
// class's GetMilliseconds), which also counts the time since then.
//
// All timers are worked through by one timer thread, which calls OnTimeout
// (and so the notifier) when a timer runs out; callbacks run one after
// another and must not block for long. A timer may be stopped, restarted or
// paused from any thread, including from inside its own callback; it must not
// be destroyed from inside its own callback. Destroying it from another thread
// while its callback runs waits for the callback to finish.
class ZTimer : public ZTimeInterval {
  Z_CLASS(ZTimer, ZTimeInterval)
 public:
  enum State { Stopped = 0, Running = 1, Paused = 2 };

  // Starts at once as a one-shot timer (a zero interval leaves it stopped).
  explicit ZTimer(int64_t milliseconds = 0, int64_t seconds = 0, int64_t minutes = 0, int64_t hours = 0,
                  int64_t days = 0);
  explicit ZTimer(const ZTimeInterval& interval);
  ~ZTimer() override;
  ZTimer(const ZTimer&) = delete;
  ZTimer& operator=(const ZTimer&) = delete;

  // The interval becomes the reset time; the timer restarts with its current
  // one-shot setting.
  ZTimer& operator=(const ZTimeInterval& interval);

  // (Re)starts with the reset time. Restarting a running timer only resets
  // its remaining time: cheap enough to do on every pass of a copy loop.
  void StartRunning(bool oneshot = true);
  void Stop();
  void Pause();
  void Resume();

  void SetNotifier(const ZNotifier& notifier);
  ZNotifier GetNotifier() const;

  State GetState() const;
  bool IsRunning() const { return GetState() == Running; }
  bool IsOneShot() const;
  ZTimeInterval GetResetTime() const;
  ZTimeInterval GetRemaining() const;
  int64_t GetMilliseconds() const { return GetRemaining().GetMilliseconds(); }

  // Calls the notifier with this timer and 1 when it is still running
  // (repeating) or 0 when it stopped.
  virtual void OnTimeout();

  ZComparison Compare(const ZObject& other) const override;
  ZObject* Clone() const override;  // a ZTimeInterval of the time remaining
  void Print(std::ostream& out) const override;

  // Marks the timer thread as gone and waits for it to end; afterwards timers
  // still change state but never fire. For the end of the process.
  static void ShutdownTimerThread();

 private:
  friend class ZTimerService;
  friend class ZTimerList;

  // Guarded by the timer lock.
  ZNotifier callback;
  int64_t resetTime = 0;
  bool oneshot = true;
  State state = Stopped;
  bool inTimeout = false;  // being processed or calling its callback
  bool listed = false;     // in the timer list
  int64_t chargedAt = 0;   // clock reading the remaining time refers to
};

// The running timers of the process (not owned), worked through by the timer
// thread under the timer lock.
class ZTimerList : public ZList {
  Z_CLASS(ZTimerList, ZList)
 public:
  ZTimerList();
  ZTimer* GetTimer(ZIndex index) const { return static_cast<ZTimer*>(GetAt(index)); }

 private:
  friend class ZTimerService;
  int64_t lastRun = 0;  // clock reading of the last processing run
};
