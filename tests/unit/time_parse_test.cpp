// The free-form date parser: the example texts and zones, times alone and
// texts that do not parse (both today), repeated fields, texts never read
// past their end, and streams given back what follows a date. Every test
// sets TZ itself, so results do not depend on the machine.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <string>

#include "support/assert_capture.h"
#include "support/time_zone.h"
#include "zunder/time.h"

namespace {

std::string Text(const ZString& text) { return std::string(text.Text()); }

}  // namespace

TEST(TimeParseTest, ExampleTexts) {
  ScopedTimeZone zone("UTC0");
  struct Case {
    const char* text;
    int64_t expected;
  } cases[] = {
      {"Wed, 09 Oct 1996 14:30:00 GMT", kOct9},
      {"Wednesday, 09-Oct-96 14:30:00 GMT", kOct9},
      {"Wed Oct  9 14:30:00 1996", kOct9},
      {"1 Jan 1996", 820454400},
      {"9 Oct 1996 2:30 pm +1000", kOct9 - 10 * 3600},
      {"9 oct 1996 14:30 UTC", kOct9},
      {"October 9 1996 14:30:00", kOct9},
      {"9 Oct 1996 14:30 EDT", kOct9 + 4 * 3600},
      {"9 Oct 1996 14:30 pst", kOct9 + 8 * 3600},
      {"9 Oct 1996 14:30 +0530", kOct9 - 330 * 60},
      {"9 Oct 1996 14:30 -08", kOct9 + 480 * 60},
      {"9 Oct 1996 14:30 +05:30", kOct9 - 330 * 60},
      {"9 Oct 1996 14:30 -800", kOct9 + 480 * 60},
      {"9 Oct 96 14:30:00 +0000", kOct9},
      {"9 Oct 1996 14:30:00 GMT trailing words", kOct9},
      {"Wed, 09 Oct 1996 14:30 GMT", kOct9},
      {"9 Oct 1996 14:", kOct9 - 30 * 60},        // missing minute and second are 0
      {"9 Oct 1996 12:30 am", kOct9 - 2 * 3600},  // 12 am keeps the hour
  };
  for (const Case& c : cases) {
    ZTime time(int64_t{0});
    EXPECT_TRUE(time.Parse(c.text)) << c.text;
    EXPECT_EQ(time.GetSeconds(), c.expected) << c.text;
    EXPECT_EQ(ZTime(c.text).GetSeconds(), c.expected) << c.text;
  }
}

TEST(TimeParseTest, TextWithoutZoneIsLocalTime) {
  ScopedTimeZone zone(kNewYork);
  EXPECT_EQ(ZTime("Wed Oct  9 14:30:00 1996").GetSeconds(), kOct9 + 4 * 3600);
  EXPECT_EQ(ZTime("1 Jan 1996").GetSeconds(), 820454400 + 5 * 3600);
  // The local zone's own names.
  ScopedTimeZone berlin(kBerlin);
  EXPECT_EQ(ZTime("9 Oct 1996 14:30 CEST").GetSeconds(), kOct9 - 2 * 3600);
  EXPECT_EQ(ZTime("9 Oct 1996 14:30 cet").GetSeconds(), kOct9 - 3600);
}

TEST(TimeParseTest, TimeAloneIsToday) {
  ScopedTimeZone zone("UTC0");
  struct Case {
    const char* text;
    const char* clock;
  } cases[] = {
      {"12:30 pm", "12:30:00"},
      {"1:15 pm", "13:15:00"},
      {"1:15 am", "01:15:00"},
      {"23:59:58", "23:59:58"},
  };
  for (const Case& c : cases) {
    // Two tries in case the date changes between reading today and parsing.
    bool matched = false;
    for (int attempt = 0; attempt < 2 && !matched; ++attempt) {
      std::string today = Text(ZTime().AsString("yyyy-MM-dd", 0));
      ZTime time(int64_t{0});
      EXPECT_TRUE(time.Parse(c.text)) << c.text;
      EXPECT_EQ(Text(time.AsString("hh:mm:ss", 0)), c.clock) << c.text;
      matched = Text(time.AsString("yyyy-MM-dd", 0)) == today;
    }
    EXPECT_TRUE(matched) << c.text;
  }
}

TEST(TimeParseTest, UnparsableTextIsTodayAtMidnight) {
  ScopedTimeZone zone(kNewYork);
  const char* texts[] = {
      "",
      "hello world",
      "Wed, 33 Foo 1996",
      "25:00 1 Jan 1996",  // hour out of range
      "1 Jan 2050",        // year out of range
      "0 Jan 1996",        // day out of range
      ": 1 Jan 1996",
      "+x 1 Jan 1996",
      "am 1 Jan 1996",
      "4294967297-Jan-1996",  // a huge day must not wrap into range
  };
  AssertCapture capture;  // bad text is not misuse: nothing may be reported
  for (const char* text : texts) {
    bool matched = false;
    for (int attempt = 0; attempt < 2 && !matched; ++attempt) {
      std::string today = Text(ZTime().AsString("yyyy-MM-dd"));
      ZTime time(int64_t{12345});
      bool parsed = time.Parse(text);
      // The empty text has nothing to fail on; its defaults are the same.
      if (*text != '\0') {
        EXPECT_FALSE(parsed) << text;
      }
      EXPECT_EQ(Text(time.AsString("hh:mm:ss")), "00:00:00") << text;
      matched = Text(time.AsString("yyyy-MM-dd")) == today;
    }
    EXPECT_TRUE(matched) << text;
  }
  EXPECT_EQ(AssertCapture::Count(), 0u);
}

TEST(TimeParseTest, RepeatedFieldEndsTheParse) {
  ScopedTimeZone zone("UTC0");
  // The second month is an error after a full date: the date so far holds.
  EXPECT_EQ(ZTime("1 Jan 1996 Feb").GetSeconds(), 820454400);
  // A second time after a time and a date.
  EXPECT_EQ(ZTime("1 Jan 1996 10:00 11:00").GetSeconds(), 820454400 + 10 * 3600);
}

TEST(TimeParseTest, NeverReadsPastTheText) {
  ScopedTimeZone zone("UTC0");
  // Exactly sized heap copies, each ending inside a look-ahead: the
  // sanitizer catches a read past the end. -1 stands for today 00:00.
  struct Case {
    const char* text;
    int64_t expected;
  } cases[] = {
      {"9 Oct 1996 14:30", kOct9},
      {"9 Oct 1996 14:30 +05", kOct9 - 5 * 3600},
      {"9 Oct 1996 14:30 +05:", kOct9 - 5 * 3600},
      {"1 Jan 1996 -", 820454400},
      {"Oct-", -1},
  };
  for (const Case& c : cases) {
    size_t size = std::strlen(c.text) + 1;
    std::unique_ptr<char[]> copy(new char[size]);
    std::memcpy(copy.get(), c.text, size);
    ZTime time(copy.get());
    if (c.expected >= 0) {
      EXPECT_EQ(time.GetSeconds(), c.expected) << c.text;
    } else {
      EXPECT_EQ(time.GetSeconds() % 86400, 0) << c.text;
    }
  }
  // A null text reads as an empty one: today 00:00.
  EXPECT_EQ(ZTime(static_cast<const char*>(nullptr)).GetSeconds() % 86400, 0);
}

TEST(TimeParseTest, StreamGetsBackWhatFollowsTheDate) {
  ScopedTimeZone zone("UTC0");
  struct Case {
    const char* text;
    int64_t expected;
    const char* rest;
  } cases[] = {
      // Complete (day, year and zone known): nothing more is read.
      {"Wed, 09 Oct 1996 14:30:00 GMT\r\nNext: x", kOct9, "\r\nNext: x"},
      // Ended by a word that is not part of a date: the word is given back.
      {"1 Jan 1996 rest of line", 820454400, "rest of line"},
      {"1 Jan 1996 12345", 820454400, "12345"},
      // A look-ahead past the zone is given back with its blank.
      {"1 Jan 1996 +10 next", 820454400 - 36000, " next"},
      {"1 Jan 1996 +10:", 820454400 - 36000, ":"},
      // Read to the end of the stream.
      {"1 Jan 1996", 820454400, ""},
  };
  for (const Case& c : cases) {
    std::istringstream in(c.text);
    ZTime time(int64_t{0});
    in >> time;
    EXPECT_EQ(time.GetSeconds(), c.expected) << c.text;
    EXPECT_FALSE(in.bad()) << c.text;
    in.clear();
    std::string rest((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(rest, c.rest) << c.text;
  }
}

TEST(TimeParseTest, TwoDatesReadFromOneStream) {
  std::istringstream in("Wed, 09 Oct 1996 14:30:00 GMT Mon, 01 Jan 1996 00:00:00 GMT");
  ZTime first(int64_t{0}), second(int64_t{0});
  in >> first >> second;
  EXPECT_EQ(first.GetSeconds(), kOct9);
  EXPECT_EQ(second.GetSeconds(), 820454400);
}
