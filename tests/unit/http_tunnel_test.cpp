// The HTTP tunnel: the parts that read text (a CONNECT request's target and
// the "Connect Ports" list), and the road of one request through a service
// that records what it is asked, over real loopback connections.
#include "http_tunnel.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "support/captured_log.h"

namespace {

TEST(TunnelTargetTest, HostsAndPortsAsClientsWriteThem) {
  struct Case {
    const char* text;
    bool parsed;
    const char* host;
    uint16_t port;
    const char* shown;
  };
  const std::string longest(255, 'a');
  const std::string tooLong(256, 'a');
  const std::vector<Case> cases = {
      {"example.com:443", true, "example.com", 443, "example.com:443"},
      {"127.0.0.1:8443", true, "127.0.0.1", 8443, "127.0.0.1:8443"},
      {"Mixed-Case_host.test:1", true, "Mixed-Case_host.test", 1, "Mixed-Case_host.test:1"},
      {"a:65535", true, "a", 65535, "a:65535"},
      {"[::1]:443", true, "::1", 443, "[::1]:443"},
      {"example.com", false, "", 0, ""},
      {"example.com:", false, "", 0, ""},
      {":443", false, "", 0, ""},
      {"example.com:0", false, "", 0, ""},
      {"example.com:65536", false, "", 0, ""},
      {"example.com:044300", false, "", 0, ""},
      {"example.com:+443", false, "", 0, ""},
      {"example.com:443x", false, "", 0, ""},
      {"http://example.com:443", false, "", 0, ""},
      {"exa mple.com:443", false, "", 0, ""},
      {"example.com/x:443", false, "", 0, ""},
      {"user@example.com:443", false, "", 0, ""},
      {"exa\"mple:443", false, "", 0, ""},
      {"[]:443", false, "", 0, ""},
      {"[::1:443", false, "", 0, ""},
      {"[example.com]:443", false, "", 0, ""},
  };
  for (const Case& test : cases) {
    TunnelTarget target;
    EXPECT_EQ(ParseTunnelTarget(ZString(test.text), target), test.parsed) << test.text;
    if (!test.parsed) continue;
    EXPECT_EQ(std::string(target.host.Text()), test.host) << test.text;
    EXPECT_EQ(target.port, test.port) << test.text;
    EXPECT_EQ(std::string(target.AsString().Text()), test.shown) << test.text;
  }
  TunnelTarget target;
  EXPECT_TRUE(ParseTunnelTarget(ZString((longest + ":443").c_str()), target));
  EXPECT_FALSE(ParseTunnelTarget(ZString((tooLong + ":443").c_str()), target));
}

TEST(TunnelTargetTest, TheLogLinesNameTheTarget) {
  TunnelTarget target;
  ASSERT_TRUE(ParseTunnelTarget(ZString("example.com:443"), target));
  EXPECT_EQ(std::string(TunnelDescription(target).Text()), "HTTP tunnel to \"example.com:443\"");
}

TEST(ConnectPortsTest, ListsAsTheConfigurationHoldsThem) {
  struct Case {
    const char* text;
    bool good;
    std::vector<uint16_t> ports;
    const char* bad;
  };
  const std::vector<Case> cases = {
      {"443", true, {443}, ""},
      {"443 8443", true, {443, 8443}, ""},
      {"  443\t 8443  ", true, {443, 8443}, ""},
      {"1 65535", true, {1, 65535}, ""},
      {"443 443", true, {443}, ""},
      {"", true, {}, ""},
      {"0 443", false, {443}, "0"},
      {"443 65536", false, {443}, "65536"},
      {"443,8443", false, {}, "443,8443"},
      {"https 8443 x", false, {8443}, "https"},
      {"-443", false, {}, "-443"},
  };
  for (const Case& test : cases) {
    ConnectPorts ports;
    ZString bad;
    EXPECT_EQ(ports.Parse(ZString(test.text), &bad), test.good) << test.text;
    EXPECT_EQ(ports.Ports(), test.ports) << test.text;
    EXPECT_EQ(std::string(bad.Text()), test.bad) << test.text;
    for (uint16_t port : test.ports) EXPECT_TRUE(ports.Contains(port)) << test.text;
  }
  ConnectPorts defaults;
  ASSERT_TRUE(defaults.Parse(ZString(ConnectPorts::kDefault)));
  EXPECT_TRUE(defaults.Contains(443));
  EXPECT_FALSE(defaults.Contains(80));
  EXPECT_FALSE(defaults.Contains(8443));
}

// Records the steps a tunnel takes; the link reads what the destination
// got and answers it to the client.
class RecordingTunnels : public TunnelService {
 public:
  explicit RecordingTunnels(uint16_t allowedPort, bool allowAccess) : port(allowedPort), access(allowAccess) {}

  bool IsConnectPort(uint16_t asked) override { return asked == port; }
  void WaitForRemote() override { steps.push_back("gate"); }
  bool CheckAccess(const SocketSpec&, const SocketSpec& destination) override {
    steps.push_back("access " + std::string(destination.address.GetDotted().Text()) + ":" +
                    std::to_string(destination.port));
    return access;
  }
  void AddActiveSocket(ZSocket&) override { ++listed; }
  void RemoveActiveSocket(ZSocket&) override { --listed; }
  void LinkTunnel(ZTCPSocket&, ZTCPSocket&, const ZString& description, std::string_view early) override {
    steps.push_back(std::string("link ") + description.Text());
    linkedEarly = std::string(early);
    listedDuringLink = listed;
  }
  LogSink& GetLog() override { return log; }

  std::vector<std::string> steps;
  std::string linkedEarly;
  int listed = 0;
  int listedDuringLink = -1;
  CapturedLog log;

 private:
  uint16_t port;
  bool access;
};

class TunnelSocket : public ZHTTPSocket {
 public:
  TunnelSocket(ZIPSocket& listener, TunnelService& tunnels) : ZHTTPSocket(listener, ZHTTPSpace()), service(tunnels) {}
  bool OnCONNECT(const ZString& target, const ZMIMEInfo&) override {
    RunTunnel(*this, target, service);
    return false;
  }

 private:
  TunnelService& service;
};

// Sends request in one write, serves it with RunTunnel and answers what
// the client read back.
std::string Serve(const std::string& request, TunnelService& tunnels) {
  ZTCPSocket listener;
  EXPECT_TRUE(listener.Listen(5, 0, true));
  ZTCPSocket client(listener.GetPort());
  EXPECT_TRUE(client.Connect("127.0.0.1"));
  client.Write(request.data(), static_cast<ZIndex>(request.size()));
  std::thread server([&] {
    TunnelSocket socket(listener, tunnels);
    socket.ProcessCommand();
    socket.EndConnection(ZTimeInterval(200));
  });
  std::string answer;
  char buffer[4096];
  client.SetReadTimeout(ZTimeInterval(0, 10));
  for (int reads = 0; reads < 100 && client.Read(buffer, sizeof buffer) && client.GetLastReadCount() > 0; ++reads) {
    answer.append(buffer, static_cast<size_t>(client.GetLastReadCount()));
  }
  server.join();
  return answer;
}

TEST(RunTunnelTest, EachRefusalComesAtItsStepAndGoesNoFurther) {
  ZTCPSocket destination;
  ASSERT_TRUE(destination.Listen(5, 0, true));
  const uint16_t open = destination.GetPort();
  const std::string openText = std::to_string(open);
  // A port that nothing listens on: one just freed.
  uint16_t closed = 0;
  {
    ZTCPSocket probe;
    ASSERT_TRUE(probe.Listen(1, 0, true));
    closed = probe.GetPort();
  }
  const std::string closedText = std::to_string(closed);
  struct Case {
    std::string target;
    uint16_t allowed;
    bool access;
    const char* status;
    std::string page;
    std::vector<std::string> steps;
  };
  const std::vector<Case> cases = {
      {"127.0.0.1:" + openText,
       static_cast<uint16_t>(open + 1),
       true,
       " 403 Forbidden\r\n",
       "Tunnels to port " + openText + " are not allowed.",
       {}},
      {"nosuch.invalid:" + openText,
       open,
       true,
       " 502 Bad Gateway\r\n",
       "Could not resolve nosuch.invalid:" + openText,
       {"gate"}},
      {"127.0.0.1:" + openText,
       open,
       false,
       " 403 Forbidden\r\n",
       "Connection denied to 127.0.0.1:" + openText,
       {"gate", "access 127.0.0.1:" + openText}},
      {"127.0.0.1:" + closedText,
       closed,
       true,
       " 502 Bad Gateway\r\n",
       "Could not connect to 127.0.0.1:" + closedText + ": Connection refused",
       {"gate", "access 127.0.0.1:" + closedText}},
      {"127.0.0.1:x", open, true, " 400 Bad Request\r\n", "Malformed CONNECT target 127.0.0.1:x", {}},
  };
  for (const Case& test : cases) {
    RecordingTunnels tunnels(test.allowed, test.access);
    const std::string answer = Serve("CONNECT " + test.target + " HTTP/1.0\r\n\r\n", tunnels);
    EXPECT_EQ(answer.rfind(std::string("HTTP/1.0") + test.status, 0), 0u) << test.target << ": " << answer;
    EXPECT_NE(answer.find(test.page), std::string::npos) << test.target << ": " << answer;
    EXPECT_EQ(tunnels.steps, test.steps) << test.target;
    EXPECT_EQ(tunnels.listed, 0) << test.target;
  }
}

TEST(RunTunnelTest, AnEstablishedTunnelIsLinkedWithTheBytesBehindTheRequest) {
  ZTCPSocket destination;
  ASSERT_TRUE(destination.Listen(5, 0, true));
  const std::string port = std::to_string(destination.GetPort());
  RecordingTunnels tunnels(destination.GetPort(), true);
  const std::string answer = Serve("CONNECT localhost:" + port + " HTTP/1.1\r\nHost: localhost:" + port +
                                       "\r\n\r\n\x16\x03\x01"
                                       "hello",
                                   tunnels);
  EXPECT_EQ(answer, "HTTP/1.0 200 Connection established\r\n\r\n");
  const std::vector<std::string> steps = {"gate", "access 127.0.0.1:" + port,
                                          "link HTTP tunnel to \"localhost:" + port + "\""};
  EXPECT_EQ(tunnels.steps, steps);
  // The request came in one write: its tail waited in the buffer.
  EXPECT_EQ(tunnels.linkedEarly,
            "\x16\x03\x01"
            "hello");
  // The connect's sockets were listed only while it lasted.
  EXPECT_EQ(tunnels.listedDuringLink, 0);
}

}  // namespace
