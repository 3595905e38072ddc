// Threads on pthreads: start, exit, ids, sleeping, priorities and the clock.
#include "host_thread.h"

#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <ctime>
#include <mutex>
#include <vector>

namespace {

// Callers ask for stacks of a few KB; below this floor a connection thread
// would not survive its own buffers.
constexpr size_t kStackFloor = size_t{64} * 1024;

// Instrumented builds use far bigger frames.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kSanitizerFactor = 4;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr size_t kSanitizerFactor = 4;
#else
constexpr size_t kSanitizerFactor = 1;
#endif
#else
constexpr size_t kSanitizerFactor = 1;
#endif

struct StartRecord {
  zhost::ThreadBody body;
  void* argument;
  size_t stackSize = 0;  // of a pooled thread; 0 for a plain one
};

extern "C" void* ThreadStart(void* raw) {
  StartRecord record = *static_cast<StartRecord*>(raw);
  delete static_cast<StartRecord*>(raw);
  record.body(record.argument);
  return nullptr;
}

// Threads whose body has returned, parked for the next body: a service that
// starts a thread per connection saves creating and tearing down one each
// time, and the starter learns the id at once. Parked threads keep their
// touched stack, so only a few are kept.
constexpr size_t kMaxParked = 64;

struct ParkedThread {
  ParkedThread() { sem_init(&wake, 0, 0); }
  ~ParkedThread() { sem_destroy(&wake); }
  ParkedThread(const ParkedThread&) = delete;
  ParkedThread& operator=(const ParkedThread&) = delete;

  sem_t wake;  // posted once for each body handed over
  zhost::ThreadBody body = nullptr;
  void* argument = nullptr;
  uint32_t id = 0;
  size_t stackSize = 0;
};

struct ThreadPool {
  std::mutex mutex;
  std::vector<ParkedThread*> parked;  // the most recently parked last
};

// Never destroyed: parked threads wait on it while the process exits.
ThreadPool& Pool() {
  static auto* pool = new ThreadPool;
  return *pool;
}

extern "C" void* PooledThreadStart(void* raw) {
  StartRecord record = *static_cast<StartRecord*>(raw);
  delete static_cast<StartRecord*>(raw);
  ParkedThread self;
  self.id = zhost::CurrentThreadId();
  self.stackSize = record.stackSize;
  ThreadPool& pool = Pool();
  for (;;) {
    // A body ending its thread (ExitThread) unwinds out of here: the thread
    // is not parked then, so nothing refers to it.
    record.body(record.argument);
    {
      std::lock_guard<std::mutex> lock(pool.mutex);
      if (pool.parked.size() >= kMaxParked) break;
      self.body = nullptr;
      pool.parked.push_back(&self);
    }
    // The body and its argument are written before the post.
    while (sem_wait(&self.wake) != 0) {
    }
    record.body = self.body;
    record.argument = self.argument;
    errno = 0;  // each body starts as on a new thread
  }
  return nullptr;
}

bool CreateThread(void* (*start)(void*), StartRecord* record, size_t stackSize) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  bool ready = pthread_attr_setstacksize(&attributes, stackSize) == 0 &&
               pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0;
  bool started = false;
  if (ready) {
    pthread_t thread;
    started = pthread_create(&thread, &attributes, start, record) == 0;
  }
  pthread_attr_destroy(&attributes);
  return started;
}

thread_local uint32_t cachedThreadId = 0;

}  // namespace

namespace zhost {

size_t StackSizeFor(size_t stackSize) {
  size_t size = stackSize < kStackFloor ? kStackFloor : stackSize;
  size *= kSanitizerFactor;
  if (size < static_cast<size_t>(PTHREAD_STACK_MIN)) size = PTHREAD_STACK_MIN;
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  if (page > 0) size = (size + page - 1) / page * page;
  return size;
}

bool StartThread(ThreadBody body, void* argument, size_t stackSize) {
  auto* record = new StartRecord{body, argument};
  if (CreateThread(&ThreadStart, record, StackSizeFor(stackSize))) return true;
  delete record;
  return false;
}

void* ReservePooledThread(size_t stackSize, uint32_t& threadId) {
  threadId = 0;
  const size_t size = StackSizeFor(stackSize);
  ThreadPool& pool = Pool();
  std::lock_guard<std::mutex> lock(pool.mutex);
  for (size_t i = pool.parked.size(); i-- > 0;) {
    ParkedThread* thread = pool.parked[i];
    if (thread->stackSize != size) continue;
    pool.parked.erase(pool.parked.begin() + static_cast<std::ptrdiff_t>(i));
    threadId = thread->id;
    return thread;
  }
  return nullptr;
}

void StartReservedThread(void* reserved, ThreadBody body, void* argument) {
  auto* thread = static_cast<ParkedThread*>(reserved);
  // Off the list, the thread is ours alone; the post publishes the body and
  // is the last touch of its record (a semaphore may be destroyed as soon
  // as the waiter it woke has returned).
  thread->body = body;
  thread->argument = argument;
  sem_post(&thread->wake);
}

bool StartPooledThread(ThreadBody body, void* argument, size_t stackSize, uint32_t& threadId) {
  if (void* reserved = ReservePooledThread(stackSize, threadId)) {
    // Woken after the pool's lock is let go, or it would wake only to wait
    // for the lock.
    StartReservedThread(reserved, body, argument);
    return true;
  }
  const size_t size = StackSizeFor(stackSize);
  auto* record = new StartRecord{body, argument, size};
  if (CreateThread(&PooledThreadStart, record, size)) return true;
  delete record;
  return false;
}

void ExitThread() { pthread_exit(nullptr); }

uint32_t CurrentThreadId() {
  // A thread's id never changes, and pooled threads ask for it with every
  // body; only a forked child's thread has a new one.
  static const int forgetInChild = pthread_atfork(nullptr, nullptr, [] { cachedThreadId = 0; });
  (void)forgetInChild;
  if (cachedThreadId == 0) cachedThreadId = static_cast<uint32_t>(syscall(SYS_gettid));
  return cachedThreadId;
}

void Sleep(int64_t milliseconds) {
  if (milliseconds <= 0) {
    sched_yield();
    return;
  }
  timespec rest{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}

void Yield() { sched_yield(); }

namespace {
// Threads inherit the nice value of the thread that made them, so until one
// is given another value they all share the process's: setting that value
// again changes nothing and a service starting a thread per connection is
// spared the system call. Any other value, once asked for, ends the shortcut.
struct NiceShortcut {
  std::atomic<bool> shared{true};
  int processNice = 0;
  NiceShortcut() {
    errno = 0;
    processNice = getpriority(PRIO_PROCESS, 0);
    if (processNice == -1 && errno != 0) shared.store(false);
  }
};
NiceShortcut& Nices() {
  static NiceShortcut nices;
  return nices;
}
}  // namespace

bool SetThreadNice(uint32_t threadId, int nice) {
  NiceShortcut& nices = Nices();
  if (nice == nices.processNice && nices.shared.load(std::memory_order_acquire)) return true;
  nices.shared.store(false, std::memory_order_release);
  return setpriority(PRIO_PROCESS, static_cast<id_t>(threadId), nice) == 0;
}

bool GetThreadNice(uint32_t threadId, int* nice) {
  errno = 0;  // -1 is a valid answer; errno tells the failure
  int value = getpriority(PRIO_PROCESS, static_cast<id_t>(threadId));
  if (value == -1 && errno != 0) return false;
  *nice = value;
  return true;
}

int64_t Milliseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace zhost
