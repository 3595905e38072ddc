// The relay engine's units that need no service around them: checking relay
// lines, opening master sockets, the "(ASK)" line editing and the link copy.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "ask_dialogue.h"
#include "relay_setup.h"
#include "socket_list.h"
#include "support/captured_log.h"
#include "support/tcp_pair.h"
#include "tcp_link.h"
#include "zunder/sockets.h"

namespace {

std::string ReadAll(ZSocket& socket, size_t atMost) {
  std::string data;
  char buffer[4096];
  socket.SetReadTimeout(ZTimeInterval(0, 5));
  while (data.size() < atMost && socket.Read(buffer, sizeof buffer)) data.append(buffer, socket.GetLastReadCount());
  return data;
}

// Fixes a socket's buffer size (the system then no longer tunes it).
void SetBuffer(ZSocket& socket, int option, int bytes) {
  ASSERT_EQ(setsockopt(socket.GetHandle(), SOL_SOCKET, option, &bytes, sizeof bytes), 0);
}

// count bytes from socket, or fewer when it ends or 10 s pass.
std::string ReadExactly(ZSocket& socket, size_t count) {
  std::string data;
  std::vector<char> buffer(65536);
  socket.SetReadTimeout(ZTimeInterval(0, 10));
  while (data.size() < count) {
    const ZIndex want = static_cast<ZIndex>(std::min(buffer.size(), count - data.size()));
    if (!socket.Read(buffer.data(), want)) break;
    data.append(buffer.data(), socket.GetLastReadCount());
  }
  return data;
}

std::string Pattern(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return data;
}

// Processor time of the whole process, in seconds.
double ProcessorSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

struct PlanCase {
  const char* description;
  const char* relayPoint;
  bool ok;
  std::string logLine;  // when not ok
};

TEST(RelaySetupTest, PlansAndRejectsRelayLines) {
  const std::string name = ZSocket::GetServiceByPort("tcp", 18023).Text();
  const std::string udpName = ZSocket::GetServiceByPort("udp", 18023).Text();
  const std::vector<PlanCase> cases = {
      {"18023", "127.0.0.1:25", true, ""},
      {"18023", "(ASK)", true, ""},
      {"18023", "(HTTP)", true, ""},
      {"18023/udp", "127.0.0.1", true, ""},
      {"18023/UDP", "127.0.0.1", false, "1 Invalid service description: \"18023/UDP\"."},
      {"nosuchservice", "127.0.0.1", false, "1 Unknown service or port: \"nosuchservice\"."},
      {"18023", "(ask)", false, "1 Invalid special relay name \"(ask)\" for service \"" + name + "/tcp\"."},
      {"18023/udp", "(FTP)", false, "1 Invalid special relay for UDP service \"" + udpName + "/udp\"."},
      {"18023", "127.0.0.1:65536", false,
       "1 Invalid relay point \"127.0.0.1:65536\" for service \"" + name + "/tcp\"."},
  };
  for (const PlanCase& c : cases) {
    SCOPED_TRACE(std::string(c.description) + " = " + c.relayPoint);
    CapturedLog log;
    RelayPlan plan;
    EXPECT_EQ(PlanRelay(c.description, c.relayPoint, plan, log), c.ok);
    if (c.ok) {
      EXPECT_TRUE(log.Lines().empty());
      EXPECT_EQ(plan.port, 18023);
    } else {
      EXPECT_EQ(log.Lines(), std::vector<std::string>{c.logLine});
    }
  }
}

TEST(RelaySetupTest, PlainRelayWithoutPortUsesTheServicePort) {
  CapturedLog log;
  RelayPlan plan;
  ASSERT_TRUE(PlanRelay("18023", "127.0.0.1", plan, log));
  EXPECT_EQ(plan.kind, RelayKind::PlainTCP);
  EXPECT_EQ(plan.destination.port, 18023);
  ASSERT_TRUE(PlanRelay("18023/udp", "127.0.0.1:0", plan, log));
  EXPECT_EQ(plan.kind, RelayKind::PlainUDP);
  EXPECT_EQ(plan.destination.port, 18023);
  ASSERT_TRUE(PlanRelay("18023", "(ASK)", plan, log));
  EXPECT_EQ(plan.kind, RelayKind::Ask);
}

TEST(RelaySetupTest, MasterSocketOnAPortInUseIsLogged) {
  ZTCPSocket taken;
  ASSERT_TRUE(taken.Listen(1, 0, true));
  CapturedLog log;
  RelayPlan plan;
  const std::string port = std::to_string(taken.GetPort());
  ASSERT_TRUE(PlanRelay(port.c_str(), "(ASK)", plan, log));
  EXPECT_EQ(OpenMasterSocket(plan, log), nullptr);
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"1 Cannot create master socket for service \"" +
                                                  std::string(plan.name.Text()) + "\": Address already in use"});
  taken.Close();
  ZIPSocket* master = OpenMasterSocket(plan, log);
  ASSERT_NE(master, nullptr);
  EXPECT_TRUE(master->IsOpen());
  delete master;
}

TEST(CopyAvailableTest, MovesWhatIsWaitingAndClosesAtTheEnd) {
  TcpPair in;
  TcpPair out;
  CapturedLog log;
  const std::string payload(10000, 'x');
  ASSERT_TRUE(in.near.WriteString(payload.c_str()));
  // Let everything arrive, then copy without blocking.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  in.far.SetReadTimeout(ZTimeInterval(0));
  EXPECT_EQ(CopyAvailable(in.far, out.near, log), payload.size());
  EXPECT_TRUE(in.far.IsOpen());
  EXPECT_EQ(CopyAvailable(in.far, out.near, log), 0u);  // nothing waiting
  EXPECT_TRUE(in.far.IsOpen());
  EXPECT_EQ(ReadAll(out.far, payload.size()), payload);
  in.near.Close();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(CopyAvailable(in.far, out.near, log), 0u);
  EXPECT_FALSE(in.far.IsOpen());  // end of stream closes the source
  EXPECT_TRUE(log.Lines().empty());
}

struct LineCase {
  const char* name;
  std::string typed;
  HostLineResult result;
  std::string line;
  std::string echoed;  // after "host> "
};

TEST(HostLineTest, EditsEchoesAndEnds) {
  const std::string erase = "\x08 \x08";
  const std::vector<LineCase> cases = {
      {"plain", "example:25\r", HostLineResult::Read, "example:25", "example:25\r\n"},
      {"line feed", "h\n", HostLineResult::Read, "h", "h\r\n"},
      {"backspace and delete",
       "ab\x08"
       "c\x7f"
       "d\r",
       HostLineResult::Read, "ad", "ab" + erase + "c" + erase + "d\r\n"},
      {"backspace on empty line", "\x08x\r", HostLineResult::Read, "x", erase + "x\r\n"},
      {"controls ignored",
       "a\x01\x1b"
       "b\r",
       HostLineResult::Read, "ab", "ab\r\n"},
      {"end of stream", "abc", HostLineResult::Failed, "abc", "abc"},
      {"never ends", std::string(5000, '\x02'), HostLineResult::TooLong, "", ""},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.name);
    TcpPair pair;
    ZString line;
    HostLineResult result = HostLineResult::Failed;
    std::thread server([&] { result = ReadHostLine(pair.far, line, ZTimeInterval(200), ZTimeInterval(0, 5)); });
    // Sent before the prompt: swallowed.
    ASSERT_TRUE(pair.near.WriteString("before"));
    pair.near.SetReadTimeout(ZTimeInterval(0, 5));
    char prompt[6];
    ASSERT_TRUE(pair.near.Read(prompt, sizeof prompt));
    std::string got(prompt, pair.near.GetLastReadCount());
    while (got.size() < 6 && pair.near.Read(prompt, 6 - got.size())) got.append(prompt, pair.near.GetLastReadCount());
    EXPECT_EQ(got, "host> ");
    ASSERT_TRUE(pair.near.WriteString(c.typed.c_str()) || c.typed.empty());
    if (c.result == HostLineResult::Failed) pair.near.ShutdownWrite();
    server.join();
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(std::string(line.Text()), c.line);
    pair.far.Close();
    EXPECT_EQ(ReadAll(pair.near, 100000), c.echoed);
  }
}

TEST(HostLineTest, SilentClientTimesOut) {
  TcpPair pair;
  ZString line;
  EXPECT_EQ(ReadHostLine(pair.far, line, ZTimeInterval(50), ZTimeInterval(200)), HostLineResult::Failed);
  EXPECT_EQ(pair.far.GetErrorCode(), ZChannel::Timeout);
}

// Reads what the relay writes until text has come (or time is up).
bool AwaitText(ZSocket& socket, const std::string& text, const ZTimeInterval& wait) {
  std::string got;
  char buffer[256];
  socket.SetReadTimeout(wait);
  for (int reads = 0; reads < 1000 && got.find(text) == std::string::npos; ++reads) {
    if (!socket.Read(buffer, sizeof buffer)) return false;
    got.append(buffer, socket.GetLastReadCount());
  }
  return got.find(text) != std::string::npos;
}

TEST(HostLineTest, TrickledLineIsCutOffByTheLineTime) {
  TcpPair pair;
  ZString line;
  HostLineResult result = HostLineResult::Read;
  std::atomic<bool> ended{false};
  std::thread server([&] {
    result = ReadHostLine(pair.far, line, ZTimeInterval(50), ZTimeInterval(400));
    ended.store(true);
  });
  ASSERT_TRUE(AwaitText(pair.near, "host> ", ZTimeInterval(0, 10)));
  // One character every 40 ms, each well inside the line time, would end
  // the line after 2 s: the line time bounds the whole line instead.
  constexpr int kCharacters = 50;
  int sent = 0;
  while (sent < kCharacters && !ended.load()) {
    if (!pair.near.Write("a", 1)) break;
    ++sent;
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
  }
  pair.near.Write("\r", 1);
  server.join();
  EXPECT_EQ(result, HostLineResult::Failed);
  EXPECT_EQ(pair.far.GetErrorCode(), ZChannel::Timeout);
  EXPECT_LT(sent, kCharacters);
  EXPECT_LT(line.GetLength(), kCharacters);
}

TEST(HostLineTest, EndlessSwallowingIsCutOffByTimeAndBytes) {
  // A byte just inside every quiet period: the prompt comes after a few
  // periods all the same, and the line is read after it.
  {
    TcpPair pair;
    ZString line;
    HostLineResult result = HostLineResult::Failed;
    std::thread server([&] { result = ReadHostLine(pair.far, line, ZTimeInterval(400), ZTimeInterval(0, 10)); });
    constexpr int kBytes = 200;  // 10 s of bytes every 50 ms
    bool prompted = false;
    for (int sent = 0; sent < kBytes && !prompted; ++sent) {
      ASSERT_TRUE(pair.near.Write("\x01", 1));  // a control character: ignored on the line
      prompted = AwaitText(pair.near, "host> ", ZTimeInterval(50));
    }
    EXPECT_TRUE(prompted);
    ASSERT_TRUE(pair.near.WriteString("example\r"));
    server.join();
    EXPECT_EQ(result, HostLineResult::Read);
    EXPECT_STREQ(line.Text(), "example");
  }
  // A flood: the prompt comes once 64 KiB are swallowed, long before the
  // client falls quiet, and the rest of the flood is no host name.
  {
    TcpPair pair;
    ZString line;
    HostLineResult result = HostLineResult::Read;
    std::thread server([&] { result = ReadHostLine(pair.far, line, ZTimeInterval(0, 30), ZTimeInterval(0, 30)); });
    const std::string flood(100 * 1024, 'f');
    std::thread writer([&] { pair.near.WriteString(flood.c_str()); });
    EXPECT_TRUE(AwaitText(pair.near, "host> ", ZTimeInterval(0, 10)));
    server.join();
    pair.far.Close();
    writer.join();
    EXPECT_EQ(result, HostLineResult::TooLong);
  }
}

TEST(LinkSocketsTest, HalfCloseKeepsTheWayBack) {
  TcpPair client;       // near: the user, far: the relay's client side
  TcpPair destination;  // near: the relay's outgoing side, far: the server
  CapturedLog log;
  LinkCounts counts;
  std::thread link([&] { LinkSockets(client.far, destination.near, ZTimeInterval(0, 1), nullptr, counts, log); });

  const std::string request(70000, 'q');
  ASSERT_TRUE(client.near.WriteString(request.c_str()));
  ASSERT_TRUE(client.near.ShutdownWrite());
  // The server sees the whole request and its end, then answers.
  EXPECT_EQ(ReadAll(destination.far, request.size() + 1), request);
  const std::string answer(300000, 'a');
  ASSERT_TRUE(destination.far.WriteString(answer.c_str()));
  destination.far.Close();
  EXPECT_EQ(ReadAll(client.near, answer.size() + 1), answer);
  link.join();
  EXPECT_EQ(counts.sent, request.size());
  EXPECT_EQ(counts.received, answer.size());
  EXPECT_TRUE(log.Lines().empty());
}

TEST(LinkSocketsTest, ClosingTheClientSideEndsTheLink) {
  TcpPair client;
  TcpPair destination;
  CapturedLog log;
  LinkCounts counts;
  std::thread link([&] { LinkSockets(client.far, destination.near, ZInfinite, nullptr, counts, log); });
  ASSERT_TRUE(client.near.WriteString("abc"));
  EXPECT_EQ(ReadAll(destination.far, 3), "abc");
  client.near.ShutdownWrite();  // half-closed: only the way back is watched
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  client.far.Close();  // as the service does on stop or pause
  link.join();
  EXPECT_EQ(counts.sent, 3u);
  EXPECT_TRUE(log.Lines().empty());
}

TEST(LinkSocketsTest, WaitingWithTheDestinationOverBothWaysCostsNoProcessorTime) {
  TcpPair client;
  TcpPair destination;
  // A narrow way to the user: the answer waits in the link for the user to
  // take it.
  SetBuffer(client.far, SO_SNDBUF, 4096);
  SetBuffer(client.near, SO_RCVBUF, 4096);
  CapturedLog log;
  LinkCounts counts;
  std::thread link([&] { LinkSockets(client.far, destination.near, ZInfinite, nullptr, counts, log); });

  ASSERT_TRUE(client.near.WriteString("request"));
  ASSERT_TRUE(client.near.ShutdownWrite());
  EXPECT_EQ(ReadAll(destination.far, 8), "request");
  // Small enough to reach the link whole, end included, while the user
  // reads nothing: the destination's side is then over both ways.
  const std::string answer = Pattern(60000);
  ASSERT_TRUE(destination.far.WriteString(answer.c_str()));
  destination.far.Close();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  const double before = ProcessorSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const double used = ProcessorSeconds() - before;
  // A wait that returns at once, over and over, takes the whole second.
  EXPECT_LT(used, 0.3);

  const std::string delivered = ReadExactly(client.near, answer.size());
  EXPECT_EQ(delivered.size(), answer.size());
  EXPECT_TRUE(delivered == answer);
  link.join();
  EXPECT_EQ(counts.sent, 7u);
  EXPECT_EQ(counts.received, answer.size());
  EXPECT_TRUE(log.Lines().empty());
}

TEST(LinkSocketsTest, WaitingWithTheClientOverBothWaysIsEndedByTheServiceClosingTheLink) {
  TcpPair client;
  TcpPair destination;
  // A destination that takes nothing: the request waits in the link.
  SetBuffer(destination.near, SO_SNDBUF, 4096);
  SetBuffer(destination.far, SO_RCVBUF, 4096);
  // As the service holds its links.
  SocketList active(false);
  active.Append(&client.far, &destination.near);
  CapturedLog log;
  LinkCounts counts;
  std::thread link([&] {
    LinkSockets(client.far, destination.near, ZInfinite, nullptr, counts, log);
    active.Remove(&client.far);
  });
  // The destination has nothing to say and ends its side; the client sends
  // its request and ends too.
  ASSERT_TRUE(destination.far.ShutdownWrite());
  EXPECT_EQ(ReadAll(client.near, 1), "");
  const std::string request = Pattern(60000);
  ASSERT_TRUE(client.near.WriteString(request.c_str()));
  ASSERT_TRUE(client.near.ShutdownWrite());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const double before = ProcessorSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_LT(ProcessorSeconds() - before, 0.3);
  // A stop or pause, while the link waits for the destination alone.
  active.CloseAll();
  link.join();
  EXPECT_TRUE(active.IsEmpty());
  EXPECT_TRUE(log.Lines().empty());
}

TEST(LinkSocketsTest, UrgentBytesTravelInTheStream) {
  // While both ways are idle, and while the client's bytes wait for a
  // destination that is not reading: the urgent byte is carried in place,
  // nothing is lost and the link goes on.
  for (const bool destinationBusy : {false, true}) {
    SCOPED_TRACE(destinationBusy ? "destination busy" : "idle");
    TcpPair client;
    TcpPair destination;
    if (destinationBusy) {
      SetBuffer(destination.near, SO_SNDBUF, 4096);
      SetBuffer(destination.far, SO_RCVBUF, 4096);
    }
    CapturedLog log;
    LinkCounts counts;
    std::thread link([&] { LinkSockets(client.far, destination.near, ZInfinite, nullptr, counts, log); });

    const std::string head = destinationBusy ? Pattern(100000) : std::string("abc");
    ASSERT_TRUE(client.near.WriteString(head.c_str()));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(client.near.WriteOutOfBand("!", 1));
    ASSERT_TRUE(client.near.WriteString("tail"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::string carried = ReadExactly(destination.far, head.size() + 5);
    EXPECT_EQ(carried.size(), head.size() + 5);
    EXPECT_TRUE(carried == head + "!tail");

    // The way back, urgent byte included, and the link is still there.
    ASSERT_TRUE(destination.far.WriteString("back"));
    ASSERT_TRUE(destination.far.WriteOutOfBand("?", 1));
    EXPECT_EQ(ReadExactly(client.near, 5), "back?");
    ASSERT_TRUE(client.near.WriteString("more"));
    EXPECT_EQ(ReadExactly(destination.far, 4), "more");

    client.near.ShutdownWrite();
    destination.far.ShutdownWrite();
    link.join();
    EXPECT_EQ(counts.sent, head.size() + 9);
    EXPECT_EQ(counts.received, 5u);
    EXPECT_TRUE(log.Lines().empty());
  }
}

TEST(LinkSocketsTest, EarlyBytesGoFirstAndAreCounted) {
  // A few bytes, and more than one small chunk.
  for (const size_t size : {size_t{5}, size_t{10000}}) {
    SCOPED_TRACE(size);
    TcpPair client;
    TcpPair destination;
    CapturedLog log;
    LinkCounts counts;
    UserInfo user;
    const std::string early = Pattern(size);
    std::thread link([&] { LinkSockets(client.far, destination.near, ZInfinite, &user, counts, log, early); });
    ASSERT_TRUE(client.near.WriteString("then"));
    const std::string carried = ReadExactly(destination.far, size + 4);
    EXPECT_TRUE(carried == early + "then");
    ASSERT_TRUE(destination.far.WriteString("back"));
    EXPECT_EQ(ReadExactly(client.near, 4), "back");
    client.near.ShutdownWrite();
    destination.far.ShutdownWrite();
    link.join();
    EXPECT_EQ(counts.sent, size + 4);
    EXPECT_EQ(counts.received, 4u);
    EXPECT_EQ(user.GetBytesSent(), size + 4);
    EXPECT_EQ(user.GetBytesReceived(), 4u);
    EXPECT_TRUE(log.Lines().empty());
  }
}

}  // namespace
