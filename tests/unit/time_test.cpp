// ZTimeInterval and ZTime: construction, arithmetic, formats and patterns
// (the date parser's tests are time_parse_test.cpp). Every test that depends
// on the local zone sets TZ itself, so results do not depend on the machine.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <sstream>
#include <string>

#include "support/assert_capture.h"
#include "support/time_zone.h"
#include "zunder/time.h"

namespace {

std::string Text(const ZString& text) { return std::string(text.Text()); }

std::string Printed(const ZTimeInterval& interval, int precision) {
  std::ostringstream out;
  out.precision(precision);
  out << interval;
  return out.str();
}

int64_t SecondsNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

// ================================================================ ZTimeInterval

TEST(TimeIntervalTest, ConstructionSumsTheParts) {
  struct Case {
    int64_t ms, s, min, h, d, expected;
  } cases[] = {
      {0, 0, 0, 0, 0, 0},
      {5000, 0, 0, 0, 0, 5000},
      {250, 2, 0, 0, 0, 2250},
      {0, 0, 1, 1, 1, 90060000},
      {1000, 1, 1, 1, 1, 90062000},
      {0, -1, 0, 0, 0, -1000},
      {0, 0, 0, 0, 30000, int64_t{30000} * 86400000},  // beyond 32 bits
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ZTimeInterval(c.ms, c.s, c.min, c.h, c.d).GetMilliseconds(), c.expected)
        << c.ms << " " << c.s << " " << c.min << " " << c.h << " " << c.d;
  }
}

TEST(TimeIntervalTest, ClampedMilliseconds) {
  EXPECT_EQ(ZTimeInterval(-5).GetMillisecondsClamped(), 0);
  EXPECT_EQ(ZTimeInterval(1234).GetMillisecondsClamped(), 1234);
  EXPECT_EQ(ZTimeInterval(0x7fffffff).GetMillisecondsClamped(), 0x7fffffff);
  EXPECT_EQ(ZTimeInterval(int64_t{0x80000000}).GetMillisecondsClamped(), 0x7fffffff);
  EXPECT_EQ(ZInfinite.GetMillisecondsClamped(), 0x7fffffff);
}

TEST(TimeIntervalTest, CompareAndClone) {
  ZTimeInterval one(1000), other(0, 1), two(2000);
  EXPECT_EQ(one.Compare(other), EqualTo);
  EXPECT_EQ(one.Compare(two), LessThan);
  EXPECT_EQ(two.Compare(one), GreaterThan);
  EXPECT_EQ(ZTimeInterval(-1).Compare(ZTimeInterval(1)), LessThan);

  std::unique_ptr<ZObject> copy(two.Clone());
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy->GetClass(), "ZTimeInterval");
  EXPECT_EQ(copy->Compare(two), EqualTo);
}

TEST(TimeIntervalTest, CompareWithAnotherClassIsReported) {
  AssertCapture capture;
  ZTimeInterval interval(1000);
  ZTime time(int64_t{1000});
  ZComparison result = interval.Compare(time);
  EXPECT_NE(result, EqualTo);
  ASSERT_EQ(AssertCapture::Count(), 1u);
  EXPECT_EQ(AssertCapture::LastMessage(), "Invalid cast to non-descendant class");
}

TEST(TimeIntervalTest, PrintFollowsPrecision) {
  struct Case {
    int64_t ms;
    int precision;
    const char* expected;
  } cases[] = {
      {0, 0, "0"},
      {5000, 0, "5"},
      {61000, 0, "1:01"},
      {3600000, 0, "1:00:00"},
      {3605000, 0, "1:00:05"},
      {86400000, 0, "1:00:00:00"},
      {90061000, 0, "1:01:01:01"},
      {int64_t{12} * 86400000 + 7000, 0, "12:00:00:07"},
      {999, 0, "0"},
      {5000, 3, "5.000"},
      {5000, 6, "5.000"},
      {61042, 3, "1:01.042"},
      {1234, 1, "1.2"},
      {1234, 2, "1.23"},
      {-61000, 0, "-1:01"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Printed(ZTimeInterval(c.ms), c.precision), c.expected) << c.ms << " at " << c.precision;
  }
}

TEST(TimeIntervalTest, PrintLeavesStreamFormattingAlone) {
  std::ostringstream out;
  out.precision(0);
  out << ZTimeInterval(61000) << '|';
  out.width(4);
  out << 7;
  EXPECT_EQ(out.str(), "1:01|   7");
}

TEST(TimeIntervalTest, ReadFromTakesColonSeparatedParts) {
  struct Case {
    const char* text;
    int64_t expected;
    const char* rest;
  } cases[] = {
      {"5", 5000, ""},
      {"  42 more", 42000, " more"},
      {"1:01", 61000, ""},
      {"1:01:01", 3661000, ""},
      {"1:01:01:01", 90061000, ""},
      {"5.5", 5500, ""},
      {"1:30.25", 90250, ""},
      {"0.0015", 1, ""},
      {"-1:01", -61000, ""},
      {"1:2:3:4:5", 93784000, ":5"},  // days:hours:minutes:seconds at most
  };
  for (const Case& c : cases) {
    std::istringstream in(c.text);
    ZTimeInterval interval(777);
    in >> interval;
    EXPECT_FALSE(in.fail()) << c.text;
    EXPECT_EQ(interval.GetMilliseconds(), c.expected) << c.text;
    std::string rest;
    std::getline(in, rest);
    EXPECT_EQ(rest, c.rest) << c.text;
  }
}

TEST(TimeIntervalTest, ReadFromWithoutNumberFails) {
  std::istringstream in("abc");
  ZTimeInterval interval(777);
  in >> interval;
  EXPECT_TRUE(in.fail());
  EXPECT_EQ(interval.GetMilliseconds(), 0);
}

TEST(TimeIntervalTest, PrintedFormReadsBack) {
  for (int64_t ms : {int64_t{0}, int64_t{5000}, int64_t{61042}, int64_t{90061999}}) {
    std::string text = Printed(ZTimeInterval(ms), 3);
    std::istringstream in(text);
    ZTimeInterval back;
    in >> back;
    EXPECT_EQ(back.GetMilliseconds(), ms) << text;
  }
}

// ================================================================ ZTime construction

TEST(TimeTest, DefaultIsNow) {
  int64_t before = SecondsNow();
  ZTime now;
  int64_t after = SecondsNow();
  EXPECT_GE(now.GetSeconds(), before);
  EXPECT_LE(now.GetSeconds(), after);
}

TEST(TimeTest, PartsInAGivenZone) {
  struct Case {
    int zone;
    int64_t expected;
  } cases[] = {
      {0, kOct9},
      {600, kOct9 - 600 * 60},
      {-300, kOct9 + 300 * 60},
      {330, kOct9 - 330 * 60},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ZTime(0, 30, 14, 9, 10, 1996, c.zone).GetSeconds(), c.expected) << c.zone;
  }
  EXPECT_EQ(ZTime(0, 0, 0, 1, 1, 1970, 0).GetSeconds(), 0);
  EXPECT_EQ(ZTime(0, 0, 0, 1, 3, 1996, 0).GetSeconds(), 825638400);  // after a leap day
  EXPECT_EQ(ZTime(59, 59, 23, 31, 12, 2038, 0).GetSeconds(), int64_t{2177452799});
}

TEST(TimeTest, PartsInTheLocalZone) {
  {
    ScopedTimeZone zone("UTC0");
    EXPECT_EQ(ZTime(0, 30, 14, 9, 10, 1996).GetSeconds(), kOct9);
  }
  {
    ScopedTimeZone zone(kNewYork);
    EXPECT_EQ(ZTime(0, 30, 14, 9, 10, 1996).GetSeconds(), kOct9 + 4 * 3600);   // daylight time
    EXPECT_EQ(ZTime(0, 0, 0, 1, 1, 1996).GetSeconds(), 820454400 + 5 * 3600);  // standard time
  }
}

TEST(TimeTest, OutOfRangePartsAreReported) {
  struct Case {
    int second, minute, hour, day, month, year;
  } cases[] = {
      {60, 0, 0, 1, 1, 1996}, {-1, 0, 0, 1, 1, 1996}, {0, 60, 0, 1, 1, 1996}, {0, 0, 24, 1, 1, 1996},
      {0, 0, 0, 0, 1, 1996},  {0, 0, 0, 32, 1, 1996}, {0, 0, 0, 1, 0, 1996},  {0, 0, 0, 1, 13, 1996},
      {0, 0, 0, 1, 1, 1969},  {0, 0, 0, 1, 1, 2039},
  };
  AssertCapture capture;
  for (const Case& c : cases) {
    AssertCapture::Clear();
    ZTime time(c.second, c.minute, c.hour, c.day, c.month, c.year, 0);
    EXPECT_EQ(time.GetSeconds(), 0);
    ASSERT_EQ(AssertCapture::Count(), 1u)
        << c.second << " " << c.minute << " " << c.hour << " " << c.day << " " << c.month << " " << c.year;
    EXPECT_EQ(AssertCapture::LastMessage(), "Invalid parameter");
  }
}

TEST(TimeTest, LocalZoneOffsets) {
  struct Case {
    const char* tz;
    int standard, daylight;
  } cases[] = {
      {"UTC0", 0, 0},
      {kNewYork, -300, -240},
      {kBerlin, 60, 120},
      {"IST-5:30", 330, 330},
  };
  for (const Case& c : cases) {
    ScopedTimeZone zone(c.tz);
    EXPECT_EQ(ZTime::GetLocalZoneOffset(false), c.standard) << c.tz;
    EXPECT_EQ(ZTime::GetLocalZoneOffset(true), c.daylight) << c.tz;
    int now = ZTime::GetLocalZoneOffset();
    EXPECT_TRUE(now == c.standard || now == c.daylight) << c.tz;
  }
}

// ================================================================ arithmetic and comparison

TEST(TimeTest, ArithmeticWithIntervals) {
  ZTime start(kOct9);
  ZTime later = start + ZTimeInterval(0, 30, 1);
  EXPECT_EQ(later.GetSeconds(), kOct9 + 90);
  EXPECT_EQ((later - start).GetMilliseconds(), 90000);
  EXPECT_EQ((start - later).GetMilliseconds(), -90000);
  EXPECT_EQ((later - ZTimeInterval(0, 90)).GetSeconds(), kOct9);
  EXPECT_EQ((start + ZTimeInterval(1999)).GetSeconds(), kOct9 + 1);  // whole seconds only

  ZTime moving = start;
  moving += ZTimeInterval(0, 0, 0, 0, 1);
  EXPECT_EQ(moving.GetSeconds(), kOct9 + 86400);
  moving -= ZTimeInterval(0, 0, 0, 0, 1);
  EXPECT_EQ(moving, start);
  EXPECT_TRUE(start < later);
  EXPECT_TRUE(later >= start);
}

TEST(TimeTest, CompareCloneAndMisuse) {
  ZTime early(int64_t{100}), late(int64_t{200});
  EXPECT_EQ(early.Compare(late), LessThan);
  EXPECT_EQ(late.Compare(early), GreaterThan);
  EXPECT_EQ(early.Compare(ZTime(int64_t{100})), EqualTo);

  std::unique_ptr<ZObject> copy(late.Clone());
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy->GetClass(), "ZTime");
  EXPECT_EQ(copy->Compare(late), EqualTo);

  AssertCapture capture;
  EXPECT_NE(early.Compare(ZTimeInterval(100)), EqualTo);
  ASSERT_EQ(AssertCapture::Count(), 1u);
  EXPECT_EQ(AssertCapture::LastMessage(), "Invalid cast to non-descendant class");
}

// ================================================================ formatting

TEST(TimeFormatTest, Rfc1123InAGivenZone) {
  ZTime time(kOct9);
  EXPECT_EQ(Text(time.AsString(ZTime::RFC1123, 0)), "Wed, 09 Oct 1996 14:30:00 +0000");
  EXPECT_EQ(Text(time.AsString(0, 600)), "Thu, 10 Oct 1996 00:30:00 +1000");
  EXPECT_EQ(Text(time.AsString(0, -480)), "Wed, 09 Oct 1996 06:30:00 -0800");
  EXPECT_EQ(Text(time.AsString(0, -330)), "Wed, 09 Oct 1996 09:00:00 -0530");
}

TEST(TimeFormatTest, LocalZoneFollowsTheRulesAtThatDate) {
  ScopedTimeZone zone(kNewYork);
  EXPECT_EQ(Text(ZTime(kOct9).AsString(0)), "Wed, 09 Oct 1996 10:30:00 -0400");
  EXPECT_EQ(Text(ZTime(int64_t{820454400}).AsString(0)), "Sun, 31 Dec 1995 19:00:00 -0500");
}

TEST(TimeFormatTest, Patterns) {
  struct Case {
    int64_t seconds;
    const char* pattern;
    int zone;
    const char* expected;
  } cases[] = {
      {kOct9, "yy/MM/dd hh:mm:ss", 0, "96/10/09 14:30:00"},
      {kOct9, "h:mm a", 0, "2:30 PM"},
      {kOct9, "d MMM yy", 0, "9 Oct 96"},
      {kOct9, "M/d/y", 0, "10/9/96"},
      {kOct9, "MMMM MMMMM", 0, "October October"},
      {kOct9, "w ww www wwww", 0, "Wed Wed Wed Wednesday"},
      {kOct9, "yyy yyyy", 0, "1996 1996"},
      {kOct9, "ddd hhh", 0, "009 014"},
      {kOct9, "z", 330, "+0530"},
      {kOct9, "zz", -480, "-0800"},
      {kOct9, "aaa", 0, "PM"},
      {kOct9, "[T] 'x' #", 0, "[T] 'x' #"},
      {kOct9 - 14 * 3600, "h:mm a", 0, "12:30 AM"},  // just after midnight
      {kOct9 - 2 * 3600, "hh a", 0, "12 PM"},        // noon
      {kOct9 - 2 * 3600, "hh", 0, "12"},             // 24-hour without an 'a'
      {kOct9 + 9 * 3600, "hh:mm a", 0, "11:30 PM"},
      {946684800, "yy/MM/dd", 0, "00/01/01"},  // year 2000
      {kOct9, "", 0, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Text(ZTime(c.seconds).AsString(c.pattern, c.zone)), c.expected) << c.pattern;
  }
}

TEST(TimeFormatTest, PredefinedFormatsFromTheLocale) {
  // The library never sets a locale, so this is the C locale: month-day-year
  // order, "/" and ":" separators, a 24-hour clock.
  struct Case {
    int format;
    const char* expected;
  } cases[] = {
      {ZTime::LongDateTime, "14:30:00 Wednesday October 9, 1996"},
      {ZTime::LongDate, "Wednesday October 9, 1996"},
      {ZTime::LongTime, "14:30:00"},
      {ZTime::MediumDateTime, "14:30 Wed Oct 9, 96"},
      {ZTime::MediumDate, "Wed Oct 9, 96"},
      {ZTime::ShortDateTime, "14:30 10/09/96"},
      {ZTime::ShortDate, "10/09/96"},
  };
  ScopedTimeZone zone("UTC0");
  ZTime time(kOct9);
  for (const Case& c : cases) {
    EXPECT_EQ(Text(time.AsString(c.format)), c.expected) << c.format;
    // An explicit zone shifts the fields and appends the zone.
    EXPECT_EQ(Text(time.AsString(c.format, 60)), Text(ZTime(kOct9 + 3600).AsString(c.format)) + " +0100") << c.format;
  }
}

TEST(TimeFormatTest, MisuseIsReported) {
  AssertCapture capture;
  ZTime time(kOct9);
  EXPECT_EQ(Text(time.AsString(static_cast<const char*>(nullptr), 0)), "");
  EXPECT_EQ(AssertCapture::LastMessage(), "Invalid parameter");
  AssertCapture::Clear();
  EXPECT_EQ(Text(time.AsString(8, 0)), "");
  EXPECT_EQ(Text(time.AsString(-1, 0)), "");
  EXPECT_EQ(AssertCapture::Count(), 2u);
  EXPECT_EQ(AssertCapture::LastMessage(), "Invalid parameter");
}

TEST(TimeFormatTest, PrintAndReadFromRoundTrip) {
  ScopedTimeZone zone(kBerlin);
  std::ostringstream out;
  out << ZTime(kOct9);
  EXPECT_EQ(out.str(), "Wed, 09 Oct 1996 16:30:00 +0200");

  std::istringstream in(out.str());
  ZTime back(int64_t{0});
  in >> back;
  EXPECT_EQ(back.GetSeconds(), kOct9);
}
