// The SOCKS 4 request fields, the user id bound, the replies and the link
// description.
#include <gtest/gtest.h>

#include <string>

#include "socks_request.h"

namespace {

TEST(SocksRequest, FixedPartFieldsAreMostSignificantByteFirst) {
  const uint8_t bytes[kSocksFixedSize] = {4, 1, 0x1F, 0x90, 192, 168, 1, 20};
  SocksRequest request;
  request.SetFixedPart(bytes);
  EXPECT_EQ(request.version, 4);
  EXPECT_EQ(request.command, kSocksConnect);
  EXPECT_EQ(request.port, 8080);
  EXPECT_EQ(request.address, ZIPAddress(192, 168, 1, 20));
  EXPECT_STREQ(request.address.GetDotted().Text(), "192.168.1.20");
}

TEST(SocksRequest, FieldsTakenAsTheyCome) {
  struct Case {
    uint8_t bytes[kSocksFixedSize];
    int version;
    int command;
    int port;
    const char* address;
  };
  const Case cases[] = {
      {{5, 1, 0, 80, 127, 0, 0, 1}, 5, 1, 80, "127.0.0.1"},
      {{4, 2, 0x07, 0xD0, 0, 0, 0, 0}, 4, 2, 2000, "0.0.0.0"},
      {{4, 3, 0xFF, 0xFF, 255, 255, 255, 255}, 4, 3, 65535, "255.255.255.255"},
      {{0, 0, 0, 0, 10, 0, 0, 1}, 0, 0, 0, "10.0.0.1"},
  };
  for (const Case& c : cases) {
    SocksRequest request;
    request.SetFixedPart(c.bytes);
    EXPECT_EQ(request.version, c.version);
    EXPECT_EQ(request.command, c.command);
    EXPECT_EQ(request.port, c.port);
    EXPECT_STREQ(request.address.GetDotted().Text(), c.address);
  }
}

SocksUserIdReader::Result Feed(SocksUserIdReader& reader, const std::string& bytes) {
  SocksUserIdReader::Result result = SocksUserIdReader::Result::More;
  for (char c : bytes) result = reader.Add(static_cast<uint8_t>(c));
  return result;
}

TEST(SocksUserId, EndsAtTheZeroByte) {
  SocksUserIdReader reader;
  EXPECT_EQ(Feed(reader, "alice"), SocksUserIdReader::Result::More);
  EXPECT_EQ(reader.Add(0), SocksUserIdReader::Result::Complete);
  EXPECT_STREQ(reader.GetUserId().Text(), "alice");
  // Nothing after the end is taken.
  EXPECT_EQ(reader.Add('x'), SocksUserIdReader::Result::Complete);
  EXPECT_STREQ(reader.GetUserId().Text(), "alice");
}

TEST(SocksUserId, EmptyIdIsAccepted) {
  SocksUserIdReader reader;
  EXPECT_EQ(reader.Add(0), SocksUserIdReader::Result::Complete);
  EXPECT_EQ(reader.GetUserId().GetLength(), 0);
}

TEST(SocksUserId, LongestIdIsTakenWhole) {
  SocksUserIdReader reader;
  const std::string id(kSocksUserIdLimit, 'u');
  EXPECT_EQ(Feed(reader, id), SocksUserIdReader::Result::More);
  EXPECT_EQ(reader.Add(0), SocksUserIdReader::Result::Complete);
  EXPECT_EQ(reader.GetUserId().GetLength(), kSocksUserIdLimit);
  EXPECT_EQ(std::string(reader.GetUserId().Text()), id);
}

TEST(SocksUserId, OneByteTooManyIsRefused) {
  SocksUserIdReader reader;
  EXPECT_EQ(Feed(reader, std::string(kSocksUserIdLimit, 'u')), SocksUserIdReader::Result::More);
  EXPECT_EQ(reader.Add('u'), SocksUserIdReader::Result::TooLong);
  // A terminator after the overflow does not make it acceptable.
  EXPECT_EQ(reader.Add(0), SocksUserIdReader::Result::TooLong);
}

TEST(SocksReply, RefusalIsAllZeroButTheCode) {
  const SocksReply expected = {0, 91, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(MakeSocksReply(kSocksRefused), expected);
}

TEST(SocksReply, ConnectGrantIsAllZeroButTheCode) {
  const SocksReply expected = {0, 90, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(MakeSocksReply(kSocksGranted), expected);
}

TEST(SocksReply, BindGrantCarriesPortAndPeer) {
  const SocksReply expected = {0, 90, 0x07, 0xD0, 10, 1, 2, 3};
  EXPECT_EQ(MakeSocksReply(kSocksGranted, 2000, ZIPAddress(10, 1, 2, 3)), expected);
  const SocksReply high = {0, 90, 0xFF, 0xFE, 127, 0, 0, 1};
  EXPECT_EQ(MakeSocksReply(kSocksGranted, 65534, ZIPAddress(127, 0, 0, 1)), high);
}

TEST(SocksReply, EachReplyStandsAlone) {
  // A bind grant does not leave its port or address in a later refusal.
  MakeSocksReply(kSocksGranted, 2000, ZIPAddress(10, 1, 2, 3));
  const SocksReply expected = {0, 91, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(MakeSocksReply(kSocksRefused), expected);
}

TEST(SocksLinkDescription, QuotesTheUserId) {
  EXPECT_STREQ(SocksLinkDescription("alice").Text(), "SOCKS link by \"alice\"");
  EXPECT_STREQ(SocksLinkDescription("").Text(), "SOCKS link by \"\"");
  EXPECT_STREQ(SocksLinkDescription("100% sure").Text(), "SOCKS link by \"100% sure\"");
}

TEST(SocksLinkDescription, ControlCharactersCannotBreakTheLogLine) {
  EXPECT_STREQ(SocksLinkDescription("a\nb\rc\x1b\x7f").Text(), "SOCKS link by \"a?b?c??\"");
  // Bytes above ASCII (a UTF-8 name) stay as they are.
  EXPECT_STREQ(SocksLinkDescription("J\xC3\xB6rg").Text(), "SOCKS link by \"J\xC3\xB6rg\"");
}

}  // namespace
