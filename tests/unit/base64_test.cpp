// ZBase64: encoding with line breaks, decoding with the perfect flag, and
// garbage input.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "support/assert_capture.h"
#include "zunder/base64.h"

namespace {

std::string Bytes(const ZBaseArray& array) {
  const auto* data = static_cast<const char*>(array.GetPointer());
  return data != nullptr ? std::string(data, static_cast<size_t>(array.GetSize())) : std::string();
}

}  // namespace

TEST(Base64Encode, KnownTexts) {
  struct Case {
    const char* text;
    const char* expected;
  };
  const Case cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"admin:pebble", "YWRtaW46cGViYmxl"},
  };
  for (const Case& c : cases) EXPECT_STREQ(ZBase64::Encode(c.text), c.expected) << c.text;
  const unsigned char binary[] = {0x00, 0xff, 0xfe, 0x3e, 0x3f};
  EXPECT_STREQ(ZBase64::EncodeBuffer(binary, 5), "AP/+Pj8=");
}

TEST(Base64Encode, LinesBreakAfterSeventySevenGroups) {
  const std::string input(77 * 3 * 2 + 1, 'a');
  const std::string crlf = ZBase64::Encode(input.c_str(), true).Text();
  const std::string group = "YWFh";  // "aaa"
  std::string full;
  for (int i = 0; i < 77; ++i) full += group;
  EXPECT_EQ(crlf, full + "\r\n" + full + "\r\n" + "YQ==");
  const std::string lf = ZBase64::Encode(input.c_str(), false).Text();
  EXPECT_EQ(lf, full + "\n" + full + "\n" + "YQ==");
  // One group short of a line: no break.
  const std::string shortInput(76 * 3, 'a');
  EXPECT_EQ(std::string(ZBase64::Encode(shortInput.c_str()).Text()).find('\n'), std::string::npos);
}

TEST(Base64Encode, StreamingInPiecesGivesTheSameText) {
  std::mt19937 random(3);
  std::string data(1000, '\0');
  for (char& c : data) c = static_cast<char>(random());
  const std::string whole = ZBase64::EncodeBuffer(data.data(), static_cast<ZIndex>(data.size())).Text();
  for (size_t piece : {1u, 2u, 5u, 232u}) {
    ZBase64 coder;
    coder.StartEncoding(true);
    for (size_t i = 0; i < data.size(); i += piece) {
      coder.ProcessEncoding(data.data() + i, static_cast<ZIndex>(std::min(piece, data.size() - i)));
    }
    EXPECT_EQ(std::string(coder.CompleteEncoding().Text()), whole) << piece;
  }
}

TEST(Base64Decode, NineteenCharacterText) {
  const char* text = "nineteen characters";  // 19 bytes: ends in "=="
  const ZString encoded = ZBase64::Encode(text);
  ASSERT_STREQ(encoded, "bmluZXRlZW4gY2hhcmFjdGVycw==");
  ZBaseArray bytes(1);
  EXPECT_TRUE(ZBase64::Decode(encoded, bytes));
  EXPECT_EQ(Bytes(bytes), text);

  ZBaseArray spaced(1);
  EXPECT_FALSE(ZBase64::Decode("bmluZXRl ZW4gY2hhcmFjdGVycw==", spaced));
  EXPECT_EQ(Bytes(spaced), text);

  ZBase64 coder;
  coder.StartDecoding();
  EXPECT_TRUE(coder.ProcessDecoding(encoded));  // the padding ended the data
  EXPECT_TRUE(coder.IsPerfect());
}

TEST(Base64Decode, TableOfInputs) {
  struct Case {
    const char* text;
    const char* bytes;
    bool perfect;
    bool ended;  // the padding ended the data
  };
  const Case cases[] = {
      {"Zm9vYmFy", "foobar", true, false},
      {"Zm9vYg==", "foob", true, true},
      {"Zm9vYmE=", "fooba", true, true},
      {"Zm9v\r\nYmFy", "foobar", true, false},   // line ends are skipped
      {"Zm9v YmFy", "foobar", false, false},     // a blank is not
      {"Zm9v\xc3YmFy", "foobar", false, false},  // nor a byte above 0x7f
      {"Zm9vYg==Zm9v", "foob", true, true},      // nothing after the end counts
      {"Zm9vY=mE=", "fooba", false, true},       // "=" at the second place is skipped
      {"Zm9vYm=E=", "fooba", false, true},       // a lone "=" at the third place too
      {"=Zm9v", "foo", false, false},
      {"Zm9vYmFy=", "foobar", false, false},  // "=" at the first place of a group
      {"Zg", "f", true, false},               // an unfinished group keeps its whole bytes
      {"Zm8", "fo", true, false},
      {"Zg=", "f", false, false},  // a single "=" waits for a second one
      {"", "", true, false},
      {"!!!", "", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ZBase64 coder;
    coder.StartDecoding();
    EXPECT_EQ(coder.ProcessDecoding(c.text), c.ended);
    EXPECT_EQ(coder.IsPerfect(), c.perfect);
    EXPECT_EQ(Bytes(coder.GetDecodedData()), c.bytes);
  }
}

TEST(Base64Decode, PaddingSplitAcrossPieces) {
  ZBase64 coder;
  coder.StartDecoding();
  EXPECT_FALSE(coder.ProcessDecoding("Zm9vYg="));
  EXPECT_FALSE(coder.IsPerfect());  // not yet known to be padding
  EXPECT_TRUE(coder.ProcessDecoding("="));
  EXPECT_TRUE(coder.IsPerfect());
  EXPECT_TRUE(coder.ProcessDecoding("Zm9v"));  // ignored after the end
  EXPECT_EQ(Bytes(coder.GetDecodedData()), "foob");
  // GetDecodedData started the decoder afresh.
  EXPECT_FALSE(coder.ProcessDecoding("Zm9v"));
  EXPECT_EQ(Bytes(coder.GetDecodedData()), "foo");
}

TEST(Base64Decode, CredentialsText) {
  EXPECT_STREQ(ZBase64::Decode("YWRtaW46cGViYmxl"), "admin:pebble");
  EXPECT_STREQ(ZBase64::Decode("YQBi"), "a");  // a NUL byte ends the text
  EXPECT_STREQ(ZBase64::Decode(""), "");
  EXPECT_STREQ(ZBase64::Decode(nullptr), "");
}

TEST(Base64RoundTrip, RandomData) {
  std::mt19937 random(11);
  for (int round = 0; round < 300; ++round) {
    std::string data(random() % 1200, '\0');
    for (char& c : data) c = static_cast<char>(random());
    const ZString text = ZBase64::EncodeBuffer(data.data(), static_cast<ZIndex>(data.size()), round % 2 == 0);
    ZBaseArray bytes(1);
    EXPECT_TRUE(ZBase64::Decode(text, bytes)) << round;
    ASSERT_EQ(Bytes(bytes), data) << round;
  }
}

TEST(Base64Hostile, GarbageDecodesWithinBounds) {
  AssertCapture capture;
  std::mt19937 random(5);
  for (int round = 0; round < 2000; ++round) {
    std::string text(random() % 600, '\0');
    for (char& c : text) c = static_cast<char>(random() % 4 == 0 ? "=\r\nA/+"[random() % 6] : random());
    ZBase64 coder;
    coder.StartDecoding();
    coder.ProcessDecoding(text.data(), static_cast<ZIndex>(text.size()));
    const ZBaseArray bytes = coder.GetDecodedData();
    // Never more than three bytes for every four input bytes.
    ASSERT_LE(bytes.GetSize(), static_cast<ZIndex>(text.size() * 3 / 4)) << round;
  }
  EXPECT_EQ(AssertCapture::Count(), 0u);
}
