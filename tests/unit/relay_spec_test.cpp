// The relay table's text forms: host/socket specifications (relay
// destinations and address patterns), service descriptions, and the socket
// lists through which the service closes its sockets.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "service_description.h"
#include "socket_list.h"
#include "socket_spec.h"
#include "support/assert_capture.h"
#include "support/tcp_pair.h"
#include "zunder/sockets.h"

namespace {

// One label longer than 63 characters: the resolver refuses the name
// without sending a query, so it is unresolvable without touching the network.
std::string UnresolvableName() { return std::string(64, 'x') + ".invalid"; }

struct ParseCase {
  std::string text;
  uint16_t defaultPort;
  bool ok;
  const char* dotted;  // expected address when ok
  uint16_t port;       // expected port when ok
};

void ExpectParses(const ParseCase& c) {
  SCOPED_TRACE("\"" + c.text.substr(0, 60) + "\" default " + std::to_string(c.defaultPort));
  SocketSpec spec;
  ASSERT_EQ(spec.Parse(c.text.c_str(), c.defaultPort), c.ok);
  if (!c.ok) return;
  EXPECT_STREQ(spec.address.GetDotted().Text(), c.dotted);
  EXPECT_EQ(spec.port, c.port);
}

TEST(SocketSpecParse, RelayDestinations) {
  const std::vector<ParseCase> cases = {
      {"10.1.2.3", 23, true, "10.1.2.3", 23},    // no port part: the relay's own port
      {"10.1.2.3:0", 23, true, "10.1.2.3", 23},  // port 0 likewise
      {"10.1.2.3:25", 23, true, "10.1.2.3", 25},
      {"10.1.2.3:65535", 23, true, "10.1.2.3", 65535},
      {"10.1.2.3:", 23, true, "10.1.2.3", 23},  // empty service: unknown, default
      {"10.1.2.3:nosuchservice", 23, true, "10.1.2.3", 23},
      {"10.1.2.0", 23, true, "10.1.2.0", 23},  // no wildcards outside pattern form
      {"localhost", 80, true, "127.0.0.1", 80},
      {"localhost:8080", 80, true, "127.0.0.1", 8080},
      {UnresolvableName(), 23, true, "0.0.0.0", 23},  // accepted, connecting fails later
      {UnresolvableName() + ":25", 23, true, "0.0.0.0", 25},
  };
  for (const auto& c : cases) ExpectParses(c);
}

TEST(SocketSpecParse, ServiceNamesInThePortPart) {
  const uint16_t smtp = ZSocket::GetPortByService("tcp", "smtp");
  const uint16_t domainUdp = ZSocket::GetPortByService("udp", "domain");
  // The services database comes with the test packages (netbase).
  ASSERT_TRUE(smtp != 0 && domainUdp != 0) << "the services database lacks smtp or domain";
  const std::vector<ParseCase> cases = {
      {"10.1.2.3:smtp", 23, true, "10.1.2.3", smtp},
      {"10.1.2.3:smtp/tcp", 23, true, "10.1.2.3", smtp},
      {"10.1.2.3:domain/udp", 23, true, "10.1.2.3", domainUdp},
      {"10.1.2.3:smtp/xyz", 23, false, "", 0},
      {"10.1.2.3:smtp/UDP", 23, false, "", 0},  // protocols are lower case
      {"10.1.2.3:/tcp", 23, false, "", 0},
      {"10.1.2.3:/", 23, false, "", 0},
  };
  for (const auto& c : cases) ExpectParses(c);
}

TEST(SocketSpecParse, PortOutOfRangeFails) {
  for (const char* text : {"10.1.2.3:65536", "10.1.2.3:70000", "10.1.2.3:99999999999999999999"}) {
    SocketSpec spec;
    EXPECT_FALSE(spec.Parse(text, 23)) << text;
    EXPECT_FALSE(spec.Parse(text, SocketSpec::kNoPort)) << text;
  }
}

TEST(SocketSpecParse, PatternsSpreadWildcardsFromTheRight) {
  const uint16_t none = SocketSpec::kNoPort;
  const std::vector<ParseCase> cases = {
      {"192.168.1.0", none, true, "192.168.1.255", none},
      {"192.168.1.255", none, true, "192.168.1.255", none},
      {"10.0.0.0", none, true, "10.255.255.255", none},
      {"10.0.5.0", none, true, "10.0.5.255", none},
      {"0.0.0.0", none, true, "255.255.255.255", none},
      {"255.255.255.255", none, true, "255.255.255.255", none},
      {"0.5.0.0", none, true, "0.5.255.255", none},  // second octet stops the spread
      {"10.255.0.255", none, true, "10.255.255.255", none},
      {"10.0.0.7", none, true, "10.0.0.7", none},  // a concrete host
      {"10.0.7.0", none, true, "10.0.7.255", none},
      {"192.168.1.7:23", none, true, "192.168.1.7", 23},  // a port: host kept as written
      {"localhost", none, true, "127.0.0.1", none},       // names resolve, no wildcards
  };
  for (const auto& c : cases) ExpectParses(c);
}

TEST(SocketSpecParse, HostileTextsAreRefusedAsPatterns) {
  std::string binaryHost;
  for (int i = 0; i < 200; ++i) binaryHost += static_cast<char>(0x80 + i % 120);
  const std::vector<std::string> texts = {
      "",
      ":",
      "...",
      "1.2.3",
      "1.2.3.4.5",
      "256.1.1.1",
      "1.2.3.1000",
      "1..2.3",
      ".1.2.3",
      "1.2.3.",
      std::string(100000, 'a'),
      std::string(100000, '9'),
      std::string(5000, '.'),
      UnresolvableName(),
      binaryHost,
      binaryHost + ":\x01\x02",
      "host:/tcp",
      "host:smtp/xyz",
  };
  for (const auto& text : texts) {
    SocketSpec spec;
    EXPECT_FALSE(spec.Parse(text.c_str(), SocketSpec::kNoPort)) << text.substr(0, 40);
  }
  SocketSpec spec;
  EXPECT_FALSE(spec.Parse(nullptr, 23));
}

TEST(SocketSpecParse, UnresolvableRelayHostsBecomeTheNullAddress) {
  // Outside pattern form a host that is no address and no known name is
  // taken as 0.0.0.0; a broken port part still fails.
  const std::vector<ParseCase> cases = {
      {"1.2.3", 23, true, "0.0.0.0", 23},
      {"1.2.3.4.5", 23, true, "0.0.0.0", 23},
      {":", 23, true, "0.0.0.0", 23},
      {"...:99", 23, true, "0.0.0.0", 99},
      {std::string(100000, 'a'), 23, true, "0.0.0.0", 23},
      {"host:/tcp", 23, false, "", 0},
      {"host:smtp/xyz", 23, false, "", 0},
  };
  for (const auto& c : cases) ExpectParses(c);
}

struct MatchCase {
  const char* pattern;
  const char* concrete;  // parsed with a default port of 1000
  bool matches;
};

TEST(SocketSpecMatch, AddressPatternsAndPorts) {
  const std::vector<MatchCase> cases = {
      {"192.168.1.0", "192.168.1.7", true},
      {"192.168.1.0", "192.168.2.7", false},
      {"192.168.1.0", "192.168.1.0", true},
      {"10.0.0.0", "10.200.3.4", true},
      {"10.0.0.0", "11.0.0.1", false},
      {"10.0.5.0", "10.0.5.9", true},
      {"10.0.5.0", "10.0.6.9", false},
      {"0.0.0.0", "1.2.3.4", true},
      {"0.0.0.0", "255.255.255.254", true},
      {"0.5.0.0", "0.5.1.1", true},
      {"0.5.0.0", "1.5.1.1", false},
      {"10.0.0.7", "10.0.0.7", true},
      {"10.0.0.7", "10.0.0.8", false},
      {"192.168.1.7:23", "1.2.3.4:23", true},  // a port matches any address
      {"192.168.1.7:23", "192.168.1.7:24", false},
      {"192.168.1.7:23", "192.168.1.7", false},  // concrete port 1000
  };
  for (const auto& c : cases) {
    SocketSpec pattern;
    SocketSpec concrete;
    ASSERT_TRUE(pattern.Parse(c.pattern, SocketSpec::kNoPort)) << c.pattern;
    ASSERT_TRUE(concrete.Parse(c.concrete, 1000)) << c.concrete;
    EXPECT_EQ(pattern.Match(concrete), c.matches) << c.pattern << " vs " << c.concrete;
  }
}

TEST(SocketSpecValue, CompareHashCloneAndClassName) {
  const SocketSpec low(ZIPAddress(0, 255, 255, 255), 65535);
  const SocketSpec high(ZIPAddress(1, 0, 0, 0), 0);
  const SocketSpec highPort(ZIPAddress(1, 0, 0, 0), 1);
  // By the address in host order first, then by port.
  EXPECT_EQ(low.Compare(high), LessThan);
  EXPECT_EQ(high.Compare(low), GreaterThan);
  EXPECT_EQ(high.Compare(highPort), LessThan);
  EXPECT_EQ(highPort.Compare(SocketSpec(ZIPAddress(1, 0, 0, 0), 1)), EqualTo);

  EXPECT_EQ(SocketSpec(ZIPAddress(0, 0, 0, 46), 0).Hash(), 0u);
  EXPECT_EQ(SocketSpec(ZIPAddress(0, 0, 0, 1), 22).Hash(), 0u);
  EXPECT_EQ(SocketSpec(ZIPAddress(0, 0, 0, 1), 23).Hash(), 1u);
  EXPECT_EQ(SocketSpec(ZIPAddress(0, 0, 1, 0), 0).Hash(), 256u % 23);

  ZObject* copy = highPort.Clone();
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy->GetClass(), "SocketSpec");
  EXPECT_EQ(highPort.Compare(*copy), EqualTo);
  delete copy;

  AssertCapture capture;
  const ZIPAddress stranger(1, 0, 0, 0);
  high.Compare(stranger);
  EXPECT_EQ(AssertCapture::Count(), 1u);
}

TEST(SocketSpecValue, AsStringNamesTheHostAndPort) {
  const ZString withPort = SocketSpec(ZIPAddress(127, 0, 0, 1), 23).AsString();
  EXPECT_TRUE(withPort == "localhost:23" || withPort == "127.0.0.1:23") << withPort.Text();
  const ZString noPort = SocketSpec(ZIPAddress(127, 0, 0, 1), 0).AsString();
  EXPECT_TRUE(noPort == "localhost" || noPort == "127.0.0.1") << noPort.Text();
}

// ---------------------------------------------------------------- services

TEST(ServiceDescription, ValidDescriptions) {
  struct Case {
    const char* description;
    const char* protocol;
    uint16_t port;
  };
  const uint16_t socks = ZSocket::GetPortByService("tcp", "socks") != 0 ? ZSocket::GetPortByService("tcp", "socks")
                                                                        : 1080;
  const std::vector<Case> cases = {
      {"23", "tcp", 23},
      {"23/tcp", "tcp", 23},
      {"5353/udp", "udp", 5353},
      {"socks 1080/tcp", "tcp", socks},
      {"nosuchservice 4321", "tcp", 4321},
  };
  for (const auto& c : cases) {
    ZString name, protocol, errors;
    EXPECT_EQ(ParseService(c.description, name, protocol, errors), c.port) << c.description;
    EXPECT_STREQ(protocol.Text(), c.protocol);
    const ZString expected = ZSocket::GetServiceByPort(c.protocol, c.port) + "/" + c.protocol;
    EXPECT_STREQ(name.Text(), expected.Text());
    EXPECT_TRUE(errors.IsEmpty()) << errors.Text();
  }
}

TEST(ServiceDescription, TelnetAndItsPortShareOneName) {
  ASSERT_EQ(ZSocket::GetPortByService("tcp", "telnet"), 23) << "the services database lacks telnet";
  ZString byName, byPort, protocol, errors;
  EXPECT_EQ(ParseService("telnet", byName, protocol, errors), 23);
  EXPECT_EQ(ParseService("23/tcp", byPort, protocol, errors), 23);
  EXPECT_STREQ(byName.Text(), "telnet/tcp");
  EXPECT_STREQ(byPort.Text(), "telnet/tcp");
}

TEST(ServiceDescription, FailuresAppendTheirSentence) {
  struct Case {
    const char* description;
    const char* error;
  };
  const std::vector<Case> cases = {
      {"domain/UDP", "Invalid service description: \"domain/UDP\"."},
      {"telnet/xyz", "Invalid service description: \"telnet/xyz\"."},
      {"telnet/", "Invalid service description: \"telnet/\"."},
      {"nosuchservice", "Unknown service or port: \"nosuchservice\"."},
      {"", "Unknown service or port: \"\"."},
      {"/tcp", "Unknown service or port: \"/tcp\"."},
      {"0", "Unknown service or port: \"0\"."},
      {"65536", "Unknown service or port: \"65536\"."},
      {"70000/udp", "Unknown service or port: \"70000/udp\"."},
  };
  for (const auto& c : cases) {
    ZString name, protocol, errors;
    EXPECT_EQ(ParseService(c.description, name, protocol, errors), 0) << c.description;
    EXPECT_STREQ(errors.Text(), c.error);
  }
  ZString name, protocol, errors("earlier. ");
  EXPECT_EQ(ParseService("x/y", name, protocol, errors), 0);
  EXPECT_STREQ(errors.Text(), "earlier. Invalid service description: \"x/y\".");
}

// ---------------------------------------------------------------- socket lists

// A socket that tells when it is destroyed.
class TracedSocket : public ZTCPSocket {
 public:
  explicit TracedSocket(std::atomic<int>& destroyedCount) : destroyed(destroyedCount) {}
  ~TracedSocket() override { ++destroyed; }

 private:
  std::atomic<int>& destroyed;
};

TEST(SocketList, AppendRemoveAndOwnership) {
  std::atomic<int> destroyed{0};
  TracedSocket kept(destroyed);
  {
    SocketList active(false);
    EXPECT_TRUE(active.IsEmpty());
    active.Append(&kept);
    EXPECT_EQ(active.Count(), 1);
    EXPECT_TRUE(active.Contains(&kept));
    EXPECT_TRUE(active.Remove(&kept));
    EXPECT_TRUE(active.IsEmpty());
    active.Append(&kept);  // left in the list at its end: not owned, not deleted
  }
  EXPECT_EQ(destroyed.load(), 0);

  {
    SocketList master(true);
    auto* first = new TracedSocket(destroyed);
    master.Append(first);
    master.Append(new TracedSocket(destroyed));
    EXPECT_TRUE(master.Remove(first));  // an owning list destroys what it lets go
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_EQ(master.Count(), 1);
  }
  EXPECT_EQ(destroyed.load(), 2);  // and what it still holds at its end
}

TEST(SocketList, RemovingAnAbsentSocketIsReported) {
  AssertCapture capture;
  std::atomic<int> destroyed{0};
  TracedSocket stranger(destroyed);
  SocketList master(true);
  EXPECT_FALSE(master.Remove(&stranger));
  EXPECT_EQ(AssertCapture::LastMessage(), "Could not find active socket");
  EXPECT_EQ(destroyed.load(), 0);  // a socket it does not hold is left alone
  master.Append(nullptr);
  EXPECT_EQ(AssertCapture::Count(), 2u);
  EXPECT_TRUE(master.IsEmpty());
}

TEST(SocketList, CloseAllWakesAcceptingThreadsAndWaitsForThem) {
  SocketList master(true);
  constexpr int kListeners = 4;
  std::atomic<int> woken{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kListeners; ++i) {
    auto* listener = new ZTCPSocket();
    ASSERT_TRUE(listener->Listen(5, 0));
    master.Append(listener);
    threads.emplace_back([&master, &woken, listener] {
      ZTCPSocket client;
      const bool accepted = client.Accept(*listener);
      if (!accepted && listener->GetErrorCode() == ZChannel::Interrupted) ++woken;
      master.Remove(listener);  // as a relay thread does when its accept fails
    });
  }
  master.CloseAll();
  EXPECT_TRUE(master.IsEmpty());
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(woken.load(), kListeners);
}

// A link being set up as the service stops or pauses joins the list after
// the closing pass: it is closed all the same, or the wait would last as long
// as that link does (for ever, for an idle one).
TEST(SocketList, CloseAllAlsoClosesASocketAddedWhileItWaits) {
  SocketList active(false);
  TcpPair first;
  TcpPair second;
  std::promise<void> firstWoken;
  std::promise<void> secondListed;
  std::shared_future<void> listed = secondListed.get_future().share();
  active.Append(&first.far);
  // The first link's thread is slow to let go once woken: the second link
  // joins meanwhile.
  std::thread firstLink([&] {
    char byte;
    while (first.far.Read(&byte, 1)) {
    }
    firstWoken.set_value();
    listed.wait();
    active.Remove(&first.far);
  });
  auto closing = std::async(std::launch::async, [&] { active.CloseAll(); });
  firstWoken.get_future().wait();
  active.Append(&second.far);
  std::thread secondLink([&] {
    char byte;
    while (second.far.Read(&byte, 1)) {
    }
    active.Remove(&second.far);
  });
  secondListed.set_value();

  const bool returned = closing.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  EXPECT_TRUE(returned) << "CloseAll still waits for the link added meanwhile";
  if (!returned) second.far.Close();  // so that the test ends
  closing.wait();
  firstLink.join();
  secondLink.join();
  EXPECT_TRUE(active.IsEmpty());
}

TEST(SocketList, CloseAllOnAnEmptyListReturnsAtOnce) {
  SocketList active(false);
  active.CloseAll();
  EXPECT_TRUE(active.IsEmpty());
}

// Waits, a bounded time, until done says so.
template <typename Done>
bool AwaitState(Done done) {
  for (int i = 0; i < 1000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return done();
}

TEST(SocketList, SocketsAppendedDuringOrAfterCloseAllAreClosedAtOnce) {
  SocketList active(false);
  // A link that takes its time to end once closed: it lets go only after
  // the second link has come.
  TcpPair slow;
  std::atomic<bool> secondCame{false};
  active.Append(&slow.far);
  std::thread slowLink([&] {
    char byte;
    slow.far.Read(&byte, 1);
    AwaitState([&] { return secondCame.load(); });
    active.Remove(&slow.far);
  });
  std::atomic<bool> closedAll{false};
  std::thread stopper([&] {
    active.CloseAll();
    closedAll = true;
  });
  ASSERT_TRUE(AwaitState([&] { return !slow.far.IsOpen(); }));  // the closing pass is done

  // A link that starts now (a client that has just finished typing its
  // destination, a SOCKS grant) with its other side as partner.
  TcpPair late;
  TcpPair lateOther;
  active.Append(&late.far, &lateOther.far);
  ZChannel::Error lateError = ZChannel::NoError;
  std::thread lateLink([&] {
    char byte;
    late.far.SetReadTimeout(ZTimeInterval(0, 10));
    late.far.Read(&byte, 1);
    lateError = late.far.GetErrorCode();
    active.Remove(&late.far);
  });
  secondCame = true;
  lateLink.join();
  slowLink.join();
  stopper.join();
  EXPECT_TRUE(closedAll.load());
  // Closed at once, not left to time out.
  EXPECT_EQ(lateError, ZChannel::Interrupted);
  EXPECT_FALSE(lateOther.far.IsOpen());
  EXPECT_TRUE(active.IsEmpty());

  // After the close-all too.
  TcpPair after;
  active.Append(&after.far);
  EXPECT_FALSE(after.far.IsOpen());
  EXPECT_TRUE(active.Remove(&after.far));
}

TEST(SocketList, ReopenedListKeepsWhatIsAppended) {
  SocketList active(false);
  active.CloseAll();
  EXPECT_TRUE(active.IsClosed());
  active.Reopen();
  EXPECT_FALSE(active.IsClosed());
  TcpPair link;
  TcpPair other;
  active.Append(&link.far, &other.far);
  EXPECT_TRUE(link.far.IsOpen());
  EXPECT_TRUE(other.far.IsOpen());
  // A close-all closes the partner with its socket.
  std::thread holder([&] {
    char byte;
    link.far.Read(&byte, 1);
    active.Remove(&link.far);
  });
  active.CloseAll();
  holder.join();
  EXPECT_FALSE(other.far.IsOpen());
  EXPECT_TRUE(active.IsEmpty());
}

}  // namespace
