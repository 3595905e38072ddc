// Time zones for tests that depend on the local zone: TZ set for one scope,
// POSIX zone rules (no tz database needed) and an instant to test against.
#pragma once

#include <time.h>

#include <cstdint>
#include <optional>

#include "environment.h"

// Sets TZ for the lifetime of the object and restores the previous value;
// the C library reads it again both times.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) : variable(std::in_place, "TZ", zone) { tzset(); }
  ~ScopedTimeZone() {
    variable.reset();
    tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::optional<ScopedVariable> variable;
};

// POSIX zone rules, so no tz database is needed.
constexpr const char* kNewYork = "EST5EDT,M3.2.0,M11.1.0";
constexpr const char* kBerlin = "CET-1CEST,M3.5.0,M10.5.0/3";

// 9 October 1996 14:30:00 UTC.
constexpr int64_t kOct9 = 844871400;
