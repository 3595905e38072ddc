// SOCKS 5's messages parsed as they arrive (never asking for a byte past
// the message), the agent's replies and datagram headers byte for byte,
// the constant-time secret comparison, the "SOCKS Users" table, and SOCKS
// 4a's host name after the user id.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "socks5_protocol.h"
#include "socks_request.h"
#include "socks_users.h"
#include "support/captured_log.h"
#include "support/tcp_pair.h"

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int value : values) bytes.push_back(static_cast<char>(value));
  return bytes;
}

// Feeds message one byte more at a time, as a reader that reads up to
// needed would: each NeedMore must ask for more than it has and never for
// more than the message holds. Answers the final outcome and the bytes used.
template <typename Message, typename Parser>
Socks5Parse FeedGrowing(Parser parse, const std::string& message, Message& parsed, size_t& used) {
  const auto* data = reinterpret_cast<const uint8_t*>(message.data());
  size_t size = 0;
  for (int step = 0; step < 600; ++step) {
    size_t needed = 0;
    used = 0;
    const Socks5Parse result = parse(data, size, parsed, used, needed);
    if (result != Socks5Parse::NeedMore) return result;
    EXPECT_GT(needed, size);
    if (needed > message.size()) {
      ADD_FAILURE() << "asks for " << needed << " bytes of a message of " << message.size();
      return result;
    }
    size = needed;
  }
  ADD_FAILURE() << "never finished";
  return Socks5Parse::Invalid;
}

TEST(Socks5Greeting, MethodsAreTakenAndNothingAfterThem) {
  const struct {
    const char* name;
    std::string bytes;
    Socks5Parse result;
    std::vector<int> offered;
  } cases[] = {
      {"no authentication", Bytes({5, 1, 0}), Socks5Parse::Complete, {0}},
      {"both", Bytes({5, 2, 0, 2}), Socks5Parse::Complete, {0, 2}},
      {"none offered", Bytes({5, 0}), Socks5Parse::Complete, {}},
      {"every method", Bytes({5, 255}) + std::string(255, '\x07'), Socks5Parse::Complete, {7}},
      {"version 4", Bytes({4, 1, 0}), Socks5Parse::Invalid, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Socks5Greeting greeting;
    size_t used = 0;
    // A byte of the request behind it must stay unread.
    const std::string sent = c.bytes + "\x05";
    EXPECT_EQ(FeedGrowing(ParseSocks5Greeting, sent, greeting, used), c.result);
    if (c.result != Socks5Parse::Complete) continue;
    EXPECT_EQ(used, c.bytes.size());
    for (int method = 0; method < 256; ++method) {
      const bool expected = std::find(c.offered.begin(), c.offered.end(), method) != c.offered.end();
      EXPECT_EQ(greeting.Offers(static_cast<uint8_t>(method)), expected) << method;
    }
  }
}

TEST(Socks5Credentials, NameAndPasswordOfAnyLength) {
  const struct {
    const char* name;
    std::string bytes;
    Socks5Parse result;
    std::string username;
    std::string password;
  } cases[] = {
      {"plain", Bytes({1, 5}) + "alice" + Bytes({6}) + "secret", Socks5Parse::Complete, "alice", "secret"},
      {"empty both", Bytes({1, 0, 0}), Socks5Parse::Complete, "", ""},
      {"longest", Bytes({1, 255}) + std::string(255, 'u') + Bytes({255}) + std::string(255, 'p'), Socks5Parse::Complete,
       std::string(255, 'u'), std::string(255, 'p')},
      {"zero bytes inside", Bytes({1, 3, 'a', 0, 'b', 2, 0, 0}), Socks5Parse::Complete, std::string("a\0b", 3),
       std::string(2, '\0')},
      {"wrong version", Bytes({5, 1, 'a', 1, 'b'}), Socks5Parse::Invalid, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Socks5Credentials credentials;
    size_t used = 0;
    EXPECT_EQ(FeedGrowing(ParseSocks5Credentials, c.bytes + "tail", credentials, used), c.result);
    if (c.result != Socks5Parse::Complete) continue;
    EXPECT_EQ(used, c.bytes.size());
    EXPECT_EQ(credentials.username, c.username);
    EXPECT_EQ(credentials.password, c.password);
  }
}

TEST(Socks5Request, EveryAddressType) {
  const struct {
    const char* name;
    std::string bytes;
    Socks5Parse result;
    int command;
    int type;
    const char* address;
    std::string hostName;
    int port;
  } cases[] = {
      {"IPv4 connect", Bytes({5, 1, 0, 1, 192, 168, 1, 20, 0x1F, 0x90}), Socks5Parse::Complete, 1, 1, "192.168.1.20",
       "", 8080},
      {"domain bind", Bytes({5, 2, 0, 3, 11}) + "example.org" + Bytes({0, 21}), Socks5Parse::Complete, 2, 3, "0.0.0.0",
       "example.org", 21},
      {"empty domain", Bytes({5, 1, 0, 3, 0, 0, 80}), Socks5Parse::Complete, 1, 3, "0.0.0.0", "", 80},
      {"IPv6", Bytes({5, 1, 0, 4}) + std::string(15, '\0') + Bytes({1, 0, 80}), Socks5Parse::Complete, 1, 4, "0.0.0.0",
       "", 80},
      {"UDP with the reserved byte set", Bytes({5, 3, 7, 1, 0, 0, 0, 0, 0, 0}), Socks5Parse::Complete, 3, 1, "0.0.0.0",
       "", 0},
      {"unknown address type", Bytes({5, 1, 0, 9, 1, 2, 3, 4, 0, 80}), Socks5Parse::BadAddressType, 1, 9, "", "", 0},
      {"version 4", Bytes({4, 1, 0, 1, 1, 2, 3, 4, 0, 80}), Socks5Parse::Invalid, 0, 0, "", "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Socks5Request request;
    size_t used = 0;
    EXPECT_EQ(FeedGrowing(ParseSocks5Request, c.bytes + "GET /", request, used), c.result);
    if (c.result == Socks5Parse::BadAddressType) {
      EXPECT_EQ(request.destination.type, c.type);
    }
    if (c.result != Socks5Parse::Complete) continue;
    EXPECT_EQ(used, c.bytes.size());
    EXPECT_EQ(request.command, c.command);
    EXPECT_EQ(request.destination.type, c.type);
    EXPECT_STREQ(request.destination.address.GetDotted().Text(), c.address);
    EXPECT_EQ(request.destination.hostName, c.hostName);
    EXPECT_EQ(request.destination.port, c.port);
  }
}

TEST(Socks5UdpHeader, WholeFragmentedAndBroken) {
  const struct {
    const char* name;
    std::string bytes;
    Socks5Datagram result;
    size_t headerLength;
    const char* address;
    std::string hostName;
    int port;
  } cases[] = {
      {"IPv4", Bytes({0, 0, 0, 1, 10, 0, 0, 1, 0, 53}) + "query", Socks5Datagram::Whole, 10, "10.0.0.1", "", 53},
      {"domain", Bytes({0, 0, 0, 3, 4}) + "host" + Bytes({1, 0}) + "x", Socks5Datagram::Whole, 11, "0.0.0.0", "host",
       256},
      {"empty payload", Bytes({0, 0, 0, 1, 10, 0, 0, 1, 0, 53}), Socks5Datagram::Whole, 10, "10.0.0.1", "", 53},
      {"a fragment", Bytes({0, 0, 1, 1, 10, 0, 0, 1, 0, 53}) + "part", Socks5Datagram::Fragment, 0, "", "", 0},
      {"cut in the address", Bytes({0, 0, 0, 1, 10, 0}), Socks5Datagram::Invalid, 0, "", "", 0},
      {"cut in the name", Bytes({0, 0, 0, 3, 9}) + "host", Socks5Datagram::Invalid, 0, "", "", 0},
      {"too short for a header", Bytes({0, 0, 0}), Socks5Datagram::Invalid, 0, "", "", 0},
      {"unknown address type", Bytes({0, 0, 0, 2, 1, 2, 3, 4, 0, 1}), Socks5Datagram::BadAddressType, 0, "", "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Socks5Address source;
    size_t headerLength = 0;
    EXPECT_EQ(
        ParseSocks5UdpHeader(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size(), source, headerLength),
        c.result);
    if (c.result != Socks5Datagram::Whole) continue;
    EXPECT_EQ(headerLength, c.headerLength);
    EXPECT_STREQ(source.address.GetDotted().Text(), c.address);
    EXPECT_EQ(source.hostName, c.hostName);
    EXPECT_EQ(source.port, c.port);
  }
}

TEST(Socks5Replies, ByteForByte) {
  EXPECT_EQ(MakeSocks5MethodChoice(kSocks5NoAuthentication), Bytes({5, 0}));
  EXPECT_EQ(MakeSocks5MethodChoice(kSocks5NoAcceptableMethod), Bytes({5, 0xFF}));
  EXPECT_EQ(MakeSocks5AuthStatus(true), Bytes({1, 0}));
  EXPECT_EQ(MakeSocks5AuthStatus(false), Bytes({1, 1}));
  EXPECT_EQ(MakeSocks5Reply(kSocks5NotAllowed), Bytes({5, 2, 0, 1, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(MakeSocks5Reply(kSocks5Succeeded, ZIPAddress(127, 0, 0, 1), 0x1F90),
            Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x1F, 0x90}));
  EXPECT_EQ(MakeSocks5UdpHeader(ZIPAddress(10, 1, 2, 3), 53), Bytes({0, 0, 0, 1, 10, 1, 2, 3, 0, 53}));
}

TEST(SameSecret, EqualOnlyWhenEveryByteAndTheLengthAgree) {
  const std::string longest(255, 'p');
  const struct {
    std::string given;
    std::string expected;
    bool same;
  } cases[] = {
      {"secret", "secret", true},
      {"", "", true},
      {longest, longest, true},
      {"secreT", "secret", false},
      {"Secret", "secret", false},
      {"secre", "secret", false},
      {"secret", "secre", false},
      {"", "x", false},
      {std::string("a\0", 2), "a", false},
      {longest + "p", longest + "p", false},  // longer than any client can send
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SameSecret(c.given, c.expected), c.same) << c.given.size() << " " << c.expected.size();
  }
}

TEST(SocksUsers, NamesWithoutCasePasswordsExactly) {
  SocksUsers users;
  EXPECT_TRUE(users.IsEmpty());
  EXPECT_FALSE(users.Accepts("", ""));
  ASSERT_TRUE(users.Add("Alice", "Wonder land"));
  ASSERT_TRUE(users.Add("bob", std::string(255, 'b')));
  EXPECT_FALSE(users.Add("", "x"));
  EXPECT_FALSE(users.Add(std::string(256, 'u'), "x"));
  EXPECT_FALSE(users.Add("carol", std::string(256, 'p')));
  EXPECT_FALSE(users.IsEmpty());
  const struct {
    const char* name;
    std::string password;
    bool accepted;
  } cases[] = {
      {"Alice", "Wonder land", true},
      {"alice", "Wonder land", true},
      {"ALICE", "Wonder land", true},
      {"Alice", "wonder land", false},
      {"Alice", "Wonder lan", false},
      {"Alice", "", false},
      {"bob", std::string(255, 'b'), true},
      {"bob", "Wonder land", false},
      {"carol", "x", false},
      {"nobody", std::string(256, '\0'), false},
  };
  for (const auto& c : cases) EXPECT_EQ(users.Accepts(c.name, c.password), c.accepted) << c.name;
}

TEST(SocksUsers, LoadSkipsRemovedAndOverlongUsers) {
  char path[] = "/tmp/moatkeep-socks-users-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string ini =
      "[SOCKS Users]\n"
      "alice=one\n"
      "bob=\n" +
      std::string(256, 'u') + "=two\n" + "[Other]\ncarol=three\n";
  ASSERT_EQ(write(fd, ini.data(), ini.size()), static_cast<ssize_t>(ini.size()));
  close(fd);
  const ZConfig config("SOCKS Users", ZConfig::File, path);
  SocksUsers users;
  ASSERT_TRUE(users.Add("dave", "four"));  // dropped by the load
  CapturedLog log;
  users.Load(config, "SOCKS Users", &log);
  EXPECT_TRUE(users.Accepts("alice", "one"));
  EXPECT_FALSE(users.Accepts("bob", ""));
  EXPECT_FALSE(users.Accepts("carol", "three"));
  EXPECT_FALSE(users.Accepts("dave", "four"));
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"1 SOCKS user skipped: name or password longer than 255 bytes."}));
  std::remove(path);
}

TEST(SocksUsers, StorableValuesReadBackTheSame) {
  const struct {
    std::string text;
    bool storable;
  } cases[] = {
      {"secret", true},
      {"two words", true},
      {"", true},
      {std::string(255, 'p'), true},
      {std::string(256, 'p'), false},
      {" lead", false},
      {"trail ", false},
      {"tab\tinside", false},
      {"line\nbreak", false},
      {"\"quoted\"", false},
      {"'quoted'", false},
      {"\"half", true},
      {"a=b;#[c]", true},
      {std::string("\x7f"), false},
  };
  for (const auto& c : cases) EXPECT_EQ(SocksUsers::IsStorableValue(c.text), c.storable) << c.text;
}

// ---------------------------------------------------------------- SOCKS 4a

TEST(Socks4a, AnAddressOfZeroesAndOneNumberNamesAHost) {
  const struct {
    ZIPAddress address;
    bool namesHost;
  } cases[] = {
      {ZIPAddress(0, 0, 0, 1), true},  {ZIPAddress(0, 0, 0, 255), true}, {ZIPAddress(0, 0, 0, 0), false},
      {ZIPAddress(0, 0, 1, 1), false}, {ZIPAddress(1, 0, 0, 1), false},  {ZIPAddress(127, 0, 0, 1), false},
  };
  for (const auto& c : cases) {
    SocksRequest request;
    request.address = c.address;
    EXPECT_EQ(request.NamesHost(), c.namesHost) << c.address.GetDotted().Text();
  }
}

TEST(Socks4a, HostNameFollowsTheUserId) {
  const std::string fixed = Bytes({4, 1, 0, 80, 0, 0, 0, 7});
  const struct {
    const char* name;
    std::string sent;
    SocksReadResult result;
    std::string userId;
    std::string hostName;
  } cases[] = {
      {"name", fixed + "joe" + Bytes({0}) + "example.org" + Bytes({0}) + "GET", SocksReadResult::Read, "joe",
       "example.org"},
      {"empty id", fixed + Bytes({0}) + "h" + Bytes({0}), SocksReadResult::Read, "", "h"},
      {"longest name", fixed + Bytes({0}) + std::string(255, 'n') + Bytes({0}), SocksReadResult::Read, "",
       std::string(255, 'n')},
      {"name too long", fixed + Bytes({0}) + std::string(256, 'n') + Bytes({0}), SocksReadResult::HostNameTooLong, "",
       ""},
      {"name without end", fixed + Bytes({0}) + "example", SocksReadResult::Failed, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TcpPair pair;
    ASSERT_TRUE(pair.near.Write(c.sent.data(), static_cast<ZIndex>(c.sent.size())));
    pair.far.SetReadTimeout(ZTimeInterval(200));
    SocksRequest request;
    EXPECT_EQ(ReadSocksRequest(pair.far, ZTimeInterval(0, 5), request), c.result);
    if (c.result != SocksReadResult::Read) continue;
    EXPECT_EQ(std::string(request.userId.Text()), c.userId);
    EXPECT_EQ(std::string(request.hostName.Text()), c.hostName);
  }
}

}  // namespace
