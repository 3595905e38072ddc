// The parts of the HTTP tunnel that read text: a CONNECT request's target
// and the "Connect Ports" list.
#include "http_tunnel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
