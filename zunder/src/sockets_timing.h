// What the socket sources share: the bound of a wait and how long a closed
// stream lingers. Private to the library.
#pragma once

#include <chrono>
#include <cstdint>

namespace zsockets {

constexpr int64_t kUnlimited = 0x7fffffff;
// Streams linger this long after a close to deliver what is still queued.
constexpr int kLingerSeconds = 10;

// The end of a wait with a time-out; 0x7fffffff ms and more never ends.
class Deadline {
 public:
  explicit Deadline(int64_t milliseconds)
      : unlimited(milliseconds >= kUnlimited),
        end(Clock::now() + std::chrono::milliseconds(milliseconds > 0 && !unlimited ? milliseconds : 0)) {}

  // Milliseconds for poll: -1 without limit, 0 once expired.
  int Remaining() const {
    if (unlimited) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) return 0;
    return left > kUnlimited - 1 ? static_cast<int>(kUnlimited - 1) : static_cast<int>(left);
  }
  bool Expired() const { return !unlimited && Clock::now() >= end; }

 private:
  using Clock = std::chrono::steady_clock;
  bool unlimited;
  Clock::time_point end;
};

}  // namespace zsockets
