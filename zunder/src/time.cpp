// ZTimeInterval and ZTime: arithmetic and letter-pattern formatting. The
// free-form date parser is time_parse.cpp. The host's clock, zone and locale
// come through the narrow interface of host_clock.h.
#include "zunder/time.h"

#include <cstdio>
#include <cstring>
#include <istream>
#include <ostream>
#include <string>

#include "host_clock.h"
#include "time_calendar.h"

using ztime::FieldsInRange;
using ztime::GetChar;
using ztime::IsDigit;
using ztime::LocalSeconds;
using ztime::PeekChar;
using ztime::UtcSeconds;

// ================================================================ ZTimeInterval

ZTimeInterval::ZTimeInterval(int64_t ms, int64_t s, int64_t min, int64_t h, int64_t d) {
  // Unsigned arithmetic so that absurd parts wrap instead of overflowing.
  uint64_t total =
      ((((static_cast<uint64_t>(d) * 24 + static_cast<uint64_t>(h)) * 60 + static_cast<uint64_t>(min)) * 60 +
        static_cast<uint64_t>(s)) *
       1000) +
      static_cast<uint64_t>(ms);
  milliseconds = static_cast<int64_t>(total);
}

ZIndex ZTimeInterval::GetMillisecondsClamped() const {
  if (milliseconds < 0) return 0;
  if (milliseconds > 0x7fffffff) return 0x7fffffff;
  return static_cast<ZIndex>(milliseconds);
}

ZComparison ZTimeInterval::Compare(const ZObject& other) const {
  if (!other.IsDescendant(ZTimeInterval::ClassName())) {
    Z_ASSERT_CODE(ZAssertInvalidCast);
    // Carry on with a stable, never-equal order by class name.
    int byName = std::strcmp(GetClass(), other.GetClass());
    return byName != 0 ? ZSign(byName) : LessThan;
  }
  const auto& interval = static_cast<const ZTimeInterval&>(other);
  if (milliseconds == interval.milliseconds) return EqualTo;
  return milliseconds < interval.milliseconds ? LessThan : GreaterThan;
}

ZObject* ZTimeInterval::Clone() const { return new ZTimeInterval(*this); }

void ZTimeInterval::Print(std::ostream& out) const {
  // The magnitude in unsigned arithmetic: INT64_MIN has no positive twin.
  bool negative = milliseconds < 0;
  uint64_t total = negative ? 0 - static_cast<uint64_t>(milliseconds) : static_cast<uint64_t>(milliseconds);
  uint64_t days = total / 86400000;
  unsigned hours = static_cast<unsigned>(total / 3600000 % 24);
  unsigned minutes = static_cast<unsigned>(total / 60000 % 60);
  unsigned secs = static_cast<unsigned>(total / 1000 % 60);
  unsigned millis = static_cast<unsigned>(total % 1000);

  char text[64];
  int length = 0;
  auto append = [&](const char* format, auto... values) {
    length += std::snprintf(text + length, sizeof(text) - length, format, values...);
  };
  if (negative) append("%s", "-");  // every format takes a value: none is a plain text
  bool before = false;
  if (days >= 1) {
    append("%llu:", static_cast<unsigned long long>(days));
    before = true;
  }
  if (before || hours >= 1) {
    append(before ? "%02u:" : "%u:", hours);
    before = true;
  }
  if (before || minutes >= 1) {
    append(before ? "%02u:" : "%u:", minutes);
    before = true;
  }
  append(before ? "%02u" : "%u", secs);

  std::streamsize precision = out.precision();
  if (precision >= 1) {
    int digits = precision >= 3 ? 3 : static_cast<int>(precision);
    unsigned shown = millis;
    for (int i = digits; i < 3; ++i) shown /= 10;
    append(".%0*u", digits, shown);
  }
  out << text;
}

namespace ztime {

bool IsDigit(int c) { return c >= '0' && c <= '9'; }
bool IsLetter(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Character access straight on the stream's buffer: istream::peek at the
// end sets failbit on its second call, which would spoil a parse that looks
// ahead. The end sets eofbit only, as a formatted read would.
int PeekChar(std::istream& in) {
  std::streambuf* buffer = in.rdbuf();
  if (buffer == nullptr || !in.good()) return -1;
  int c = buffer->sgetc();
  if (c == std::char_traits<char>::eof()) {
    in.setstate(std::ios::eofbit);
    return -1;
  }
  return static_cast<unsigned char>(c);
}

int GetChar(std::istream& in) {
  int c = PeekChar(in);
  if (c >= 0) in.rdbuf()->sbumpc();
  return c;
}

}  // namespace ztime

namespace {

// Reads a run of digits (the first one is known to be there), saturating
// instead of overflowing.
int64_t ReadDigits(std::istream& in) {
  int64_t value = 0;
  while (IsDigit(PeekChar(in))) {
    int digit = GetChar(in) - '0';
    value = value > (INT64_MAX - 9) / 10 ? INT64_MAX / 1000 : value * 10 + digit;
  }
  return value;
}

}  // namespace

void ZTimeInterval::ReadFrom(std::istream& in) {
  milliseconds = 0;
  in >> std::ws;
  bool negative = false;
  if (PeekChar(in) == '-') {
    GetChar(in);
    negative = true;
  }
  // parts[0] is the leftmost; at most days:hours:minutes:seconds.
  int64_t parts[4] = {};
  int count = 0;
  int64_t fraction = 0;  // milliseconds of the last number
  while (count < 4) {
    if (!IsDigit(PeekChar(in))) {
      if (count == 0) {
        in.setstate(std::ios::failbit);
        return;
      }
      parts[count++] = 0;  // "1:" reads as 1:00
      break;
    }
    parts[count++] = ReadDigits(in);
    if (PeekChar(in) == '.') {
      GetChar(in);
      int64_t scale = 100;
      while (IsDigit(PeekChar(in))) {
        int digit = GetChar(in) - '0';
        fraction += digit * scale;
        scale /= 10;
      }
      break;
    }
    if (count == 4 || PeekChar(in) != ':') break;
    GetChar(in);
  }
  int64_t units[4] = {};  // seconds, minutes, hours, days from the right
  for (int i = 0; i < count; ++i) units[i] = parts[count - 1 - i];
  ZTimeInterval read(fraction, units[0], units[1], units[2], units[3]);
  milliseconds = negative ? -read.milliseconds : read.milliseconds;
}

// ================================================================ ZTime helpers

namespace {

using zhost::CalendarFields;

const char* const kDayShort[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kDayLong[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
const char* const kMonthShort[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kMonthLong[] = {"January", "February", "March",     "April",   "May",      "June",
                                  "July",    "August",   "September", "October", "November", "December"};
const char* const kAmDesignator = "AM";
const char* const kPmDesignator = "PM";

// Days since 1970-01-01 of a proleptic Gregorian date; days past the end of
// the month carry into the next one.
int64_t DaysFromCivil(int64_t year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  int64_t era = (year >= 0 ? year : year - 399) / 400;
  int64_t yearOfEra = year - era * 400;
  int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

CalendarFields SplitUtc(int64_t seconds) {
  int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
  int64_t rest = seconds - days * 86400;
  CalendarFields fields;
  fields.hour = static_cast<int>(rest / 3600);
  fields.minute = static_cast<int>(rest / 60 % 60);
  fields.second = static_cast<int>(rest % 60);
  fields.weekday = static_cast<int>(((days + 4) % 7 + 7) % 7);  // 1970-01-01 was a Thursday

  int64_t z = days + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t dayOfEra = z - era * 146097;
  int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  int64_t shifted = (5 * dayOfYear + 2) / 153;
  fields.day = static_cast<int>(dayOfYear - (153 * shifted + 2) / 5 + 1);
  fields.month = static_cast<int>(shifted < 10 ? shifted + 3 : shifted - 9);
  fields.year = static_cast<int>(yearOfEra + era * 400 + (fields.month <= 2 ? 1 : 0));
  return fields;
}

// The local zone offset in force at an instant; a host failure is reported.
int LocalOffsetAt(int64_t seconds) {
  CalendarFields unused;
  int offset = 0;
  if (!zhost::LocalFields(seconds, unused, offset)) {
    Z_ASSERT_CODE(ZAssertOSError);
    return 0;
  }
  return offset;
}

bool InRange(int value, int low, int high) { return value >= low && value <= high; }

}  // namespace

namespace ztime {

int64_t UtcSeconds(const CalendarFields& fields) {
  return DaysFromCivil(fields.year, fields.month, fields.day) * 86400 + int64_t{fields.hour} * 3600 +
         int64_t{fields.minute} * 60 + fields.second;
}

// Local calendar fields to seconds; a host failure is reported and gives 0.
int64_t LocalSeconds(const CalendarFields& fields) {
  int64_t seconds = 0;
  if (!zhost::LocalToSeconds(fields, seconds)) {
    Z_ASSERT_CODE(ZAssertOSError);
    return 0;
  }
  return seconds;
}

CalendarFields LocalToday() {
  CalendarFields today;
  int offset = 0;
  if (!zhost::LocalFields(zhost::CurrentSeconds(), today, offset)) Z_ASSERT_CODE(ZAssertOSError);
  return today;
}

bool FieldsInRange(const CalendarFields& f) {
  return InRange(f.second, 0, 59) && InRange(f.minute, 0, 59) && InRange(f.hour, 0, 23) && InRange(f.day, 1, 31) &&
         InRange(f.month, 1, 12) && InRange(f.year, 1970, 2038);
}

}  // namespace ztime

namespace {

// "%0*u": the run length is the width, so a run of one adds no zeros.
void AppendNumber(std::string& text, int width, unsigned value) {
  char digits[16];
  int length = std::snprintf(digits, sizeof(digits), "%u", value);
  if (width > length) text.append(static_cast<size_t>(width - length), '0');
  text.append(digits, static_cast<size_t>(length));
}

std::string FormatPattern(int64_t seconds, const char* pattern, int zone) {
  if (zone == ZTime::LocalZone) zone = LocalOffsetAt(seconds);
  CalendarFields f = SplitUtc(seconds + static_cast<int64_t>(zone) * 60);
  bool twelveHour = std::strchr(pattern, 'a') != nullptr;

  std::string text;
  for (const char* p = pattern; *p != '\0';) {
    char letter = *p;
    int run = 0;
    while (p[run] == letter) ++run;
    p += run;
    switch (letter) {
      case 'y':
        if (run >= 3) {
          AppendNumber(text, 4, static_cast<unsigned>(f.year));
        } else {
          AppendNumber(text, 2, static_cast<unsigned>(f.year % 100));
        }
        break;
      case 'M':
        if (run >= 3) {
          text += run == 3 ? kMonthShort[f.month - 1] : kMonthLong[f.month - 1];
        } else {
          AppendNumber(text, run, static_cast<unsigned>(f.month));
        }
        break;
      case 'd': AppendNumber(text, run, static_cast<unsigned>(f.day)); break;
      case 'h': {
        int hour = f.hour;
        if (twelveHour) hour = hour % 12 == 0 ? 12 : hour % 12;
        AppendNumber(text, run, static_cast<unsigned>(hour));
        break;
      }
      case 'm': AppendNumber(text, run, static_cast<unsigned>(f.minute)); break;
      case 's': AppendNumber(text, run, static_cast<unsigned>(f.second)); break;
      case 'w': text += run < 4 ? kDayShort[f.weekday] : kDayLong[f.weekday]; break;
      case 'a': text += f.hour >= 12 ? kPmDesignator : kAmDesignator; break;
      case 'z': {
        unsigned magnitude = static_cast<unsigned>(zone < 0 ? -zone : zone);
        text += zone < 0 ? '-' : '+';
        AppendNumber(text, 2, magnitude / 60);
        AppendNumber(text, 2, magnitude % 60);
        break;
      }
      default: text.append(static_cast<size_t>(run), letter);
    }
  }
  return text;
}

// The letter pattern of a predefined format, assembled from the locale.
std::string PredefinedPattern(int format, int zone) {
  if (format == ZTime::RFC1123) return "www, dd MMM yyyy hh:mm:ss z";

  zhost::LocaleInfo locale;
  zhost::QueryLocale(locale);
  const std::string sep = locale.timeSeparator;
  bool longTime = format == ZTime::LongDateTime || format == ZTime::LongTime;
  std::string time = (locale.twentyFourHour ? "hh" : "h") + sep + "mm";
  if (longTime) time += sep + "ss";
  if (!locale.twentyFourHour) time += "a";

  using Order = zhost::LocaleInfo::DateOrder;
  auto byOrder = [&](const char* mdy, const char* dmy, const char* ymd) {
    return std::string(locale.dateOrder == Order::DayMonthYear   ? dmy
                       : locale.dateOrder == Order::YearMonthDay ? ymd
                                                                 : mdy);
  };
  std::string longDate = "wwww " + byOrder("MMMM d, yyyy", "d MMMM yyyy", "yyyy MMMM d");
  std::string mediumDate = "www " + byOrder("MMM d, yy", "d MMM yy", "yy MMM d");
  const std::string ds = locale.dateSeparator;
  std::string shortDate = byOrder(("MM" + ds + "dd" + ds + "yy").c_str(), ("dd" + ds + "MM" + ds + "yy").c_str(),
                                  ("yy" + ds + "MM" + ds + "dd").c_str());

  std::string pattern;
  switch (format) {
    case ZTime::LongDateTime: pattern = time + " " + longDate; break;
    case ZTime::LongDate: pattern = longDate; break;
    case ZTime::LongTime: pattern = time; break;
    case ZTime::MediumDateTime: pattern = time + " " + mediumDate; break;
    case ZTime::MediumDate: pattern = mediumDate; break;
    case ZTime::ShortDateTime: pattern = time + " " + shortDate; break;
    case ZTime::ShortDate: pattern = shortDate; break;
    default: return std::string();
  }
  if (zone != ZTime::LocalZone) pattern += " z";
  return pattern;
}

}  // namespace

// ================================================================ ZTime

ZTime::ZTime() : seconds(zhost::CurrentSeconds()) {}

ZTime::ZTime(int second, int minute, int hour, int day, int month, int year, int zone) : seconds(0) {
  CalendarFields fields;
  fields.year = year;
  fields.month = month;
  fields.day = day;
  fields.hour = hour;
  fields.minute = minute;
  fields.second = second;
  if (!FieldsInRange(fields)) {
    Z_ASSERT_CODE(ZAssertInvalidParameter);
    return;
  }
  seconds = zone == LocalZone ? LocalSeconds(fields) : UtcSeconds(fields) - static_cast<int64_t>(zone) * 60;
}

ZTime::ZTime(const char* text) : seconds(0) { Parse(text); }

int ZTime::GetLocalZoneOffset(bool daylightSaving) {
  zhost::ZoneInfo zone;
  if (!zhost::QueryZone(zone)) {
    Z_ASSERT_CODE(ZAssertOSError);
    return 0;
  }
  return -zone.bias - (daylightSaving ? zone.daylightBias : 0);
}

int ZTime::GetLocalZoneOffset() {
  zhost::ZoneInfo zone;
  if (!zhost::QueryZone(zone)) {
    Z_ASSERT_CODE(ZAssertOSError);
    return 0;
  }
  return -zone.bias - (zone.daylightNow ? zone.daylightBias : 0);
}

ZTime ZTime::operator+(const ZTimeInterval& span) const { return ZTime(seconds + span.GetMilliseconds() / 1000); }

ZTime ZTime::operator-(const ZTimeInterval& span) const { return ZTime(seconds - span.GetMilliseconds() / 1000); }

ZTime& ZTime::operator+=(const ZTimeInterval& span) {
  seconds += span.GetMilliseconds() / 1000;
  return *this;
}

ZTime& ZTime::operator-=(const ZTimeInterval& span) {
  seconds -= span.GetMilliseconds() / 1000;
  return *this;
}

ZTimeInterval ZTime::operator-(const ZTime& earlier) const { return ZTimeInterval(0, seconds - earlier.seconds); }

ZString ZTime::AsString(int format, int zone) const {
  if (format < RFC1123 || format > ShortDate) {
    Z_ASSERT_CODE(ZAssertInvalidParameter);
    return ZString();
  }
  std::string text = FormatPattern(seconds, PredefinedPattern(format, zone).c_str(), zone);
  return ZString(text.c_str());
}

ZString ZTime::AsString(const char* pattern, int zone) const {
  if (pattern == nullptr) {
    Z_ASSERT_CODE(ZAssertInvalidParameter);
    return ZString();
  }
  if (*pattern == '\0') return ZString();
  std::string text = FormatPattern(seconds, pattern, zone);
  return ZString(text.c_str());
}

ZComparison ZTime::Compare(const ZObject& other) const {
  if (!other.IsDescendant(ZTime::ClassName())) {
    Z_ASSERT_CODE(ZAssertInvalidCast);
    int byName = std::strcmp(GetClass(), other.GetClass());
    return byName != 0 ? ZSign(byName) : LessThan;
  }
  const auto& time = static_cast<const ZTime&>(other);
  if (seconds == time.seconds) return EqualTo;
  return seconds < time.seconds ? LessThan : GreaterThan;
}

ZObject* ZTime::Clone() const { return new ZTime(*this); }

uint32_t ZTime::Hash() const {
  return static_cast<uint32_t>(static_cast<uint64_t>(seconds) ^ (static_cast<uint64_t>(seconds) >> 32));
}

void ZTime::Print(std::ostream& out) const { out << AsString(RFC1123, LocalZone).Text(); }
