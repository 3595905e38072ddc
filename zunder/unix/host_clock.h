// The host's clock, time zone and locale, as the time classes need them.
// Private to the library: only the time sources (zunder/src/time*.cpp) and
// the host layer use it.
#pragma once

#include <cstdint>

namespace zhost {

// A calendar reading: year (e.g. 1996), month 1-12, day 1-31, hour 0-23,
// minute, second, weekday 0-6 from Sunday.
struct CalendarFields {
  int year = 1970;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int weekday = 4;
};

// Seconds since 1 January 1970 00:00 UTC, from the real-time clock.
int64_t CurrentSeconds();

// The local calendar reading of an instant and the local zone offset
// (minutes east of UTC) in force at that instant. False when the host
// cannot convert it.
bool LocalFields(int64_t seconds, CalendarFields& fields, int& offsetMinutes);

// Calendar fields read as local time (the host decides whether daylight
// saving time applies at that date); out-of-range days, hours... carry
// over as the C library does. False when the host cannot convert them.
bool LocalToSeconds(const CalendarFields& fields, int64_t& seconds);

// The local zone in the host's terms: UTC = local time + bias (+
// daylightBias while daylight saving time is in force), all in minutes.
struct ZoneInfo {
  int bias = 0;
  int daylightBias = 0;
  bool daylightNow = false;
  char standardName[16] = {};  // e.g. "CET"; empty when unknown
  char daylightName[16] = {};  // e.g. "CEST"; empty when the zone has none
};
bool QueryZone(ZoneInfo& info);

// What the locale says about writing dates and times.
struct LocaleInfo {
  enum DateOrder { MonthDayYear = 0, DayMonthYear = 1, YearMonthDay = 2 };
  DateOrder dateOrder = MonthDayYear;
  bool twentyFourHour = true;
  char dateSeparator[4] = "/";
  char timeSeparator[4] = ":";
};
void QueryLocale(LocaleInfo& info);

}  // namespace zhost
