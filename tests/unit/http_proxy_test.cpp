// The HTTP agent's reading of a forwarded answer: the declared body length
// and which answers carry a body at all.
#include <gtest/gtest.h>

#include "http_proxy_socket.h"

namespace {

struct LengthCase {
  const char* value;  // nullptr: no "Content-Length"
  int64_t expected;
};

TEST(HttpProxyAnswer, DeclaredContentLength) {
  const LengthCase cases[] = {
      {nullptr, -1},      {"0", 0},       {"10485760", 10485760}, {" 42 ", 42},
      {"4294967296", 4294967296LL},       {"", -1},               {"12x", -1},
      {"-5", -1},         {"0x10", -1},   {"1234567890123456789", -1},
  };
  for (const LengthCase& c : cases) {
    ZMIMEInfo mime;
    if (c.value != nullptr) mime.SetAt("content-length", c.value);
    EXPECT_EQ(DeclaredContentLength(mime), c.expected) << (c.value != nullptr ? c.value : "(none)");
  }
}

TEST(HttpProxyAnswer, WhichAnswersHaveABody) {
  EXPECT_TRUE(ResponseHasBody(ZHTTPSocket::GET, 200));
  EXPECT_TRUE(ResponseHasBody(ZHTTPSocket::POST, 502));
  EXPECT_TRUE(ResponseHasBody(ZHTTPSocket::GET, 404));
  EXPECT_FALSE(ResponseHasBody(ZHTTPSocket::HEAD, 200));
  EXPECT_FALSE(ResponseHasBody(ZHTTPSocket::GET, 100));
  EXPECT_FALSE(ResponseHasBody(ZHTTPSocket::GET, 204));
  EXPECT_FALSE(ResponseHasBody(ZHTTPSocket::GET, 304));
}

}  // namespace
