// Threads on pthreads: start, exit, ids, sleeping, priorities and the clock.
#include "host_thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace {

// Callers ask for stacks of a few KB; below this floor a connection thread
// would not survive its own buffers.
constexpr size_t kStackFloor = 64 * 1024;

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
};

extern "C" void* ThreadStart(void* raw) {
  StartRecord record = *static_cast<StartRecord*>(raw);
  delete static_cast<StartRecord*>(raw);
  record.body(record.argument);
  return nullptr;
}

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
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  bool ready = pthread_attr_setstacksize(&attributes, StackSizeFor(stackSize)) == 0 &&
               pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0;
  bool started = false;
  if (ready) {
    auto* record = new StartRecord{body, argument};
    pthread_t thread;
    started = pthread_create(&thread, &attributes, &ThreadStart, record) == 0;
    if (!started) delete record;
  }
  pthread_attr_destroy(&attributes);
  return started;
}

void ExitThread() { pthread_exit(nullptr); }

uint32_t CurrentThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

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

bool SetThreadNice(uint32_t threadId, int nice) {
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
