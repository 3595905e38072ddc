// The HTTP agent's reading of a forwarded answer (the declared body length
// and which answers carry a body at all), the headers it forwards both
// ways, and its finding of its own Via in a request.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "http_proxy_socket.h"

namespace {

struct LengthCase {
  const char* value;  // nullptr: no "Content-Length"
  int64_t expected;
};

TEST(HttpProxyAnswer, DeclaredContentLength) {
  const LengthCase cases[] = {
      {nullptr, -1},
      {"0", 0},
      {"10485760", 10485760},
      {" 42 ", 42},
      {"4294967296", 4294967296LL},
      {"", -1},
      {"12x", -1},
      {"-5", -1},
      {"0x10", -1},
      {"1234567890123456789", -1},
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

ZMIMEInfo Header(std::initializer_list<std::pair<const char*, const char*>> fields) {
  ZMIMEInfo mime;
  for (const auto& [name, value] : fields) mime.SetAt(name, value);
  return mime;
}

std::string Field(const ZMIMEInfo& mime, const char* name) {
  const ZString* value = mime.GetAt(ZString(name));
  return value != nullptr ? value->Text() : "(none)";
}

TEST(HttpProxyHeaders, RequestLosesItsHopAndGainsViaAndHost) {
  const ZMIMEInfo client = Header({{"Connection", "close, X-Hop ,x-other"},
                                   {"X-Hop", "1"},
                                   {"X-Other", "2"},
                                   {"Keep-Alive", "300"},
                                   {"proxy-connection", "keep-alive"},
                                   {"Proxy-Authorization", "Basic eDp5"},
                                   {"TE", "trailers"},
                                   {"Trailer", "X-Sum"},
                                   {"Transfer-Encoding", "chunked"},
                                   {"Upgrade", "websocket"},
                                   {"Accept", "*/*"},
                                   {"Authorization", "Basic dTpw"}});
  const ZMIMEInfo forwarded = ForwardedRequestHeader(client, ZURL("http://origin.example:8080/x"), "gate");
  for (const char* gone : {"Connection", "X-Hop", "X-Other", "Keep-Alive", "Proxy-Connection", "Proxy-Authorization",
                           "TE", "Trailer", "Transfer-Encoding", "Upgrade"}) {
    EXPECT_EQ(Field(forwarded, gone), "(none)") << gone;
  }
  EXPECT_EQ(Field(forwarded, "Accept"), "*/*");
  EXPECT_EQ(Field(forwarded, "Authorization"), "Basic dTpw");  // the server's, not the proxy's
  EXPECT_EQ(Field(forwarded, "Via"), "1.0 gate");
  EXPECT_EQ(Field(forwarded, "Host"), "origin.example:8080");
  EXPECT_EQ(forwarded.GetSize(), 4);

  struct HostCase {
    const char* url;
    const char* clientHost;  // nullptr: none sent
    const char* host;
  };
  const HostCase hosts[] = {
      {"http://origin.example/", nullptr, "origin.example"},
      {"http://origin.example:80/", nullptr, "origin.example"},
      {"http://10.0.0.1:81/", nullptr, "10.0.0.1:81"},
      {"http://10.0.0.1:81/", "named.example", "named.example"},
  };
  for (const HostCase& c : hosts) {
    ZMIMEInfo request;
    if (c.clientHost != nullptr) request.SetAt("host", c.clientHost);
    EXPECT_EQ(Field(ForwardedRequestHeader(request, ZURL(c.url), "gate"), "Host"), c.host) << c.url;
  }
  // A Via of earlier hops gets ours after them.
  EXPECT_EQ(
      Field(ForwardedRequestHeader(Header({{"Via", "1.1 a (squid), HTTP/1.0 b"}}), ZURL("http://h/"), "gate"), "Via"),
      "1.1 a (squid), HTTP/1.0 b, 1.0 gate");
}

TEST(HttpProxyHeaders, AnswerLosesItsHopAndGainsVia) {
  const ZMIMEInfo answer = Header({{"Connection", "keep-alive, X-Hop"},
                                   {"X-Hop", "1"},
                                   {"Keep-Alive", "timeout=5"},
                                   {"Transfer-Encoding", "chunked"},
                                   {"Content-Type", "text/plain"},
                                   {"Set-Cookie", "a=b"}});
  const ZMIMEInfo forwarded = ForwardedAnswerHeader(answer, "gate");
  EXPECT_EQ(Field(forwarded, "Content-Type"), "text/plain");
  EXPECT_EQ(Field(forwarded, "Set-Cookie"), "a=b");
  EXPECT_EQ(Field(forwarded, "Via"), "1.0 gate");
  EXPECT_EQ(forwarded.GetSize(), 3);
}

ZMIMEInfo Block(const char* text) {
  ZMIMEInfo mime;
  EXPECT_TRUE(mime.Read(text, static_cast<ZIndex>(std::strlen(text)))) << text;
  return mime;
}

// The field lines of a written header, in their order.
std::vector<std::string> Lines(const ZMIMEInfo& mime) {
  std::vector<std::string> lines;
  const std::string text = mime.AsString().Text();
  for (size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos && end > start; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

std::vector<std::string> LinesOf(const ZMIMEInfo& mime, const char* name) {
  std::vector<std::string> named;
  const std::string prefix = std::string(name) + ": ";
  for (const std::string& line : Lines(mime)) {
    if (ZCaselessString(line.c_str()).CompareAt(0, static_cast<ZIndex>(prefix.size()), prefix.c_str()) == EqualTo) {
      named.push_back(line.substr(prefix.size()));
    }
  }
  return named;
}

TEST(HttpProxyHeaders, RepeatedFieldsPassLineByLine) {
  const ZMIMEInfo request = Block(
      "X-Repeat: 1\r\n"
      "Via: 1.1 a\r\n"
      "Connection: close\r\n"
      "x-repeat: 2\r\n"
      "Connection: X-Hop\r\n"
      "X-Hop: gone\r\n"
      "Via: 1.1 b\r\n"
      "X-Repeat: 3\r\n"
      "Content-Length: 5\r\n"
      "Content-Length: 5\r\n"
      "\r\n");
  const ZMIMEInfo forwarded = ForwardedRequestHeader(request, ZURL("http://h/"), "gate");
  EXPECT_EQ(LinesOf(forwarded, "X-Repeat"), (std::vector<std::string>{"1", "2", "3"}));
  EXPECT_EQ(LinesOf(forwarded, "Via"), (std::vector<std::string>{"1.1 a", "1.1 b, 1.0 gate"}));
  EXPECT_EQ(LinesOf(forwarded, "X-Hop"), std::vector<std::string>{});  // named by the second Connection line
  EXPECT_EQ(LinesOf(forwarded, "Connection"), std::vector<std::string>{});
  // The body goes on framed by one length, the one it was read by.
  EXPECT_EQ(LinesOf(forwarded, "Content-Length"), std::vector<std::string>{"5"});

  const ZMIMEInfo answer = Block(
      "Set-Cookie: a=1; Path=/\r\n"
      "Content-Type: text/plain\r\n"
      "Set-Cookie: b=2\r\n"
      "Via: 1.1 origin-side\r\n"
      "Content-Length: 3\r\n"
      "Content-Length: 4\r\n"
      "\r\n");
  const ZMIMEInfo back = ForwardedAnswerHeader(answer, "gate");
  EXPECT_EQ(LinesOf(back, "Set-Cookie"), (std::vector<std::string>{"a=1; Path=/", "b=2"}));
  EXPECT_EQ(LinesOf(back, "Via"), (std::vector<std::string>{"1.1 origin-side, 1.0 gate"}));
  EXPECT_EQ(LinesOf(back, "Content-Length"), std::vector<std::string>{"4"});
  EXPECT_EQ(DeclaredContentLength(back), 4);
}

TEST(HttpProxyHeaders, OwnViaIsFoundOnAnyLine) {
  EXPECT_TRUE(ViaNamesGateway(Block("Via: 1.0 gate\r\nVia: 1.1 other\r\n\r\n"), "gate"));
  EXPECT_TRUE(ViaNamesGateway(Block("Via: 1.1 a, 1.1 b\r\nVia: 1.0 gate\r\nvia: 1.1 c\r\n\r\n"), "gate"));
  EXPECT_FALSE(ViaNamesGateway(Block("Via: 1.1 a\r\nVia: 1.1 b\r\n\r\n"), "gate"));
}

TEST(HttpProxyHeaders, OwnViaIsFound) {
  const std::pair<const char*, bool> cases[] = {
      {"1.0 gate", true},
      {"1.0 GATE", true},
      {"1.1 proxy.example, 1.0 gate (Moatkeep)", true},
      {"HTTP/1.0 gate,1.1 other", true},
      {"1.0\tgate", true},
      {"1.0 gateway", false},
      {"1.0 other.gate", false},
      {"gate", false},
      {"", false},
      {"1.0 other (via gate)", false},
  };
  for (const auto& [via, found] : cases) {
    EXPECT_EQ(ViaNamesGateway(Header({{"Via", via}}), "gate"), found) << via;
  }
  EXPECT_FALSE(ViaNamesGateway(ZMIMEInfo(), "gate"));
}

}  // namespace
