// ZSemaphore on a mutex and a condition variable, so the maximum is enforced
// by the class itself (a POSIX semaphore has none).
#include <chrono>

#include "zunder/threads.h"

ZSemaphore::ZSemaphore(int32_t initialCount, int32_t maximumCount) {
  if (maximumCount < 1) {
    // The host would refuse such a semaphore; carry on as an empty mutex.
    Z_ASSERT_CODE(ZAssertOSError);
    maximumCount = 1;
    initialCount = 0;
  }
  // Unsigned on purpose: -1 means "start full".
  const uint32_t initial = static_cast<uint32_t>(initialCount);
  maximum = static_cast<uint32_t>(maximumCount);
  count = initial < maximum ? initial : maximum;
}

void ZSemaphore::Wait() {
  std::unique_lock<std::mutex> lock(mutex);
  available.wait(lock, [this] { return count > 0; });
  --count;
}

bool ZSemaphore::Wait(const ZTimeInterval& timeout) {
  const int64_t milliseconds = timeout.GetMilliseconds();
  if (milliseconds >= ZInfinite.GetMilliseconds()) {
    Wait();
    return true;
  }
  std::unique_lock<std::mutex> lock(mutex);
  const auto limit = std::chrono::milliseconds(milliseconds > 0 ? milliseconds : 0);
  if (!available.wait_for(lock, limit, [this] { return count > 0; })) return false;
  --count;
  return true;
}

void ZSemaphore::Signal() {
  // Notified under the lock: a waiter may destroy the semaphore as soon as it
  // has taken the count.
  std::lock_guard<std::mutex> lock(mutex);
  if (count >= maximum) return;
  ++count;
  available.notify_one();
}
