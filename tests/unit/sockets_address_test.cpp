// IPv4 addresses: the dotted form, bytes, parsing and order.
#include <gtest/gtest.h>
#include <netinet/in.h>

#include "zunder/sockets.h"

namespace {

TEST(IPAddress, DottedFormBytesAndParsing) {
  ZIPAddress local;
  EXPECT_STREQ(local.GetDotted().Text(), "127.0.0.1");
  EXPECT_EQ(local.GetByte(0), 127);
  EXPECT_EQ(local.GetByte(3), 1);
  EXPECT_EQ(local.GetValue(), htonl(0x7f000001));

  ZIPAddress built(10, 20, 30, 40);
  EXPECT_STREQ(built.GetDotted().Text(), "10.20.30.40");
  built.SetByte(2, 99);
  EXPECT_STREQ(built.GetDotted().Text(), "10.20.99.40");

  const struct {
    const char* text;
    bool valid;
    const char* dotted;
  } cases[] = {
      {"192.0.2.1", true, "192.0.2.1"}, {"0.0.0.0", true, "0.0.0.0"}, {"255.255.255.255", true, "255.255.255.255"},
      {"256.1.1.1", false, nullptr},    {"1.2.3", false, nullptr},    {"1.2.3.4.5", false, nullptr},
      {"a.b.c.d", false, nullptr},      {"1.2.3.4 ", false, nullptr}, {"", false, nullptr},
      {"localhost", false, nullptr},
  };
  for (const auto& c : cases) {
    ZIPAddress address(0);
    EXPECT_EQ(address.Parse(c.text), c.valid) << c.text;
    if (c.valid) {
      EXPECT_STREQ(address.GetDotted().Text(), c.dotted);
    }
  }
  EXPECT_EQ(ZIPAddress(1, 0, 0, 0).Compare(ZIPAddress(0, 255, 255, 255)), GreaterThan);
}

}  // namespace
