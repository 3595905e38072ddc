// Remote systems read from their configuration sections.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "remote_system.h"
#include "support/captured_log.h"
#include "zunder/sockets.h"

namespace {

class RemoteSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zunder-remote-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory = pattern;
    path = directory + "/moatkeep.INI";
  }
  void TearDown() override {
    std::remove(path.c_str());
    std::remove((path + ".lock").c_str());
    rmdir(directory.c_str());
  }
  ZConfig Write(const std::string& text) {
    std::ofstream(path) << text;
    return ZConfig("Globals", ZConfig::File, path.c_str());
  }
  std::string directory;
  std::string path;
};

TEST_F(RemoteSystemTest, ReadsSectionsUpToTheFirstWithoutAName) {
  const ZConfig config = Write(
      "[Relays]\n18023=127.0.0.1\n18024=127.0.0.1\n18025=127.0.0.1\n18026/udp=127.0.0.1\n"
      "[Remote1]\nRemote Name=alpha\nDial Retries=5\nDisconnect Time=2\nConnection Time Limit=3\n"
      "Connection Time Period=4\n18023=10.0.0.1:2000\n18024=127.0.0.1:99999\n18025=(ASK)\n18026/udp=10.0.0.2\n"
      "[Remote2]\nRemote Name=.5550100\n"
      "[Remote3]\nRemote Name=\n"
      "[Remote4]\nRemote Name=never\n");
  CapturedLog log;
  const RemoteSystemList systems = LoadRemoteSystems(config, config.GetKeys("Relays"), log);
  ASSERT_EQ(systems.size(), 2u);

  const RemoteSystem& alpha = *systems[0];
  EXPECT_EQ(alpha.name, ZString("alpha"));
  EXPECT_EQ(alpha.dialRetries, 5);
  EXPECT_EQ(alpha.disconnectTime, ZTimeInterval(0, 0, 2));
  EXPECT_EQ(alpha.connectionTimeLimit, ZTimeInterval(0, 0, 0, 3));
  EXPECT_EQ(alpha.connectionTimePeriod, ZTimeInterval(0, 0, 0, 0, 4));
  EXPECT_EQ(alpha.timeUsed, ZTimeInterval(0));

  SocketSpec destination;
  const ZString tcpName = ZSocket::GetServiceByPort("tcp", 18023) + "/tcp";
  ASSERT_TRUE(alpha.GetRelayOverride(tcpName, destination));
  EXPECT_EQ(destination.address.GetDotted(), ZString("10.0.0.1"));
  EXPECT_EQ(destination.port, 2000);
  // Without a port the relay's own port is meant.
  const ZString udpName = ZSocket::GetServiceByPort("udp", 18026) + "/udp";
  ASSERT_TRUE(alpha.GetRelayOverride(udpName, destination));
  EXPECT_EQ(destination.port, 18026);
  EXPECT_FALSE(alpha.GetRelayOverride(ZSocket::GetServiceByPort("tcp", 18024) + "/tcp", destination));
  EXPECT_FALSE(alpha.GetRelayOverride(ZSocket::GetServiceByPort("tcp", 18025) + "/tcp", destination));
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"1 Invalid relay point: \"127.0.0.1:99999\".",
                                                   "1 Invalid relay point: \"(ASK)\"."}));

  const RemoteSystem& number = *systems[1];
  EXPECT_EQ(number.name, ZString(".5550100"));
  EXPECT_EQ(number.dialRetries, 3);
  EXPECT_EQ(number.disconnectTime, ZTimeInterval(0, 0, 30));
  EXPECT_EQ(number.connectionTimeLimit, ZTimeInterval(0));
  EXPECT_EQ(number.connectionTimePeriod, ZTimeInterval(0));
  EXPECT_FALSE(number.GetRelayOverride(tcpName, destination));
}

TEST_F(RemoteSystemTest, NoFirstSectionMeansNoSystems) {
  const ZConfig config = Write("[Relays]\n18023=127.0.0.1\n[Remote2]\nRemote Name=orphan\n");
  CapturedLog log;
  EXPECT_TRUE(LoadRemoteSystems(config, config.GetKeys("Relays"), log).empty());
  EXPECT_EQ(RemoteSectionName(12), ZString("Remote12"));
}

}  // namespace
