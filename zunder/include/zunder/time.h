// Calendar times with one-second resolution and signed millisecond spans.
#pragma once

#include "zunder/strings.h"

// A signed span of milliseconds: time-outs, timers, connection durations.
class ZTimeInterval : public ZObject {
  Z_CLASS(ZTimeInterval, ZObject)
 public:
  // The sum of the parts, in 64-bit arithmetic.
  explicit ZTimeInterval(int64_t milliseconds = 0, int64_t seconds = 0, int64_t minutes = 0, int64_t hours = 0,
                         int64_t days = 0);

  int64_t GetMilliseconds() const { return milliseconds; }
  ZIndex GetMillisecondsClamped() const;  // clamped into 0..0x7fffffff

  bool operator==(const ZTimeInterval& other) const { return milliseconds == other.milliseconds; }
  bool operator<(const ZTimeInterval& other) const { return milliseconds < other.milliseconds; }

  // Only intervals (and their descendants) compare; anything else is
  // reported as an invalid cast.
  ZComparison Compare(const ZObject& other) const override;
  ZObject* Clone() const override;
  // [days:][hh:][mm:]ss[.mmm]: the leading parts appear only when not zero,
  // the milliseconds only when the stream's precision is 1 or more (one
  // digit per point of precision, at most three).
  void Print(std::ostream& out) const override;
  // [[[days:]hours:]minutes:]seconds[.fraction]; sets failbit when no
  // number is there.
  void ReadFrom(std::istream& in) override;

 protected:
  int64_t milliseconds;
};

// "Waits without limit" for every time-out of the library.
inline const ZTimeInterval ZInfinite{0x7fffffff};

// ---------------------------------------------------------------- ZTime

// An absolute point in time: seconds since 1 January 1970 00:00 UTC. Zones
// are minutes east of UTC (UTC+10 is 600); ZTime::LocalZone (9999) stands
// for the host's local zone.
class ZTime : public ZObject {
  Z_CLASS(ZTime, ZObject)
 public:
  static constexpr int LocalZone = 9999;

  // Numbers of the predefined formats of AsString.
  enum Format {
    RFC1123 = 0,       // "www, dd MMM yyyy hh:mm:ss z"
    LongDateTime = 1,  // long time, a blank, long date
    LongDate = 2,
    LongTime = 3,
    MediumDateTime = 4,  // short time, a blank, medium date
    MediumDate = 5,
    ShortDateTime = 6,  // short time, a blank, short date
    ShortDate = 7,
  };

  // The current time.
  ZTime();
  // A seconds value as it is (no range check).
  explicit ZTime(int64_t secondsSince1970) : seconds(secondsSince1970) {}
  // Calendar parts read in the given zone (local time for LocalZone).
  // Parts outside second 0-59, minute 0-59, hour 0-23, day 1-31, month
  // 1-12, year 1970-2038 are reported (invalid parameter) and give 0.
  ZTime(int second, int minute, int hour, int day, int month, int year, int zone = LocalZone);
  // A free-form date text ("Wed, 09 Oct 1996 14:30:00 GMT", "1 Jan 1996",
  // "12:30 pm"...). Text that does not parse gives today 00:00 local time.
  explicit ZTime(const char* text);

  static ZTime Now() { return ZTime(); }

  int64_t GetSeconds() const { return seconds; }

  // The host's local zone offset in minutes east of UTC: standard time, or
  // daylight saving time when asked; without an argument, whichever is in
  // force now.
  static int GetLocalZoneOffset(bool daylightSaving);
  static int GetLocalZoneOffset();

  // ---- arithmetic (an interval counts in whole seconds here; the
  // milliseconds below a second are dropped toward zero)
  ZTime operator+(const ZTimeInterval& span) const;
  ZTime operator-(const ZTimeInterval& span) const;
  ZTime& operator+=(const ZTimeInterval& span);
  ZTime& operator-=(const ZTimeInterval& span);
  ZTimeInterval operator-(const ZTime& earlier) const;

  bool operator==(const ZTime& other) const { return seconds == other.seconds; }
  bool operator!=(const ZTime& other) const { return seconds != other.seconds; }
  bool operator<(const ZTime& other) const { return seconds < other.seconds; }
  bool operator<=(const ZTime& other) const { return seconds <= other.seconds; }
  bool operator>(const ZTime& other) const { return seconds > other.seconds; }
  bool operator>=(const ZTime& other) const { return seconds >= other.seconds; }

  // ---- text
  // A predefined format (Format); an unknown number is reported and gives an
  // empty text.
  ZString AsString(int format = RFC1123, int zone = LocalZone) const;
  // A letter pattern: y M d h m s w a z (a run of one letter is one field),
  // every other character copied. A null pattern is reported.
  ZString AsString(const char* pattern, int zone = LocalZone) const;

  // Parses text as the text constructor does; answers whether it parsed
  // (on failure the time is today 00:00 local time).
  bool Parse(const char* text);

  // ---- ZObject
  // Only times (and their descendants) compare; anything else is reported.
  ZComparison Compare(const ZObject& other) const override;
  ZObject* Clone() const override;
  uint32_t Hash() const override;
  // Format 0 in the local zone.
  void Print(std::ostream& out) const override;
  // Parses a date from the stream; the characters of the token that ended
  // it are given back to the stream so reading can go on after the date.
  void ReadFrom(std::istream& in) override;

 protected:
  int64_t seconds;
};
