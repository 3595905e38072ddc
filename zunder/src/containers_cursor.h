// The "last visited" position that list and table records keep, so that
// stepping through neighbouring indexes costs one step. The record is shared
// by every copy of its container and read by many threads at once (strings,
// tables and pages are), so a reader may use and move the position only
// while it holds it. A reader that finds it held by another does not wait:
// it finds its element from the start and leaves the position alone.
//
// A change to the contents has its record to itself (it separated first), so
// it moves the position without holding it.
#pragma once

#include <atomic>

class ZCursorHold {
 public:
  explicit ZCursorHold(std::atomic_flag& flag) : busy(flag), held(!flag.test_and_set(std::memory_order_acquire)) {}
  ~ZCursorHold() {
    if (held) busy.clear(std::memory_order_release);
  }
  ZCursorHold(const ZCursorHold&) = delete;
  ZCursorHold& operator=(const ZCursorHold&) = delete;

  bool IsHeld() const { return held; }

 private:
  std::atomic_flag& busy;
  const bool held;
};
