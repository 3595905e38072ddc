// Host and service look-ups against the system's databases.
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "zunder/sockets.h"

namespace {

bool ServicesKnow(const char* name, const char* protocol) {
  servent entry{};
  servent* found = nullptr;
  char scratch[1024];
  return getservbyname_r(name, protocol, &entry, scratch, sizeof scratch, &found) == 0 && found != nullptr;
}

TEST(HostAndService, PortByService) {
  const struct {
    const char* service;
    uint16_t port;
  } cases[] = {
      {"nonsense 8080", 8080}, {"8080", 8080}, {"nonsense", 0}, {"", 0}, {"nonsense\t99", 99}, {"x-none\r\n", 0},
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
    if (getservbyport_r(htons(candidate), "tcp", &entry, scratch, sizeof scratch, &found) != 0 || found == nullptr) {
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

}  // namespace
