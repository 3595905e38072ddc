// ZMIMEInfo and the line readers it reads through: header blocks with
// continuation lines, the bounds, writing, typed fields, garbage input.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>

#include "support/assert_capture.h"
#include "zunder/linereader.h"
#include "zunder/mime.h"
#include "zunder/sockets.h"

namespace {

// A channel over a text: reads hand out at most chunk bytes at a time,
// writes are collected.
class TextChannel : public ZChannel {
 public:
  explicit TextChannel(std::string content, ZIndex chunkSize = 7) : input(std::move(content)), chunk(chunkSize) {}

  bool Read(void* buffer, ZIndex length) override {
    const ZIndex available = static_cast<ZIndex>(input.size() - position);
    const ZIndex count = std::min({length, available, chunk});
    std::memcpy(buffer, input.data() + position, static_cast<size_t>(count));
    position += static_cast<size_t>(count);
    ++reads;
    SetLastReadCount(count);
    return count > 0;
  }
  bool Write(const void* buffer, ZIndex length) override {
    output.append(static_cast<const char*>(buffer), static_cast<size_t>(length));
    SetLastWriteCount(length);
    return true;
  }

  std::string input;
  size_t position = 0;
  ZIndex chunk;
  int reads = 0;
  std::string output;
};

// A channel that reads its own lines, as a line-protocol socket does.
class LineChannel : public TextChannel, public ZLineReader {
 public:
  using TextChannel::TextChannel;
  int linesAsked = 0;

  Outcome ReadLimitedLine(ZString& line, bool allowContinuation, ZIndex maxLength) override {
    ++linesAsked;
    return ZLineReader::ReadLimitedLine(line, allowContinuation, maxLength);
  }

 protected:
  int ReadLineChar(bool) override { return ReadChar(); }
  void UnReadLineChar(char) override { --position; }
};

std::string Lines(ZLineReader& reader, bool continuation, ZIndex maxLength = 100) {
  std::string all;
  for (int i = 0; i < 20; ++i) {
    ZString line;
    const ZLineReader::Outcome outcome = reader.ReadLimitedLine(line, continuation, maxLength);
    all += "[" + std::string(line.Text()) + "]" + std::to_string(outcome);
    if (outcome != ZLineReader::LineRead) break;
  }
  return all;
}

}  // namespace

// ---------------------------------------------------------------- line reading

TEST(LineReader, EndsEditingAndContinuation) {
  struct Case {
    const char* input;
    bool continuation;
    const char* expected;  // each line in brackets, then its outcome
  };
  const Case cases[] = {
      {"a\r\nb\nc\rd", false, "[a]0[b]0[c]0[d]1"},
      {"\r\n\r\n", false, "[]0[]0[]1"},
      {"ab\bc\x7f"
       "d\n",
       false, "[ad]0[]1"},
      {"\b\bx\n", false, "[x]0[]1"},
      {"a\r\n b\r\n\tc\r\nd\r\n", true, "[a b\tc]0[d]0[]1"},
      {"a\r\n b\r\n", false, "[a]0[ b]0[]1"},
      {"\r\n x\r\n", true, "[]0[ x]0[]1"},  // an empty line is never continued
      {"a\r\r\n", false, "[a]0[]0[]1"},     // CR, then CR LF: two line ends
      {"abc", false, "[abc]1"},
      {"", false, "[]1"},
  };
  for (const Case& c : cases) {
    ZBufferLineReader reader(c.input, static_cast<ZIndex>(std::strlen(c.input)));
    EXPECT_EQ(Lines(reader, c.continuation), c.expected) << c.input;
  }
}

TEST(LineReader, LinesAreBounded) {
  ZBufferLineReader exact("abcd\r\n");
  EXPECT_EQ(Lines(exact, false, 4), "[abcd]0[]1");
  ZBufferLineReader longer("abcde\r\n");
  EXPECT_EQ(Lines(longer, false, 4), "[abcd]2");
  ZBufferLineReader continued("ab\r\n cd\r\n");
  EXPECT_EQ(Lines(continued, true, 4), "[ab c]2");
  // Editing characters cannot keep a line going for ever.
  std::string edits = "x";
  for (int i = 0; i < 100; ++i) edits += "y\b";
  ZBufferLineReader edited(edits.c_str());
  ZString line;
  EXPECT_EQ(edited.ReadLimitedLine(line, false, 10), ZLineReader::LineTooLong);
  EXPECT_GT(edited.GetRemaining(), 0);
}

TEST(LineReader, StreamAndChannelReaders) {
  std::istringstream in("one\r\n two\r\nthree\n");
  ZStreamLineReader stream(in);
  EXPECT_EQ(Lines(stream, true), "[one two]0[three]0[]1");

  TextChannel channel("x\ry\r\n", 1);
  ZChannelLineReader reader(channel);
  EXPECT_EQ(Lines(reader, false), "[x]0[y]0[]1");
  char unread = 0;
  EXPECT_FALSE(reader.TakeUnread(unread));

  TextChannel bareCr("h\r", 1);
  bareCr.input += "Z";
  ZChannelLineReader crReader(bareCr);
  ZString line;
  EXPECT_EQ(crReader.ReadLimitedLine(line, false, 10), ZLineReader::LineRead);
  EXPECT_STREQ(line, "h");
  ASSERT_TRUE(crReader.TakeUnread(unread));  // the byte behind the CR is kept
  EXPECT_EQ(unread, 'Z');
}

// ---------------------------------------------------------------- reading blocks

TEST(MIMERead, FieldsWithContinuation) {
  const char block[] =
      "Content-Type: text/html\r\n"
      " ; charset=latin1\r\n"
      "content-length:   42  \r\n"
      "No colon here\r\n"
      "X-Empty:\r\n"
      "Authorization: Basic YWRtaW46cGViYmxl\r\n"
      "CONTENT-LENGTH: 43\r\n"
      "\r\n"
      "body";
  ZMIMEInfo mime;
  EXPECT_TRUE(mime.Read(block, static_cast<ZIndex>(std::strlen(block))));
  EXPECT_EQ(mime.GetReadError(), ZMIMEInfo::ReadComplete);
  EXPECT_EQ(mime.GetSize(), 4);
  EXPECT_STREQ(mime.GetString("CONTENT-TYPE"), "text/html ; charset=latin1");
  EXPECT_EQ(mime.GetInteger("Content-Length"), 43);  // the later field replaced the earlier
  EXPECT_TRUE(mime.Contains(ZCaselessString("x-empty")));
  EXPECT_STREQ(mime.GetString("X-Empty", "default"), "");
  EXPECT_STREQ(mime.GetString("Authorization"), "Basic YWRtaW46cGViYmxl");
}

TEST(MIMERead, ValueKeepsColonsAndNamesAreTrimmed) {
  ZMIMEInfo mime;
  EXPECT_TRUE(mime.Read("  Host :  h:8080 \n\n", 19));
  EXPECT_STREQ(mime.GetString("host"), "h:8080");
}

TEST(MIMERead, EndOfInputBeforeTheEmptyLine) {
  ZMIMEInfo mime;
  const char block[] = "A: 1\r\nB: 2\r\n";
  EXPECT_FALSE(mime.Read(block, static_cast<ZIndex>(std::strlen(block))));
  EXPECT_EQ(mime.GetReadError(), ZMIMEInfo::SourceFailed);
  EXPECT_STREQ(mime.GetString("A"), "1");  // fields read so far stay
  EXPECT_STREQ(mime.GetString("B"), "2");

  ZMIMEInfo empty;
  EXPECT_FALSE(empty.Read("", 0));
  EXPECT_EQ(empty.GetReadError(), ZMIMEInfo::SourceFailed);
}

TEST(MIMERead, FromAChannelAByteAtATime) {
  TextChannel channel("Content-Type: text/plain\r\n\tmore\r\nDate: x\r\n\r\nBODY", 3);
  ZMIMEInfo mime;
  EXPECT_TRUE(mime.Read(channel));
  EXPECT_STREQ(mime.GetString("content-type"), "text/plain\tmore");
  // Reading stopped at the empty line: the body is still in the channel.
  EXPECT_EQ(channel.input.substr(channel.position), "BODY");
}

TEST(MIMERead, FromAChannelThatReadsItsOwnLines) {
  LineChannel channel("A: 1\r\n\r\nrest");
  ZMIMEInfo mime;
  EXPECT_TRUE(mime.Read(channel));
  EXPECT_EQ(channel.linesAsked, 2);
  EXPECT_STREQ(mime.GetString("a"), "1");
  EXPECT_EQ(channel.input.substr(channel.position), "rest");
}

TEST(MIMERead, FromAStream) {
  std::istringstream in("Server: Zunder\n Extra\nX: y\n\nleft");
  ZMIMEInfo mime(in);
  EXPECT_EQ(mime.GetReadError(), ZMIMEInfo::ReadComplete);
  EXPECT_STREQ(mime.GetString("server"), "Zunder Extra");
  std::string left;
  in >> left;
  EXPECT_EQ(left, "left");
}

TEST(MIMERead, Bounds) {
  struct Case {
    const char* name;
    std::string block;
    ZMIMEInfo::ReadError error;
  };
  const std::string longValue(ZMIMELimits::kMaxLineLength, 'v');
  std::string bigBlock, manyFields;
  for (int i = 0; i < 20; ++i) bigBlock += "F" + std::to_string(i) + ": " + std::string(4000, 'x') + "\r\n";
  for (int i = 0; i < ZMIMELimits::kMaxFieldCount + 1; ++i) manyFields += "N" + std::to_string(i) + ": 1\r\n";
  std::string manySame;
  for (int i = 0; i < 1000; ++i) manySame += "Same: " + std::to_string(i) + "\r\n";
  const Case cases[] = {
      {"line at the limit", longValue.substr(0, ZMIMELimits::kMaxLineLength - 3) + ": \r\n\r\n",
       ZMIMEInfo::ReadComplete},
      {"line over the limit", "X: " + longValue + "\r\n\r\n", ZMIMEInfo::LineTooLong},
      {"continued over the limit", "X: " + longValue.substr(0, 5000) + "\r\n " + longValue.substr(0, 5000) + "\r\n\r\n",
       ZMIMEInfo::LineTooLong},
      {"block over the limit", bigBlock + "\r\n", ZMIMEInfo::BlockTooLarge},
      {"too many fields", manyFields + "\r\n", ZMIMEInfo::TooManyFields},
      {"one field many times", manySame + "\r\n", ZMIMEInfo::ReadComplete},
  };
  for (const Case& c : cases) {
    ZMIMEInfo mime;
    const bool read = mime.Read(c.block.data(), static_cast<ZIndex>(c.block.size()));
    EXPECT_EQ(read, c.error == ZMIMEInfo::ReadComplete) << c.name;
    EXPECT_EQ(mime.GetReadError(), c.error) << c.name;
    EXPECT_LE(mime.GetSize(), ZMIMELimits::kMaxFieldCount) << c.name;
  }
}

TEST(MIMERead, LimitsCanBeGiven) {
  ZMIMELimits limits;
  limits.maxLineLength = 10;
  limits.maxBlockSize = 30;
  limits.maxFieldCount = 2;
  struct Case {
    const char* block;
    ZMIMEInfo::ReadError error;
  };
  const Case cases[] = {
      {"A: 1234567\r\n\r\n", ZMIMEInfo::ReadComplete},
      {"A: 12345678\r\n\r\n", ZMIMEInfo::LineTooLong},
      {"A: 1\r\nB: 2\r\nC: 3\r\n\r\n", ZMIMEInfo::TooManyFields},
      {"A: 1\r\nA: 2\r\nA: 3\r\nA: 4\r\nA: 5\r\nA: 6\r\n\r\n", ZMIMEInfo::ReadComplete},  // 30 bytes
      {"A: 1\r\nA: 2\r\nA: 3\r\nA: 4\r\nA: 5\r\nA: 6\r\nA: 7\r\n\r\n", ZMIMEInfo::BlockTooLarge},
  };
  for (const Case& c : cases) {
    ZMIMEInfo mime;
    mime.Read(c.block, static_cast<ZIndex>(std::strlen(c.block)), limits);
    EXPECT_EQ(mime.GetReadError(), c.error) << c.block;
  }
}

// ---------------------------------------------------------------- writing

TEST(MIMEWrite, FieldsThenEmptyLine) {
  ZMIMEInfo mime;
  mime.SetAt("Content-Type", "text/html");
  TextChannel channel("");
  EXPECT_TRUE(mime.Write(channel));
  EXPECT_EQ(channel.output, "Content-Type: text/html\r\n\r\n");

  ZMIMEInfo empty;
  EXPECT_STREQ(empty.AsString(), "\r\n");
}

TEST(MIMEWrite, WrittenBlockReadsBack) {
  ZMIMEInfo mime;
  mime.SetAt("Server", "Zunder-HTTP-Server/1.0 Zunder/1.0");
  mime.SetAt("MIME-Version", "1.0");
  mime.SetInteger("Content-Length", 1234);
  mime.SetAt("WWW-Authenticate", "Basic realm=\"Moatkeep\"");
  const ZString text = mime.AsString();
  ZMIMEInfo back;
  EXPECT_TRUE(back.Read(text.Text(), text.GetLength()));
  EXPECT_EQ(back.GetSize(), 4);
  for (ZIndex i = 0; i < mime.GetSize(); ++i) {
    EXPECT_STREQ(back.GetString(*mime.GetKeyAt(i)), *mime.GetDataAt(i));
  }
  std::ostringstream printed;
  printed << mime;
  EXPECT_EQ(printed.str() + "\r\n", std::string(text.Text()));
}

TEST(MIMEWrite, LineBreaksInValuesCannotStartAField) {
  ZMIMEInfo mime;
  mime.SetAt("Location", "/x\r\nSet-Cookie: evil");
  EXPECT_STREQ(mime.AsString(), "Location: /x  Set-Cookie: evil\r\n\r\n");
  ZMIMEInfo back;
  const ZString text = mime.AsString();
  back.Read(text.Text(), text.GetLength());
  EXPECT_EQ(back.GetSize(), 1);
}

TEST(MIMERepeated, EveryLineIsKeptInItsOrder) {
  // Set-Cookie may not be combined into one line; no field loses a line.
  const char block[] =
      "Set-Cookie: a=1; Path=/\r\n"
      "Via: 1.1 first\r\n"
      "set-cookie: b=2, c=3\r\n"
      "X-Single: one\r\n"
      "SET-COOKIE: d=4\r\n"
      "Via: 1.1 second\r\n"
      "\r\n";
  ZMIMEInfo mime;
  ASSERT_TRUE(mime.Read(block, static_cast<ZIndex>(std::strlen(block))));
  EXPECT_EQ(mime.GetSize(), 3);                       // distinct names
  EXPECT_STREQ(mime.GetString("Set-Cookie"), "d=4");  // the last line, as a dictionary answers
  const ZStringArray cookies = mime.GetValues("set-cookie");
  ASSERT_EQ(cookies.GetSize(), 3);
  EXPECT_STREQ(cookies[0], "a=1; Path=/");
  EXPECT_STREQ(cookies[1], "b=2, c=3");
  EXPECT_STREQ(cookies[2], "d=4");
  EXPECT_EQ(mime.GetValues("X-Single").GetSize(), 1);
  EXPECT_EQ(mime.GetValues("Absent").GetSize(), 0);

  const std::string written = mime.AsString().Text();
  auto at = [&](const char* line) { return written.find(line); };
  ASSERT_NE(at("Set-Cookie: a=1; Path=/\r\n"), std::string::npos) << written;
  ASSERT_NE(at("Set-Cookie: b=2, c=3\r\n"), std::string::npos) << written;
  ASSERT_NE(at("Set-Cookie: d=4\r\n"), std::string::npos) << written;
  EXPECT_LT(at("a=1"), at("b=2"));
  EXPECT_LT(at("b=2"), at("d=4"));
  EXPECT_LT(at("1.1 first"), at("1.1 second"));
  ZMIMEInfo back;
  ASSERT_TRUE(back.Read(written.data(), static_cast<ZIndex>(written.size())));
  EXPECT_EQ(back.GetValues("Set-Cookie").GetSize(), 3);
  EXPECT_EQ(back.AsString(), mime.AsString());
  ZMIMEInfo copy(mime);
  EXPECT_EQ(copy.AsString(), mime.AsString());
}

TEST(MIMERepeated, SettingAddingAndRemovingLines) {
  ZMIMEInfo mime;
  mime.AddAt("Set-Cookie", "a=1");
  mime.AddAt("set-cookie", "b=2");
  EXPECT_STREQ(mime.GetString("Set-Cookie"), "b=2");
  EXPECT_STREQ(mime.AsString(), "Set-Cookie: a=1\r\nSet-Cookie: b=2\r\n\r\n");
  // Setting a field leaves it one line: a stale earlier value would
  // contradict the new one.
  mime.SetAt("SET-COOKIE", "c=3");
  EXPECT_STREQ(mime.AsString(), "Set-Cookie: c=3\r\n\r\n");
  mime.AddAt("Set-Cookie", "d=4");
  mime.SetInteger("Content-Length", 5);
  mime.AddAt("content-length", "6");
  mime.SetInteger("Content-Length", 7);
  EXPECT_EQ(mime.GetValues("Content-Length").GetSize(), 1);
  EXPECT_TRUE(mime.RemoveAt("set-cookie"));
  EXPECT_EQ(mime.GetValues("Set-Cookie").GetSize(), 0);
  EXPECT_STREQ(mime.AsString(), "Content-Length: 7\r\n\r\n");
  // A name removed and set again starts afresh.
  mime.SetAt("Set-Cookie", "e=5");
  EXPECT_EQ(mime.GetValues("Set-Cookie").GetSize(), 1);
}

TEST(MIMERepeated, LinesAreBounded) {
  // Repeats of one name do not count as fields, but their lines are bounded
  // all the same, whatever room the block leaves.
  ZMIMELimits limits;
  limits.maxBlockSize = 0x7fffffff;
  std::string block;
  for (ZIndex i = 0; i <= ZMIMELimits::kMaxFieldLines; ++i) block += "A: " + std::to_string(i) + "\r\n";
  block += "\r\n";
  ZMIMEInfo mime;
  EXPECT_FALSE(mime.Read(block.data(), static_cast<ZIndex>(block.size()), limits));
  EXPECT_EQ(mime.GetReadError(), ZMIMEInfo::TooManyFields);
  EXPECT_EQ(mime.GetValues("A").GetSize(), ZMIMELimits::kMaxFieldLines);
}

// ---------------------------------------------------------------- typed fields

TEST(MIMEFields, TypedGetters) {
  ZMIMEInfo mime;
  mime.SetAt("Content-Length", "512");
  mime.SetAt("Negative", "-3");
  mime.SetAt("Garbage", "x");
  EXPECT_EQ(mime.GetInteger("content-length", -1), 512);
  EXPECT_EQ(mime.GetInteger("Negative", 0), -3);
  EXPECT_EQ(mime.GetInteger("Garbage", 9), 0);  // present: converted, not the default
  EXPECT_EQ(mime.GetInteger("Absent", 9), 9);
  EXPECT_STREQ(mime.GetString("Absent", "none"), "none");

  const ZTime when(0, 30, 14, 9, 10, 1996, 0);
  mime.SetTime("Date", when);
  ZTime read(int64_t{0});
  ASSERT_TRUE(mime.GetTime("date", read));
  EXPECT_EQ(read, when);
  mime.SetAt("If-Modified-Since", "Wed, 09 Oct 1996 14:30:00 GMT");
  ASSERT_TRUE(mime.GetTime("If-Modified-Since", read));
  EXPECT_EQ(read, when);
  EXPECT_FALSE(mime.GetTime("Absent", read));
  mime.SetInteger("Count", -17);
  EXPECT_STREQ(mime.GetString("count"), "-17");
}

TEST(MIMEFields, CloneKeepsCaselessNames) {
  ZMIMEInfo mime;
  mime.SetAt("Content-Type", "a");
  ZObject* clone = mime.Clone();
  ASSERT_NE(clone, nullptr);
  EXPECT_STREQ(clone->GetClass(), "ZMIMEInfo");
  EXPECT_STREQ(static_cast<ZMIMEInfo*>(clone)->GetString("content-type"), "a");
  delete clone;
}

// ---------------------------------------------------------------- hostile input

TEST(MIMEHostile, RandomBlocksStayWithinBounds) {
  AssertCapture capture;
  std::mt19937 random(17);
  const std::string pieces[] = {"\r\n", "\n", "\r", ":", " ", "\t", "\b", "A", "Name", "value"};
  ZMIMELimits limits;
  limits.maxLineLength = 300;
  limits.maxBlockSize = 2000;
  limits.maxFieldCount = 20;
  for (int round = 0; round < 2000; ++round) {
    std::string block;
    const int count = static_cast<int>(random() % 400);
    for (int i = 0; i < count; ++i) {
      if (random() % 3 == 0) {
        block.push_back(static_cast<char>(random()));
      } else {
        block += pieces[random() % 10];
      }
    }
    ZMIMEInfo mime;
    const bool complete = mime.Read(block.data(), static_cast<ZIndex>(block.size()), limits);
    ASSERT_EQ(complete, mime.GetReadError() == ZMIMEInfo::ReadComplete);
    ASSERT_LE(mime.GetSize(), limits.maxFieldCount);
    ZIndex total = 0;
    for (ZIndex i = 0; i < mime.GetSize(); ++i) {
      ASSERT_LE(mime.GetKeyAt(i)->GetLength(), limits.maxLineLength);
      total += mime.GetKeyAt(i)->GetLength() + mime.GetDataAt(i)->GetLength();
    }
    ASSERT_LE(total, limits.maxBlockSize);
  }
  EXPECT_EQ(AssertCapture::Count(), 0u);
}
