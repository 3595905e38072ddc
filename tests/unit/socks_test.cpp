// The SOCKS 4 request fields, the user id bound, reading a request from a
// socket under its total time bound, the replies and the link description.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "socks_bind.h"
#include "socks_request.h"
#include "support/tcp_pair.h"
#include "zunder/sockets.h"

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

// ---------------------------------------------------------------- reading from a socket

std::string Request(uint8_t version, const std::string& userId) {
  std::string bytes = {static_cast<char>(version), 1, 0x1F, static_cast<char>(0x90), 127, 0, 0, 1};
  return bytes + userId + std::string(1, '\0');
}

TEST(SocksRead, OutcomesOfWholeRequests) {
  struct Case {
    const char* name;
    std::string sent;
    bool endStream;
    SocksReadResult result;
    ZChannel::Error error;
  };
  const std::vector<Case> cases = {
      {"request", Request(4, "alice"), false, SocksReadResult::Read, ZChannel::NoError},
      {"empty user id", Request(4, ""), false, SocksReadResult::Read, ZChannel::NoError},
      {"wrong version", Request(5, "alice"), false, SocksReadResult::WrongVersion, ZChannel::NoError},
      {"user id too long", Request(4, std::string(kSocksUserIdLimit + 1, 'u')), false, SocksReadResult::UserIdTooLong,
       ZChannel::NoError},
      {"silent", "", false, SocksReadResult::Failed, ZChannel::Timeout},
      {"fixed part cut short", Request(4, "").substr(0, 5), false, SocksReadResult::Failed, ZChannel::Timeout},
      {"user id without end", Request(4, "alice").substr(0, 12), false, SocksReadResult::Failed, ZChannel::Timeout},
      {"closed midway", Request(4, "alice").substr(0, 10), true, SocksReadResult::Failed, ZChannel::NoError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TcpPair pair;
    if (!c.sent.empty()) {
      ASSERT_TRUE(pair.near.Write(c.sent.data(), static_cast<ZIndex>(c.sent.size())));
    }
    if (c.endStream) {
      ASSERT_TRUE(pair.near.ShutdownWrite());
    }
    pair.far.SetReadTimeout(ZTimeInterval(200));
    SocksRequest request;
    EXPECT_EQ(ReadSocksRequest(pair.far, ZTimeInterval(0, 5), request), c.result);
    if (c.result != SocksReadResult::Read) {
      EXPECT_EQ(pair.far.GetErrorCode(), c.error);
    }
    EXPECT_FALSE(pair.far.IsPastDeadline());
    if (c.result == SocksReadResult::Read) {
      EXPECT_EQ(request.port, 8080);
      EXPECT_EQ(request.address, ZIPAddress(127, 0, 0, 1));
      EXPECT_EQ(std::string(request.userId.Text()), c.sent.substr(8, c.sent.size() - 9));
    }
    if (c.result == SocksReadResult::WrongVersion) {
      EXPECT_EQ(request.version, 5);
    }
  }
}

TEST(SocksRead, TrickledRequestIsCutOffByTheTotalBound) {
  TcpPair pair;
  const std::string sent = Request(4, "a-trickling-client");
  std::atomic<bool> ended{false};
  size_t written = 0;
  std::thread trickle([&] {
    // A byte every 40 ms, well within the read time-out: 1 s in all.
    for (; written < sent.size() && !ended.load(); ++written) {
      if (!pair.near.Write(&sent[written], 1)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
  });
  pair.far.SetReadTimeout(ZTimeInterval(0, 5));
  SocksRequest request;
  const SocksReadResult result = ReadSocksRequest(pair.far, ZTimeInterval(300), request);
  ended.store(true);
  trickle.join();
  EXPECT_EQ(result, SocksReadResult::Failed);
  // Logged as a read that timed out.
  EXPECT_EQ(pair.far.GetErrorCode(), ZChannel::Timeout);
  EXPECT_STREQ(pair.far.GetErrorText().Text(), ZChannel::ErrorText(EAGAIN).Text());
  EXPECT_LT(written, sent.size());
}

TEST(SocksRead, BytesAfterTheRequestStayForTheLink) {
  TcpPair pair;
  const std::string sent = Request(4, "bob") + "early data";
  ASSERT_TRUE(pair.near.Write(sent.data(), static_cast<ZIndex>(sent.size())));
  pair.far.SetReadTimeout(ZTimeInterval(0, 5));
  SocksRequest request;
  ASSERT_EQ(ReadSocksRequest(pair.far, ZTimeInterval(100), request), SocksReadResult::Read);
  EXPECT_STREQ(request.userId.Text(), "bob");
  // The bound has ended with the request: the link reads on after it.
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  char buffer[64];
  ASSERT_TRUE(pair.far.Read(buffer, sizeof buffer));
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(pair.far.GetLastReadCount())), "early data");
}

// A BIND's listener and its client's connection to the agent.
struct BindSetting {
  BindSetting() {
    EXPECT_TRUE(listener.Listen(5, 0, true));
    EXPECT_TRUE(agent.Listen(5, 0));
    user.SetPort(agent.GetPort());
    EXPECT_TRUE(user.Connect("127.0.0.1"));
    EXPECT_TRUE(client.Accept(agent));
  }
  // A host connecting in to the bound port from source: its descriptor.
  int ConnectFrom(const char* source) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(listener.GetPort());
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    fds.push_back(fd);
    return fd;
  }
  ~BindSetting() {
    for (int fd : fds) close(fd);
  }
  ZTCPSocket listener;
  ZTCPSocket agent;
  ZTCPSocket user;
  ZTCPSocket client;
  std::vector<int> fds;
};

// Everything a raw socket receives until its peer ends (or 5 s pass).
std::string Drain(int fd) {
  std::string data;
  char buffer[256];
  for (int i = 0; i < 100; ++i) {
    pollfd wait{fd, POLLIN, 0};
    if (poll(&wait, 1, 50) <= 0) continue;
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) return data;
    data.append(buffer, static_cast<size_t>(got));
  }
  return data + "(still open)";
}

TEST(SocksBind, OnlyTheNamedHostIsTaken) {
  BindSetting setting;
  ASSERT_TRUE(setting.user.WriteString("early"));
  const int stranger = setting.ConnectFrom("127.0.0.2");  // a stranger first
  ZTCPSocket peer;
  std::string early;
  ZString errorText;
  BindWaitResult result = BindWaitResult::Failed;
  std::thread wait([&] {
    result = AwaitBindPeer(setting.listener, setting.client, ZIPAddress(127, 0, 0, 3), ZTimeInterval(0, 10), peer,
                           early, errorText);
  });
  // The stranger is closed without a byte, and the wait goes on.
  EXPECT_EQ(Drain(stranger), "");
  setting.ConnectFrom("127.0.0.3");
  wait.join();
  EXPECT_EQ(result, BindWaitResult::Connected);
  ZIPAddress address;
  ASSERT_TRUE(peer.GetPeerAddress(address));
  EXPECT_STREQ(address.GetDotted().Text(), "127.0.0.3");
  EXPECT_EQ(early, "early");
}

TEST(SocksBind, WaitEndsWithoutTheNamedHost) {
  // The time runs out, strangers notwithstanding.
  {
    BindSetting setting;
    setting.ConnectFrom("127.0.0.2");
    ZTCPSocket peer;
    std::string early;
    ZString errorText;
    EXPECT_EQ(AwaitBindPeer(setting.listener, setting.client, ZIPAddress(127, 0, 0, 3), ZTimeInterval(300), peer, early,
                            errorText),
              BindWaitResult::TimedOut);
    EXPECT_STREQ(errorText.Text(), ZChannel::ErrorText(ETIMEDOUT).Text());
    EXPECT_FALSE(peer.IsOpen());
  }
  // The client leaves, or says too much before its host has come.
  for (const bool leaves : {true, false}) {
    BindSetting setting;
    if (leaves) {
      setting.user.Close();
    } else {
      const std::string flood(kBindEarlyDataLimit + 1, 'x');
      ASSERT_TRUE(setting.user.WriteString(flood.c_str()));
    }
    ZTCPSocket peer;
    std::string early;
    ZString errorText;
    EXPECT_EQ(AwaitBindPeer(setting.listener, setting.client, ZIPAddress(127, 0, 0, 3), ZTimeInterval(0, 10), peer,
                            early, errorText),
              BindWaitResult::ClientGone);
    EXPECT_FALSE(errorText.IsEmpty());
  }
  // The service closes the client's connection.
  {
    BindSetting setting;
    ZTCPSocket peer;
    std::string early;
    ZString errorText;
    BindWaitResult result = BindWaitResult::Failed;
    std::thread wait([&] {
      result = AwaitBindPeer(setting.listener, setting.client, ZIPAddress(127, 0, 0, 3), ZTimeInterval(0, 10), peer,
                             early, errorText);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    setting.client.Close();
    wait.join();
    EXPECT_EQ(result, BindWaitResult::Stopped);
  }
}

}  // namespace
