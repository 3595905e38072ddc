// Waiting in tests without fixed sleeps: a condition polled under a bound,
// and the milliseconds since a moment.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

// Polls the condition every 5 ms for at most limitMs; answers its last value.
inline bool WaitUntil(const std::function<bool()>& condition, int64_t limitMs = 20000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

inline long long MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}
