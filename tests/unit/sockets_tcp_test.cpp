// TCP sockets on loopback: listening, transfers, time-outs and deadlines,
// lingering, refused connects, closed sockets and misuse.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/assert_capture.h"
#include "support/loopback.h"
#include "support/waiting.h"
#include "zunder/sockets.h"

namespace {

using Clock = std::chrono::steady_clock;

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
  LoopbackPair pair;
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
  LoopbackPair pair;
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
  LoopbackPair pair;
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
  LoopbackPair pair;
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
  LoopbackPair pair;
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
  LoopbackPair pair;
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
  LoopbackPair pair;
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
  LoopbackPair pair;
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
  LoopbackPair pair;
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

  LoopbackPair pair;
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
  LoopbackPair pair;
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
  EXPECT_EQ(AssertCapture::LastMessage(), AssertCapture::TextOf(ZAssertFileNotOpen));

  ZUDPSocket datagram;
  EXPECT_FALSE(datagram.Accept(listener));
  EXPECT_EQ(AssertCapture::LastMessage(), "Illegal operation.");

  EXPECT_FALSE(noPort.WriteChar(256));
  EXPECT_EQ(AssertCapture::LastMessage(), AssertCapture::TextOf(ZAssertInvalidParameter));
}

}  // namespace
