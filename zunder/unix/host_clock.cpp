// Host clock, time zone and locale queries (POSIX C library).
#include "host_clock.h"

#include <langinfo.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

namespace zhost {

namespace {

// tzset() each time: the C library's *_r conversions read TZ only once, and
// an administrator (or a test) may change it while the process runs. It is
// cheap when TZ has not changed.
void RefreshZone() { tzset(); }

// tzset() rewrites the C library's zone state, which the conversions read
// (and tm_zone points into): every zone query holds this lock, so two
// threads formatting local times at once never see it half-changed.
std::mutex& ZoneMutex() {
  static std::mutex mutex;
  return mutex;
}

void CopyName(char* target, size_t size, const char* name) {
  std::snprintf(target, size, "%s", name != nullptr ? name : "");
}

bool LocalTm(time_t when, struct tm& out) { return localtime_r(&when, &out) != nullptr; }

// The conversion letters of a strftime format in order, with the composite
// ones (%D, %F, %T, %R, %r) expanded; the separator is the first literal
// character met between two conversions.
struct FormatShape {
  char letters[16] = {};
  int count = 0;
  char separator = '\0';
};

void AddLetters(FormatShape& shape, const char* letters) {
  for (; *letters != '\0' && shape.count + 1 < static_cast<int>(sizeof(shape.letters)); ++letters) {
    shape.letters[shape.count++] = *letters;
  }
}

FormatShape ReadFormat(const char* format) {
  FormatShape shape;
  if (format == nullptr) return shape;
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      if (shape.count > 0 && shape.separator == '\0' && *p != ' ') shape.separator = *p;
      continue;
    }
    ++p;
    while (*p == 'E' || *p == 'O' || *p == '-' || *p == '_' || *p == '0' || *p == '^' || *p == '#') ++p;
    switch (*p) {
      case '\0': return shape;
      case 'D':
        AddLetters(shape, "mdy");
        if (shape.separator == '\0') shape.separator = '/';
        break;
      case 'F':
        AddLetters(shape, "Ymd");
        if (shape.separator == '\0') shape.separator = '-';
        break;
      case 'T':
        AddLetters(shape, "HMS");
        if (shape.separator == '\0') shape.separator = ':';
        break;
      case 'R':
        AddLetters(shape, "HM");
        if (shape.separator == '\0') shape.separator = ':';
        break;
      case 'r':
        AddLetters(shape, "IMSp");
        if (shape.separator == '\0') shape.separator = ':';
        break;
      default: {
        char one[2] = {*p, '\0'};
        AddLetters(shape, one);
      }
    }
  }
  return shape;
}

int FirstOf(const FormatShape& shape, const char* letters) {
  for (int i = 0; i < shape.count; ++i) {
    if (std::strchr(letters, shape.letters[i]) != nullptr) return i;
  }
  return -1;
}

}  // namespace

int64_t CurrentSeconds() {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec);
}

bool LocalFields(int64_t seconds, CalendarFields& fields, int& offsetMinutes) {
  std::lock_guard<std::mutex> lock(ZoneMutex());
  RefreshZone();
  struct tm local {};
  if (!LocalTm(static_cast<time_t>(seconds), local)) return false;
  fields.year = local.tm_year + 1900;
  fields.month = local.tm_mon + 1;
  fields.day = local.tm_mday;
  fields.hour = local.tm_hour;
  fields.minute = local.tm_min;
  fields.second = local.tm_sec;
  fields.weekday = local.tm_wday;
  offsetMinutes = static_cast<int>(local.tm_gmtoff / 60);
  return true;
}

bool LocalToSeconds(const CalendarFields& fields, int64_t& seconds) {
  std::lock_guard<std::mutex> lock(ZoneMutex());
  RefreshZone();
  struct tm local {};
  local.tm_year = fields.year - 1900;
  local.tm_mon = fields.month - 1;
  local.tm_mday = fields.day;
  local.tm_hour = fields.hour;
  local.tm_min = fields.minute;
  local.tm_sec = fields.second;
  local.tm_isdst = -1;  // let the zone rules decide
  time_t result = mktime(&local);
  // mktime answers -1 both for failure and for 1969-12-31 23:59:59 UTC; the
  // normalised fields tell the two apart.
  if (result == static_cast<time_t>(-1) && local.tm_year + 1900 != 1969) return false;
  seconds = static_cast<int64_t>(result);
  return true;
}

bool QueryZone(ZoneInfo& info) {
  std::lock_guard<std::mutex> lock(ZoneMutex());
  RefreshZone();
  time_t now = time(nullptr);
  struct tm today {};
  if (!LocalTm(now, today)) return false;

  // Standard and daylight offsets from mid-January and mid-July of this
  // year: one of them is standard time in either hemisphere.
  struct tm probe[2]{};
  for (int i = 0; i < 2; ++i) {
    struct tm when {};
    when.tm_year = today.tm_year;
    when.tm_mon = i == 0 ? 0 : 6;
    when.tm_mday = 15;
    when.tm_hour = 12;
    when.tm_isdst = -1;
    time_t stamp = mktime(&when);
    if (stamp == static_cast<time_t>(-1) || !LocalTm(stamp, probe[i])) return false;
  }
  const struct tm* standard = probe[0].tm_isdst > 0 ? &probe[1] : &probe[0];
  const struct tm* daylight = probe[0].tm_isdst > 0 ? &probe[0] : (probe[1].tm_isdst > 0 ? &probe[1] : nullptr);

  info.bias = static_cast<int>(-standard->tm_gmtoff / 60);
  info.daylightBias = daylight != nullptr ? static_cast<int>(-(daylight->tm_gmtoff - standard->tm_gmtoff) / 60) : 0;
  info.daylightNow = today.tm_isdst > 0;
  CopyName(info.standardName, sizeof(info.standardName), standard->tm_zone);
  CopyName(info.daylightName, sizeof(info.daylightName), daylight != nullptr ? daylight->tm_zone : "");
  return true;
}

void QueryLocale(LocaleInfo& info) {
  info = LocaleInfo();
  FormatShape date = ReadFormat(nl_langinfo(D_FMT));
  int day = FirstOf(date, "de");
  int month = FirstOf(date, "mbBh");
  int year = FirstOf(date, "yYCG");
  if (day >= 0 && month >= 0 && year >= 0) {
    if (year < month && month < day) {
      info.dateOrder = LocaleInfo::YearMonthDay;
    } else if (day < month) {
      info.dateOrder = LocaleInfo::DayMonthYear;
    } else {
      info.dateOrder = LocaleInfo::MonthDayYear;
    }
  }
  if (date.separator != '\0') {
    info.dateSeparator[0] = date.separator;
    info.dateSeparator[1] = '\0';
  }

  FormatShape time = ReadFormat(nl_langinfo(T_FMT));
  info.twentyFourHour = FirstOf(time, "Il") < 0;
  if (time.separator != '\0') {
    info.timeSeparator[0] = time.separator;
    info.timeSeparator[1] = '\0';
  }
}

}  // namespace zhost
