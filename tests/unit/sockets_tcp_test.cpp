// Channels and sockets on loopback: reads and writes with time-outs, error
// codes and texts, look-ups, datagrams, both waits, descriptor numbers above
// 1023, and closing sockets from another thread while threads block in them.
#include <dirent.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/assert_capture.h"
#include "zunder/sockets.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A connected loopback pair: client side and the accepted server side.
struct Pair {
  ZTCPSocket listener;
  ZTCPSocket client;
  ZTCPSocket server;

  bool Open() {
    if (!listener.Listen(5, 0)) return false;
    client.SetPort(listener.GetPort());
    return client.Connect("127.0.0.1") && server.Accept(listener);
  }
};

// Open descriptors of this process, to catch leaks.
int OpenDescriptors() {
  DIR* directory = opendir("/proc/self/fd");
  if (directory == nullptr) return -1;
  int count = 0;
  while (readdir(directory) != nullptr) ++count;
  closedir(directory);
  return count;
}

std::string AssertTextOf(int code) {
  char text[100];
  return ZAssertText(code, text, sizeof text);
}

// ---------------------------------------------------------------- errors

TEST(ChannelErrors, CodesFollowTheSystemErrorNumber) {
  const struct {
    int osError;
    ZChannel::Error code;
  } cases[] = {
      {0, ZChannel::NoError},          {ENOENT, ZChannel::NotFound},
      {EEXIST, ZChannel::FileExists},  {ENOSPC, ZChannel::DiskFull},
      {EACCES, ZChannel::AccessDenied}, {EINVAL, ZChannel::BadParameter},
      {ENOMEM, ZChannel::NoMemory},    {EBADF, ZChannel::NotOpen},
      {EAGAIN, ZChannel::Timeout},     {EWOULDBLOCK, ZChannel::Timeout},
      {ETIMEDOUT, ZChannel::Timeout},  {EINTR, ZChannel::Interrupted},
      {ECONNREFUSED, ZChannel::Miscellaneous}, {EPIPE, ZChannel::Miscellaneous},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ZChannel::ErrorFromOS(c.osError), c.code) << "errno " << c.osError;
  }
}

TEST(ChannelErrors, TextsOfErrorNumbers) {
  const struct {
    int osError;
    const char* text;
  } cases[] = {
      {0, ""},
      {ECONNREFUSED, "Connection refused"},
      {0x40000000 | 10061, "Connection refused"},
      {0x40000000 | 10060, "Timed out"},
      {0x40000000 | 12345, "WIN32 error 12345"},
      {99999, "C runtime error 99999"},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(ZChannel::ErrorText(c.osError).Text(), c.text) << c.osError;
  }
  // The C library's own wording for an ordinary number.
  EXPECT_STREQ(ZChannel::ErrorText(ENOENT).Text(), std::strerror(ENOENT));
}

// ---------------------------------------------------------------- addresses and look-ups

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
      {"192.0.2.1", true, "192.0.2.1"}, {"0.0.0.0", true, "0.0.0.0"},
      {"255.255.255.255", true, "255.255.255.255"}, {"256.1.1.1", false, nullptr},
      {"1.2.3", false, nullptr},          {"1.2.3.4.5", false, nullptr},
      {"a.b.c.d", false, nullptr},        {"1.2.3.4 ", false, nullptr},
      {"", false, nullptr},               {"localhost", false, nullptr},
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

bool ServicesKnow(const char* name, const char* protocol) {
  servent entry{};
  servent* found = nullptr;
  char scratch[1024];
  return getservbyname_r(name, protocol, &entry, scratch, sizeof scratch, &found) == 0 &&
         found != nullptr;
}

TEST(HostAndService, PortByService) {
  const struct {
    const char* service;
    uint16_t port;
  } cases[] = {
      {"nonsense 8080", 8080}, {"8080", 8080}, {"nonsense", 0}, {"", 0},
      {"nonsense\t99", 99},    {"x-none\r\n", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ZSocket::GetPortByService("tcp", c.service), c.port) << c.service;
  }
  // The named cases need the services database of the test packages.
  ASSERT_TRUE(ServicesKnow("telnet", "tcp")) << "the services database (/etc/services, package netbase) "
                                                "lacks telnet";
  EXPECT_EQ(ZSocket::GetPortByService("tcp", "telnet"), 23);
  // The name wins over the fallback number.
  EXPECT_EQ(ZSocket::GetPortByService("tcp", "telnet 8080"), 23);
  ZTCPSocket byName("telnet");
  EXPECT_EQ(byName.GetPort(), 23);
  EXPECT_STREQ(ZSocket::GetServiceByPort("tcp", 23).Text(), "telnet");
  EXPECT_STREQ(byName.GetService().Text(), "telnet");
}

TEST(HostAndService, ServiceByPortFallsBackToDecimal) {
  // Pick a port the database does not name.
  uint16_t port = 0;
  for (uint16_t candidate = 64999; candidate > 64900 && port == 0; --candidate) {
    servent entry{};
    servent* found = nullptr;
    char scratch[1024];
    if (getservbyport_r(htons(candidate), "tcp", &entry, scratch, sizeof scratch, &found) != 0 ||
        found == nullptr) {
      port = candidate;
    }
  }
  ASSERT_NE(port, 0);
  EXPECT_EQ(std::string(ZSocket::GetServiceByPort("tcp", port).Text()), std::to_string(port));
}

TEST(HostAndService, ServiceByPortAnswersAlikeWhenAskedAgain) {
  // The answers are remembered per protocol and port; repeated questions,
  // from several threads at once, get the database's answer every time.
  const std::string first = ZSocket::GetServiceByPort("tcp", 80).Text();
  const std::string unknown = ZSocket::GetServiceByPort("tcp", 64998).Text();
  std::vector<std::thread> askers;
  std::atomic<int> differing{0};
  for (int t = 0; t < 4; ++t) {
    askers.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        if (first != ZSocket::GetServiceByPort("tcp", 80).Text()) ++differing;
        if (unknown != ZSocket::GetServiceByPort("tcp", 64998).Text()) ++differing;
      }
    });
  }
  for (std::thread& asker : askers) asker.join();
  EXPECT_EQ(differing.load(), 0);
  if (ServicesKnow("http", "tcp")) {
    EXPECT_EQ(first, "http");
  }
  // Without a protocol the question is a different one, answered on its own.
  EXPECT_FALSE(std::string(ZSocket::GetServiceByPort(nullptr, 80).Text()).empty());
}

TEST(HostAndService, HostNamesAndAddresses) {
  ZString local = ZSocket::GetHostName();
  EXPECT_FALSE(local.IsEmpty());
  EXPECT_LE(local.GetLength(), 50);

  // Reverse look-up of loopback reads the hosts file; either a name or the
  // dotted form, never empty.
  ZString loopback = ZSocket::GetHostName("127.0.0.1");
  EXPECT_FALSE(loopback.IsEmpty());
  EXPECT_EQ(std::string(ZSocket::GetHostName(ZIPAddress()).Text()), std::string(loopback.Text()));

  ZIPAddress address(0);
  EXPECT_TRUE(ZSocket::GetHostAddress("127.0.0.1", address));
  EXPECT_STREQ(address.GetDotted().Text(), "127.0.0.1");
  address = ZIPAddress(0);
  EXPECT_TRUE(ZSocket::GetHostAddress("localhost", address));
  EXPECT_EQ(address.GetByte(0), 127);
  EXPECT_FALSE(ZSocket::GetHostAddress("", address));
  EXPECT_FALSE(ZSocket::GetHostAddress(nullptr, address));
}

// ---------------------------------------------------------------- TCP

TEST(TCPSocket, ListenOnPortZeroTakesTheChosenPort) {
  ZTCPSocket listener;
  EXPECT_FALSE(listener.IsOpen());
  ASSERT_TRUE(listener.Listen(5, 0));
  EXPECT_TRUE(listener.IsOpen());
  EXPECT_NE(listener.GetPort(), 0);
  EXPECT_GE(listener.GetHandle(), 0);
  EXPECT_EQ(listener.GetErrorCode(), ZChannel::NoError);
  EXPECT_TRUE(listener.Close());
  EXPECT_FALSE(listener.IsOpen());
  EXPECT_EQ(listener.GetHandle(), -1);
  EXPECT_FALSE(listener.Close());  // already closed
}

TEST(TCPSocket, TransfersCountsAndPeerDetails) {
  Pair pair;
  ASSERT_TRUE(pair.Open());
  EXPECT_EQ(pair.server.GetPort(), pair.listener.GetPort());

  ASSERT_TRUE(pair.client.Write("hello", 5));
  EXPECT_EQ(pair.client.GetLastWriteCount(), 5);
  EXPECT_STREQ(pair.server.ReadString(5).Text(), "hello");

  EXPECT_TRUE(pair.server.WriteString("ab"));
  EXPECT_TRUE(pair.server.WriteString(""));
  EXPECT_TRUE(pair.server.WriteChar(0xff));
  EXPECT_EQ(pair.client.ReadChar(), 'a');
  EXPECT_EQ(pair.client.GetLastReadCount(), 1);
  EXPECT_EQ(pair.client.ReadChar(), 'b');
  EXPECT_EQ(pair.client.ReadChar(), 0xff);

  ZIPAddress peer(0);
  uint16_t peerPort = 0;
  ASSERT_TRUE(pair.client.GetPeerAddress(peer, peerPort));
  EXPECT_STREQ(peer.GetDotted().Text(), "127.0.0.1");
  EXPECT_EQ(peerPort, pair.listener.GetPort());
  EXPECT_FALSE(pair.client.GetPeerHostName().IsEmpty());
  std::string name = pair.client.GetName().Text();
  EXPECT_EQ(name.substr(name.rfind(' ') + 1), std::to_string(pair.listener.GetPort()));
  EXPECT_TRUE(ZTCPSocket().GetName().IsEmpty());
}

TEST(TCPSocket, AcceptQueuedTakesOnlyWhatIsWaiting) {
  ZTCPSocket listener;
  ASSERT_TRUE(listener.Listen(5, 0));
  // Nothing queued: an answer at once, even though the listener would wait
  // without limit.
  ZTCPSocket taken;
  EXPECT_FALSE(taken.AcceptQueued(listener));
  EXPECT_EQ(taken.GetErrorCode(), ZChannel::Timeout);
  EXPECT_FALSE(taken.IsOpen());

  ZTCPSocket client;
  client.SetPort(listener.GetPort());
  ASSERT_TRUE(client.Connect("127.0.0.1"));
  ASSERT_TRUE(taken.AcceptQueued(listener));
  EXPECT_EQ(taken.GetPort(), listener.GetPort());
  ZIPAddress peer(0);
  uint16_t peerPort = 0;
  ASSERT_TRUE(taken.GetPeerAddress(peer, peerPort));
  EXPECT_STREQ(peer.GetDotted().Text(), "127.0.0.1");
  ASSERT_TRUE(client.Write("q", 1));
  EXPECT_STREQ(taken.ReadString(1).Text(), "q");

  // A closed listener hands out nothing.
  listener.Close();
  ZTCPSocket late;
  EXPECT_FALSE(late.AcceptQueued(listener));
  EXPECT_NE(late.GetErrorCode(), ZChannel::NoError);
}

TEST(TCPSocket, StreamInterfaceReadsAndWritesThroughTheChannel) {
  Pair pair;
  ASSERT_TRUE(pair.Open());
  pair.client << "first 42" << std::endl;
  std::string word;
  int number = 0;
  pair.server >> word >> number;
  EXPECT_EQ(word, "first");
  EXPECT_EQ(number, 42);
  pair.client.Close();
  std::string rest;
  std::getline(pair.server, rest);  // the line end after 42
  EXPECT_TRUE(pair.server.good());
  std::getline(pair.server, rest);  // peer gone: end of stream
  EXPECT_TRUE(pair.server.eof());
}

TEST(TCPSocket, PeerClosedReadAnswersFalseWithNoError) {
  Pair pair;
  ASSERT_TRUE(pair.Open());
  pair.client.Close();
  char buffer[16];
  EXPECT_FALSE(pair.server.Read(buffer, sizeof buffer));
  EXPECT_EQ(pair.server.GetErrorCode(), ZChannel::NoError);
  EXPECT_EQ(pair.server.GetOSError(), 0);
  EXPECT_EQ(pair.server.GetLastReadCount(), 0);
  EXPECT_EQ(pair.server.ReadChar(), -1);
}

TEST(TCPSocket, ReadTimeouts) {
  Pair pair;
  ASSERT_TRUE(pair.Open());
  char buffer[16];

  // A silent peer: the read gives up after its five seconds, not before.
  pair.server.SetReadTimeout(ZTimeInterval(0, 5));
  auto start = Clock::now();
  EXPECT_FALSE(pair.server.Read(buffer, sizeof buffer));
  long long waited = MillisecondsSince(start);
  EXPECT_EQ(pair.server.GetErrorCode(), ZChannel::Timeout);
  EXPECT_EQ(pair.server.GetOSError(), EAGAIN);
  EXPECT_GE(waited, 4900);
  EXPECT_LT(waited, 30000);

  pair.server.SetReadTimeout(ZTimeInterval(0));
  start = Clock::now();
  EXPECT_FALSE(pair.server.Read(buffer, sizeof buffer));
  EXPECT_EQ(pair.server.GetErrorCode(), ZChannel::Timeout);
  EXPECT_LT(MillisecondsSince(start), 5000);

  // Data already waiting is read at once, whatever the time-out.
  for (int64_t timeout : {int64_t{0}, int64_t{-1}}) {
    pair.server.SetReadTimeout(ZTimeInterval(timeout));
    ASSERT_TRUE(pair.client.Write("xyz", 3));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(pair.server.Read(buffer, sizeof buffer)) << timeout;
    EXPECT_EQ(pair.server.GetLastReadCount(), 3);
  }

  EXPECT_FALSE(pair.server.Read(buffer, 0));
  EXPECT_EQ(pair.server.GetErrorCode(), ZChannel::BadParameter);
  EXPECT_EQ(pair.server.GetOSError(), EINVAL);
}

TEST(TCPSocket, DeadlineBoundsAllReadsTogether) {
  Pair pair;
  ASSERT_TRUE(pair.Open());
  // Each byte comes well within the read time-out, but the whole trickle
  // would take far longer than the deadline.
  constexpr int kBytes = 100;
  std::atomic<bool> stop{false};
  std::thread trickle([&] {
    for (int i = 0; i < kBytes && !stop.load(); ++i) {
      if (!pair.client.Write("x", 1)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
  });
  pair.server.SetReadTimeout(ZTimeInterval(0, 5));
  pair.server.SetDeadline(ZTimeInterval(300));
  EXPECT_FALSE(pair.server.IsPastDeadline());
  int received = 0;
  char byte = 0;
  for (int reads = 0; reads < kBytes && pair.server.Read(&byte, 1); ++reads) ++received;
  stop.store(true);
  trickle.join();
  // Cut off as a read that timed out, long before the trickle ended.
  EXPECT_EQ(pair.server.GetErrorCode(), ZChannel::Timeout);
  EXPECT_EQ(pair.server.GetOSError(), EAGAIN);
  EXPECT_LT(received, kBytes);
  EXPECT_TRUE(pair.server.IsPastDeadline());
  // Past the deadline even waiting bytes are refused; cleared, they flow.
  ASSERT_TRUE(pair.client.Write("rest", 4));
  ASSERT_EQ(ZSocket::Select(pair.server, pair.server, ZTimeInterval(0, 10)), 3);
  char buffer[kBytes];
  EXPECT_FALSE(pair.server.Read(buffer, sizeof buffer));
  EXPECT_EQ(pair.server.GetErrorCode(), ZChannel::Timeout);
  pair.server.ClearDeadline();
  EXPECT_FALSE(pair.server.IsPastDeadline());
  EXPECT_TRUE(pair.server.Read(buffer, sizeof buffer));
  EXPECT_GT(pair.server.GetLastReadCount(), 0);
}

TEST(TCPSocket, DeadlineEndsReadsWithoutATimeLimit) {
  Pair pair;
  ASSERT_TRUE(pair.Open());
  // Should the deadline not end the wait, the watchdog does, and the read
  // then reports Interrupted instead of Timeout.
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> lock(mutex);
    if (!done.wait_for(lock, std::chrono::seconds(20), [&] { return finished; })) pair.server.Close();
  });
  char buffer[16];
  for (int64_t timeout : {int64_t{-1}, int64_t{0x7fffffff}}) {
    SCOPED_TRACE(timeout);
    pair.server.SetReadTimeout(ZTimeInterval(timeout));
    pair.server.SetDeadline(ZTimeInterval(100));
    EXPECT_FALSE(pair.server.Read(buffer, sizeof buffer));
    EXPECT_EQ(pair.server.GetErrorCode(), ZChannel::Timeout);
    EXPECT_TRUE(pair.server.IsPastDeadline());
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
  }
  done.notify_one();
  watchdog.join();

  // The unlimited interval sets no deadline; the scope helper clears one.
  pair.server.SetDeadline(ZInfinite);
  EXPECT_FALSE(pair.server.IsPastDeadline());
  {
    const ZSocketDeadline bound(pair.server, ZTimeInterval(0));
    EXPECT_TRUE(pair.server.IsPastDeadline());
  }
  EXPECT_FALSE(pair.server.IsPastDeadline());
  ASSERT_TRUE(pair.client.Write("ab", 2));
  pair.server.SetReadTimeout(ZTimeInterval(0, 5));
  EXPECT_TRUE(pair.server.Read(buffer, sizeof buffer));
}

TEST(TCPSocket, ReadWithoutWaitingSeesDataEndAndClose) {
  Pair pair;
  ASSERT_TRUE(pair.Open());
  char buffer[64];
  pair.server.SetReadTimeout(ZTimeInterval(0));

  // Nothing there, then part of what is there, then the rest.
  EXPECT_FALSE(pair.server.Read(buffer, sizeof buffer));
  EXPECT_EQ(pair.server.GetErrorCode(), ZChannel::Timeout);
  EXPECT_EQ(pair.server.GetOSError(), EAGAIN);
  ASSERT_TRUE(pair.client.Write("abcdef", 6));
  ASSERT_EQ(ZSocket::Select(pair.server, pair.server, ZTimeInterval(0, 10)), 3);
  ASSERT_TRUE(pair.server.Read(buffer, 4));
  EXPECT_EQ(pair.server.GetLastReadCount(), 4);
  EXPECT_EQ(pair.server.GetErrorCode(), ZChannel::NoError);
  ASSERT_TRUE(pair.server.Read(buffer, sizeof buffer));
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(pair.server.GetLastReadCount())), "ef");
  EXPECT_FALSE(pair.server.Read(buffer, sizeof buffer));
  EXPECT_EQ(pair.server.GetErrorCode(), ZChannel::Timeout);

  // The end of the stream is no error, as with waiting reads.
  ASSERT_TRUE(pair.client.ShutdownWrite());
  ASSERT_EQ(ZSocket::Select(pair.server, pair.server, ZTimeInterval(0, 10)), 3);
  EXPECT_FALSE(pair.server.Read(buffer, sizeof buffer));
  EXPECT_EQ(pair.server.GetErrorCode(), ZChannel::NoError);
  EXPECT_EQ(pair.server.GetLastReadCount(), 0);

  // A socket closed by the service reports Interrupted.
  pair.server.Close();
  EXPECT_FALSE(pair.server.Read(buffer, sizeof buffer));
  EXPECT_EQ(pair.server.GetErrorCode(), ZChannel::Interrupted);
}

// Both ends linger 10 s on close, the accepted one through its listener.
TEST(TCPSocket, BothEndsLingerTenSeconds) {
  Pair pair;
  ASSERT_TRUE(pair.Open());
  for (ZTCPSocket* socket : {&pair.client, &pair.server}) {
    linger value{};
    socklen_t size = sizeof value;
    ASSERT_EQ(getsockopt(socket->GetHandle(), SOL_SOCKET, SO_LINGER, &value, &size), 0);
    EXPECT_EQ(value.l_onoff, 1);
    EXPECT_EQ(value.l_linger, 10);
  }
}

// A peer that never reads: a limited write ends with Timeout after moving
// what fitted; an unlimited one waits until Close wakes it.
TEST(TCPSocket, WriteTimeoutsAndAWriterWokenByClose) {
  Pair pair;
  ASSERT_TRUE(pair.Open());
  std::vector<char> block(8 * 1024 * 1024, 'x');
  pair.client.SetWriteTimeout(ZTimeInterval(100));
  EXPECT_FALSE(pair.client.Write(block.data(), static_cast<ZIndex>(block.size())));
  EXPECT_EQ(pair.client.GetErrorCode(), ZChannel::Timeout);
  EXPECT_GT(pair.client.GetLastWriteCount(), 0);
  EXPECT_LT(pair.client.GetLastWriteCount(), static_cast<ZIndex>(block.size()));

  pair.client.SetWriteTimeout(ZTimeInterval(0));  // 0 waits a moment only
  EXPECT_FALSE(pair.client.Write(block.data(), static_cast<ZIndex>(block.size())));
  EXPECT_EQ(pair.client.GetErrorCode(), ZChannel::Timeout);

  pair.client.SetWriteTimeout(ZTimeInterval(-1));
  std::atomic<bool> written{true};
  std::thread writer([&] { written = pair.client.Write(block.data(), static_cast<ZIndex>(block.size())); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  pair.client.Close();
  writer.join();
  EXPECT_FALSE(written.load());
  EXPECT_EQ(pair.client.GetErrorCode(), ZChannel::Interrupted);
}

TEST(TCPSocket, RefusedConnectReportsTheSystemText) {
  uint16_t port;
  {
    ZTCPSocket probe;
    ASSERT_TRUE(probe.Listen(1, 0));
    port = probe.GetPort();
  }
  ZTCPSocket client(port);
  EXPECT_FALSE(client.Connect("127.0.0.1"));
  EXPECT_FALSE(client.IsOpen());
  EXPECT_STREQ(client.GetErrorText().Text(), "Connection refused");
  EXPECT_EQ(client.GetOSError(), ECONNREFUSED);
  EXPECT_EQ(client.GetErrorCode(), ZChannel::Miscellaneous);
}

TEST(TCPSocket, ClosedAndUnopenedSocketsRefuseTransfers) {
  char buffer[4] = {};
  ZTCPSocket never;
  EXPECT_FALSE(never.Read(buffer, sizeof buffer));
  EXPECT_EQ(never.GetErrorCode(), ZChannel::NotOpen);
  EXPECT_EQ(never.GetOSError(), EBADF);
  EXPECT_FALSE(never.Write(buffer, sizeof buffer));
  EXPECT_EQ(never.GetErrorCode(), ZChannel::NotOpen);

  Pair pair;
  ASSERT_TRUE(pair.Open());
  pair.server.Close();
  EXPECT_FALSE(pair.server.Read(buffer, sizeof buffer));
  EXPECT_EQ(pair.server.GetErrorCode(), ZChannel::Interrupted);
  EXPECT_EQ(pair.server.GetOSError(), EINTR);
  // A closed listener answers Interrupted: that is how accepting stops.
  pair.listener.Close();
  ZTCPSocket late;
  EXPECT_FALSE(late.Accept(pair.listener));
  EXPECT_EQ(late.GetErrorCode(), ZChannel::Interrupted);
}

TEST(TCPSocket, WritingToAVanishedPeerFailsWithoutSignal) {
  Pair pair;
  ASSERT_TRUE(pair.Open());
  pair.server.Close();
  std::vector<char> block(64 * 1024, 'x');
  bool failed = false;
  // The first writes may still be taken; a reset peer fails soon after.
  for (int i = 0; i < 100 && !failed; ++i) {
    failed = !pair.client.Write(block.data(), static_cast<ZIndex>(block.size()));
    if (!failed) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(failed);
  EXPECT_NE(pair.client.GetErrorCode(), ZChannel::NoError);
}

TEST(TCPSocket, MisuseIsReported) {
  AssertCapture capture;
  ZTCPSocket noPort;
  EXPECT_FALSE(noPort.Connect("127.0.0.1"));
  EXPECT_EQ(AssertCapture::LastMessage(), "Cannot connect socket without setting port");

  ZTCPSocket listener;
  ASSERT_TRUE(listener.Listen(1, 0));
  EXPECT_FALSE(listener.SetPort(uint16_t{80}));
  EXPECT_EQ(AssertCapture::LastMessage(), "Cannot change port number of opened socket");
  EXPECT_FALSE(listener.SetPort("telnet"));

  ZTCPSocket unopened;
  ZTCPSocket accepted;
  EXPECT_FALSE(accepted.Accept(unopened));
  EXPECT_EQ(AssertCapture::LastMessage(), AssertTextOf(ZAssertFileNotOpen));

  ZUDPSocket datagram;
  EXPECT_FALSE(datagram.Accept(listener));
  EXPECT_EQ(AssertCapture::LastMessage(), "Illegal operation.");

  EXPECT_FALSE(noPort.WriteChar(256));
  EXPECT_EQ(AssertCapture::LastMessage(), AssertTextOf(ZAssertInvalidParameter));
}

// ---------------------------------------------------------------- UDP

TEST(UDPSocket, DatagramsBothWays) {
  ZUDPSocket server;
  ZUDPSocket client;
  ASSERT_TRUE(server.Listen(0, 0));
  ASSERT_TRUE(client.Listen(0, 0));
  ASSERT_NE(server.GetPort(), client.GetPort());
  server.SetReadTimeout(ZTimeInterval(10000));
  client.SetReadTimeout(ZTimeInterval(10000));

  ASSERT_TRUE(client.WriteTo("ping", 4, ZIPAddress(), server.GetPort()));
  EXPECT_EQ(client.GetLastWriteCount(), 4);
  char buffer[64];
  ZIPAddress from(0);
  uint16_t fromPort = 0;
  ASSERT_TRUE(server.ReadFrom(buffer, sizeof buffer, from, fromPort));
  EXPECT_EQ(server.GetLastReadCount(), 4);
  EXPECT_EQ(std::string(buffer, 4), "ping");
  EXPECT_STREQ(from.GetDotted().Text(), "127.0.0.1");
  EXPECT_EQ(fromPort, client.GetPort());

  ASSERT_TRUE(server.WriteTo("pong!", 5, from, fromPort));
  ASSERT_TRUE(client.ReadFrom(buffer, sizeof buffer, from, fromPort));
  EXPECT_EQ(std::string(buffer, 5), "pong!");
  EXPECT_EQ(fromPort, server.GetPort());

  // A connected datagram socket uses plain Read and Write.
  ZUDPSocket connected(server.GetPort());
  ASSERT_TRUE(connected.Connect("127.0.0.1"));
  ASSERT_TRUE(connected.Write("abc", 3));
  ASSERT_TRUE(server.ReadFrom(buffer, sizeof buffer, from, fromPort));
  EXPECT_EQ(std::string(buffer, 3), "abc");
  ASSERT_TRUE(server.WriteTo("reply", 5, from, fromPort));
  connected.SetReadTimeout(ZTimeInterval(10000));
  ASSERT_TRUE(connected.Read(buffer, sizeof buffer));
  EXPECT_EQ(connected.GetLastReadCount(), 5);

  server.SetReadTimeout(ZTimeInterval(300));
  EXPECT_FALSE(server.ReadFrom(buffer, sizeof buffer, from, fromPort));
  EXPECT_EQ(server.GetErrorCode(), ZChannel::Timeout);
}

TEST(UDPSocket, PeekTellsTheWholeLengthAndLeavesTheDatagram) {
  ZUDPSocket server;
  ZUDPSocket client;
  ASSERT_TRUE(server.Listen(0, 0));
  ASSERT_TRUE(client.Listen(0, 0));
  server.SetReadTimeout(ZTimeInterval(10000));
  const std::string largest(65507, 'd');
  for (const std::string& sent : {std::string("short"), largest, std::string()}) {
    SCOPED_TRACE(sent.size());
    ASSERT_TRUE(client.WriteTo(sent.data(), static_cast<ZIndex>(sent.size()), ZIPAddress(), server.GetPort()));
    ZIndex length = -1;
    ASSERT_TRUE(server.PeekDatagramLength(length));
    EXPECT_EQ(length, static_cast<ZIndex>(sent.size()));
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    ZIPAddress from(0);
    uint16_t fromPort = 0;
    // An empty datagram reads as nothing, but is taken all the same.
    EXPECT_EQ(server.ReadFrom(buffer.data(), static_cast<ZIndex>(buffer.size()), from, fromPort), !sent.empty());
    EXPECT_EQ(std::string(buffer.data(), static_cast<size_t>(server.GetLastReadCount())), sent);
  }
  // Nothing queued: the read time-out, then a close from another thread.
  server.SetReadTimeout(ZTimeInterval(200));
  ZIndex length = -1;
  EXPECT_FALSE(server.PeekDatagramLength(length));
  EXPECT_EQ(server.GetErrorCode(), ZChannel::Timeout);
  server.SetReadTimeout(ZInfinite);
  std::thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server.Close();
  });
  EXPECT_FALSE(server.PeekDatagramLength(length));
  closer.join();
  EXPECT_EQ(server.GetErrorCode(), ZChannel::Interrupted);
}

// ---------------------------------------------------------------- waits

TEST(SocketSelect, TwoSocketForm) {
  Pair a;
  Pair b;
  ASSERT_TRUE(a.Open());
  ASSERT_TRUE(b.Open());
  EXPECT_EQ(ZSocket::Select(a.server, b.server, ZTimeInterval(200)), 0);
  ASSERT_TRUE(b.client.Write("x", 1));
  EXPECT_EQ(ZSocket::Select(a.server, b.server, ZTimeInterval(10000)), 2);
  ASSERT_TRUE(a.client.Write("y", 1));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(ZSocket::Select(a.server, b.server), 3);
  char c;
  ASSERT_TRUE(b.server.Read(&c, 1));
  EXPECT_EQ(ZSocket::Select(a.server, b.server, ZTimeInterval(0)), 1);

  AssertCapture capture;
  ZTCPSocket unopened;
  EXPECT_LT(ZSocket::Select(a.server, unopened, ZTimeInterval(0)), 0);
  EXPECT_EQ(AssertCapture::LastMessage(), AssertTextOf(ZAssertFileNotOpen));
}

TEST(SocketSelect, ListFormKeepsReadySocketsOnly) {
  Pair a;
  Pair b;
  ASSERT_TRUE(a.Open());
  ASSERT_TRUE(b.Open());

  ZList reads;
  ZList writes;
  ZList excepts;
  for (ZList* list : {&reads, &writes, &excepts}) list->SetDeleteObjects(false);

  // Time-out: every list is emptied.
  reads.Append(&a.server);
  reads.Append(&b.server);
  excepts.Append(&a.server);
  EXPECT_TRUE(ZSocket::Select(&reads, nullptr, &excepts, ZTimeInterval(200)));
  EXPECT_EQ(reads.GetSize(), 0);
  EXPECT_EQ(excepts.GetSize(), 0);

  // Only b is readable; a's client is always writable.
  ASSERT_TRUE(b.client.Write("x", 1));
  reads.Append(&a.server);
  reads.Append(&b.server);
  writes.Append(&a.client);
  EXPECT_TRUE(ZSocket::Select(&reads, &writes, nullptr, ZTimeInterval(10000)));
  ASSERT_EQ(reads.GetSize(), 1);
  EXPECT_EQ(reads.GetAt(0), &b.server);
  ASSERT_EQ(writes.GetSize(), 1);
  EXPECT_EQ(writes.GetAt(0), &a.client);
  EXPECT_TRUE(a.server.IsOpen());  // unlinked, never deleted

  AssertCapture capture;
  // An owning list would delete what it unlinks: refused.
  ZList owning;
  owning.Append(new ZTCPSocket());
  EXPECT_FALSE(ZSocket::Select(&owning, nullptr, nullptr, ZTimeInterval(0)));
  EXPECT_EQ(AssertCapture::Count(), 1u);
  // More than 64 sockets do not fit in one wait; the list stays as it was.
  ZList many;
  many.SetDeleteObjects(false);
  for (int i = 0; i < 65; ++i) many.Append(&a.server);
  EXPECT_FALSE(ZSocket::Select(&many, nullptr, nullptr, ZTimeInterval(0)));
  EXPECT_EQ(many.GetSize(), 65);
  // Waiting on a socket that was never opened is misuse.
  ZTCPSocket unopened;
  ZList withUnopened;
  withUnopened.SetDeleteObjects(false);
  withUnopened.Append(&unopened);
  EXPECT_FALSE(ZSocket::Select(&withUnopened, nullptr, nullptr, ZTimeInterval(0)));
  EXPECT_EQ(AssertCapture::LastMessage(), AssertTextOf(ZAssertFileNotOpen));
  EXPECT_EQ(withUnopened.GetSize(), 1);
}

TEST(SocketSelect, WaitReportsWhatEachEntryWasWatchedFor) {
  Pair a;
  Pair b;
  ASSERT_TRUE(a.Open());
  ASSERT_TRUE(b.Open());

  // Time-out: nothing found.
  ZSocket::WaitEntry entries[5];
  entries[0].socket = &a.server;
  entries[0].wantRead = true;
  entries[1].socket = &b.server;
  entries[1].wantRead = true;
  entries[1].readable = true;  // stale answers are cleared
  EXPECT_TRUE(ZSocket::Wait(entries, 2, ZTimeInterval(200)));
  EXPECT_FALSE(entries[0].readable || entries[1].readable);

  // Readable and writable, each only where asked for.
  ASSERT_TRUE(b.client.Write("x", 1));
  entries[2].socket = &a.client;
  entries[2].wantWrite = true;
  EXPECT_TRUE(ZSocket::Wait(entries, 3, ZTimeInterval(0, 10)));
  EXPECT_FALSE(entries[0].readable);
  EXPECT_TRUE(entries[1].readable);
  EXPECT_FALSE(entries[1].writable);
  EXPECT_TRUE(entries[2].writable);
  EXPECT_FALSE(entries[2].readable);

  // More entries than the small table, one socket both ways.
  entries[3].socket = &b.client;
  entries[3].wantExcept = true;
  entries[4].socket = &b.server;
  entries[4].wantRead = true;
  entries[4].wantWrite = true;
  EXPECT_TRUE(ZSocket::Wait(entries, 5, ZTimeInterval(0, 10)));
  EXPECT_TRUE(entries[1].readable);
  EXPECT_TRUE(entries[2].writable);
  EXPECT_FALSE(entries[3].exceptional);
  EXPECT_TRUE(entries[4].readable);
  EXPECT_TRUE(entries[4].writable);

  // Watched for trouble only: a reset is found. Closing with unread data
  // resets the connection.
  ZSocket::WaitEntry watch;
  watch.socket = &b.client;
  watch.wantExcept = true;
  b.server.Close();
  EXPECT_TRUE(ZSocket::Wait(&watch, 1, ZTimeInterval(0, 10)));
  EXPECT_TRUE(watch.exceptional);
  EXPECT_FALSE(watch.readable || watch.writable);

  // A socket closed by the service ends the wait with Interrupted.
  a.server.Close();
  EXPECT_FALSE(ZSocket::Wait(entries, 1, ZTimeInterval(0)));
  EXPECT_EQ(a.server.GetErrorCode(), ZChannel::Interrupted);

  AssertCapture capture;
  ZSocket::WaitEntry many[ZSocket::kMaxSelect + 1];
  EXPECT_FALSE(ZSocket::Wait(many, ZSocket::kMaxSelect + 1, ZTimeInterval(0)));
  EXPECT_EQ(AssertCapture::Count(), 1u);
  ZSocket::WaitEntry missing;
  EXPECT_FALSE(ZSocket::Wait(&missing, 1, ZTimeInterval(0)));
  EXPECT_EQ(AssertCapture::LastMessage(), AssertTextOf(ZAssertNullPointer));
  ZTCPSocket unopened;
  ZSocket::WaitEntry never;
  never.socket = &unopened;
  never.wantRead = true;
  EXPECT_FALSE(ZSocket::Wait(&never, 1, ZTimeInterval(0)));
  EXPECT_EQ(AssertCapture::LastMessage(), AssertTextOf(ZAssertFileNotOpen));
}

TEST(SocketSelect, WaitTellsHangUpsAndFailuresWhateverWasWanted) {
  Pair pair;
  ASSERT_TRUE(pair.Open());
  // Watched for nothing: nothing is found until the time runs out.
  ZSocket::WaitEntry quiet;
  quiet.socket = &pair.server;
  EXPECT_TRUE(ZSocket::Wait(&quiet, 1, ZTimeInterval(100)));
  EXPECT_FALSE(quiet.hungUp || quiet.failed || quiet.readable || quiet.writable || quiet.exceptional);

  // Both directions over: a hang-up, found at once however long the wait,
  // and told apart from a failure.
  ASSERT_TRUE(pair.server.ShutdownWrite());
  ASSERT_TRUE(pair.client.ShutdownWrite());
  ZSocket::WaitEntry over;
  over.socket = &pair.server;
  over.wantExcept = true;
  EXPECT_TRUE(ZSocket::Wait(&over, 1, ZTimeInterval(0, 30)));
  EXPECT_TRUE(over.hungUp);
  EXPECT_FALSE(over.failed || over.exceptional || over.readable || over.writable);
  // The lists keep it where it was watched for trouble.
  ZList excepts;
  excepts.SetDeleteObjects(false);
  excepts.Append(&pair.server);
  EXPECT_TRUE(ZSocket::Select(nullptr, nullptr, &excepts, ZTimeInterval(0, 30)));
  EXPECT_EQ(excepts.GetSize(), 1);

  // A reset (closing with unread data) is a failure.
  Pair reset;
  ASSERT_TRUE(reset.Open());
  ASSERT_TRUE(reset.client.Write("unread", 6));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  reset.server.Close();
  ZSocket::WaitEntry broken;
  broken.socket = &reset.client;
  EXPECT_TRUE(ZSocket::Wait(&broken, 1, ZTimeInterval(0, 30)));
  EXPECT_TRUE(broken.failed);
}

// Occupies every descriptor number up to a limit so that the next sockets
// get numbers above it.
class HighDescriptors {
 public:
  explicit HighDescriptors(int above) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    if (limit.rlim_cur < static_cast<rlim_t>(above + 100)) {
      limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, static_cast<rlim_t>(above + 200));
      setrlimit(RLIMIT_NOFILE, &limit);
    }
    for (int i = 0; i < above + 10; ++i) {
      int fd = dup(0);
      if (fd < 0) break;
      held.push_back(fd);
      if (fd > above) break;
    }
  }
  ~HighDescriptors() {
    for (int fd : held) close(fd);
  }
  bool Reached(int above) const { return !held.empty() && held.back() > above; }

 private:
  std::vector<int> held;
};

TEST(SocketSelect, DescriptorsAbove1023Work) {
  HighDescriptors filler(1030);
  if (!filler.Reached(1030)) GTEST_SKIP() << "cannot raise the descriptor limit past 1030";
  Pair a;
  Pair b;
  ASSERT_TRUE(a.Open());
  ASSERT_TRUE(b.Open());
  EXPECT_GT(a.server.GetHandle(), 1023);
  EXPECT_GT(b.server.GetHandle(), 1023);

  a.server.SetReadTimeout(ZTimeInterval(200));
  char buffer[8];
  EXPECT_FALSE(a.server.Read(buffer, sizeof buffer));
  EXPECT_EQ(a.server.GetErrorCode(), ZChannel::Timeout);

  ASSERT_TRUE(b.client.Write("hi", 2));
  EXPECT_EQ(ZSocket::Select(a.server, b.server, ZTimeInterval(10000)), 2);
  ZList reads;
  reads.SetDeleteObjects(false);
  reads.Append(&a.server);
  reads.Append(&b.server);
  EXPECT_TRUE(ZSocket::Select(&reads, nullptr, nullptr, ZTimeInterval(10000)));
  ASSERT_EQ(reads.GetSize(), 1);
  EXPECT_EQ(reads.GetAt(0), &b.server);
  b.server.SetReadTimeout(ZTimeInterval(10000));
  EXPECT_TRUE(b.server.Read(buffer, sizeof buffer));
  EXPECT_EQ(b.server.GetLastReadCount(), 2);
}

// ---------------------------------------------------------------- closing from another thread

// Counts finished threads and lets the test wait for them with a bound.
class Finish {
 public:
  void Done() {
    std::lock_guard<std::mutex> lock(mutex);
    ++done;
    changed.notify_all();
  }
  bool WaitFor(int count, std::chrono::seconds bound) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, bound, [&] { return done >= count; });
  }

 private:
  std::mutex mutex;
  std::condition_variable changed;
  int done = 0;
};

TEST(SocketClose, WakesEveryBlockedThreadWithInterrupted) {
  constexpr int kRounds = 50;
  const int descriptorsBefore = OpenDescriptors();
  for (int round = 0; round < kRounds; ++round) {
    // Two listeners with three acceptors each, four readers, four pairs
    // waited on by Select (two of each form) and two datagram readers.
    ZTCPSocket listeners[2];
    for (auto& listener : listeners) ASSERT_TRUE(listener.Listen(5, 0));
    std::vector<std::unique_ptr<Pair>> pairs;
    for (int i = 0; i < 8; ++i) {
      pairs.push_back(std::make_unique<Pair>());
      ASSERT_TRUE(pairs.back()->Open());
    }
    ZUDPSocket datagrams[2];
    for (auto& datagram : datagrams) ASSERT_TRUE(datagram.Listen(0, 0));

    std::vector<std::thread> threads;
    std::vector<int> outcomes(18, -1);
    std::atomic<int> started{0};
    Finish finish;
    auto run = [&](int slot, auto body) {
      threads.emplace_back([&, slot, body] {
        started.fetch_add(1);
        outcomes[slot] = body();
        finish.Done();
      });
    };
    for (int i = 0; i < 6; ++i) {
      run(i, [&, i] {
        ZTCPSocket accepted;
        bool ok = accepted.Accept(listeners[i % 2]);
        return ok ? -2 : static_cast<int>(accepted.GetErrorCode());
      });
    }
    for (int i = 0; i < 4; ++i) {
      run(6 + i, [&, i] {
        char buffer[16];
        ZTCPSocket& socket = pairs[i]->server;
        return socket.Read(buffer, sizeof buffer) ? -2 : static_cast<int>(socket.GetErrorCode());
      });
    }
    for (int i = 0; i < 2; ++i) {
      run(10 + i, [&, i] {
        Pair& one = *pairs[4 + 2 * i];
        Pair& two = *pairs[5 + 2 * i];
        int result = ZSocket::Select(one.server, two.server);
        return result >= 0 ? -2 : static_cast<int>(one.server.GetErrorCode());
      });
      run(12 + i, [&, i] {
        ZList reads;
        reads.SetDeleteObjects(false);
        reads.Append(&pairs[4 + 2 * i]->server);
        reads.Append(&pairs[5 + 2 * i]->server);
        bool ok = ZSocket::Select(&reads, nullptr, nullptr);
        return ok ? -2 : static_cast<int>(pairs[4 + 2 * i]->server.GetErrorCode());
      });
    }
    for (int i = 0; i < 2; ++i) {
      run(14 + i, [&, i] {
        char buffer[16];
        ZIPAddress from;
        uint16_t port = 0;
        bool ok = datagrams[i].ReadFrom(buffer, sizeof buffer, from, port);
        return ok ? -2 : static_cast<int>(datagrams[i].GetErrorCode());
      });
    }
    // Two more readers block on sockets that another Select also watches.
    for (int i = 0; i < 2; ++i) {
      run(16 + i, [&, i] {
        char buffer[16];
        ZTCPSocket& socket = pairs[4 + i]->server;
        return socket.Read(buffer, sizeof buffer) ? -2 : static_cast<int>(socket.GetErrorCode());
      });
    }
    ASSERT_EQ(threads.size(), outcomes.size());

    for (int i = 0; i < 1000 && started.load() < static_cast<int>(threads.size()); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(round % 5 == 0 ? 30 : 5));

    auto closeStart = Clock::now();
    std::thread closer([&] {
      for (auto& listener : listeners) listener.Close();
      for (auto& pair : pairs) {
        pair->server.Close();
        pair->client.Close();
      }
      for (auto& datagram : datagrams) datagram.Close();
    });
    bool allWoke = finish.WaitFor(static_cast<int>(threads.size()), std::chrono::seconds(30));
    if (!allWoke) {
      std::fprintf(stderr, "round %d: a blocked thread did not wake after Close\n", round);
      std::abort();  // the blocked threads cannot be joined
    }
    EXPECT_LT(MillisecondsSince(closeStart), 30000);
    closer.join();
    for (auto& thread : threads) thread.join();
    for (size_t slot = 0; slot < outcomes.size(); ++slot) {
      EXPECT_EQ(outcomes[slot], ZChannel::Interrupted) << "round " << round << " slot " << slot;
    }
    if (HasFailure()) break;
  }
  // Every descriptor went back to the system once its last user left.
  EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
}

TEST(SocketClose, WokenThreadsNeverTouchAReusedDescriptor) {
  // Readers poll their own silent connection (its peer never sends) while
  // the sockets are closed and other threads keep opening connections that
  // carry data at once. A reader that used a descriptor number after it was
  // reused would read that foreign data.
  constexpr int kRounds = 20;
  constexpr int kReaders = 8;
  const int descriptorsBefore = OpenDescriptors();
  {  // every socket of the race is gone before the descriptors are counted
    ZTCPSocket foreignListener;
    ASSERT_TRUE(foreignListener.Listen(64, 0));
    std::atomic<bool> stopOpeners{false};
    std::atomic<int> foreignReads{0};
    std::atomic<int> opened{0};

    // Accepts connections and sends the tag into each, keeping a few alive.
    std::thread acceptor([&] {
      std::vector<std::unique_ptr<ZTCPSocket>> kept;
      for (;;) {
        auto accepted = std::make_unique<ZTCPSocket>();
        if (!accepted->Accept(foreignListener)) break;
        accepted->WriteString("FOREIGN!");
        kept.push_back(std::move(accepted));
        if (kept.size() > 32) kept.erase(kept.begin());
      }
    });
    std::vector<std::thread> openers;
    for (int i = 0; i < 2; ++i) {
      openers.emplace_back([&] {
        for (int n = 0; n < 100000 && !stopOpeners.load(); ++n) {
          ZTCPSocket connection(foreignListener.GetPort());
          if (connection.Connect("127.0.0.1")) {
            connection.WriteString("FOREIGN!");
            opened.fetch_add(1);
          }
        }
      });
    }

    for (int round = 0; round < kRounds; ++round) {
      std::vector<std::unique_ptr<Pair>> pairs;
      for (int i = 0; i < kReaders; ++i) {
        pairs.push_back(std::make_unique<Pair>());
        ASSERT_TRUE(pairs.back()->Open());
        pairs.back()->server.SetReadTimeout(ZTimeInterval(2));
      }
      std::vector<int> outcomes(kReaders, -1);
      std::vector<std::thread> readers;
      for (int i = 0; i < kReaders; ++i) {
        readers.emplace_back([&, i] {
          ZTCPSocket& socket = pairs[i]->server;
          char buffer[16];
          auto start = Clock::now();
          // Bounded: the socket is closed within a few milliseconds.
          while (MillisecondsSince(start) < 20000) {
            if (socket.Read(buffer, sizeof buffer)) {
              foreignReads.fetch_add(1);
              continue;
            }
            if (socket.GetErrorCode() != ZChannel::Timeout) break;
          }
          outcomes[i] = static_cast<int>(socket.GetErrorCode());
        });
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      for (auto& pair : pairs) pair->server.Close();
      for (auto& reader : readers) reader.join();
      for (int i = 0; i < kReaders; ++i) {
        EXPECT_EQ(outcomes[i], ZChannel::Interrupted) << "round " << round << " reader " << i;
      }
    }
    stopOpeners.store(true);
    for (auto& opener : openers) opener.join();
    foreignListener.Close();
    acceptor.join();
    EXPECT_EQ(foreignReads.load(), 0);
    EXPECT_GT(opened.load(), 0);
  }
  EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
}

}  // namespace
