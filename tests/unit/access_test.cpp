// The access restrictions and the access check: the first matching
// originator decides, an empty table allows everything, and every checked
// host is registered whether it is let through or not.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host_registry.h"
#include "log_sink.h"
#include "restrictions.h"
#include "support/captured_log.h"
#include "zunder/config.h"

namespace {

SocketSpec Concrete(const char* text, uint16_t defaultPort = 23) {
  SocketSpec spec;
  EXPECT_TRUE(spec.Parse(text, defaultPort)) << text;
  return spec;
}

struct Decision {
  const char* originator;
  const char* destination;
  bool allowed;
};

void ExpectDecisions(const Restrictions& restrictions, const std::vector<Decision>& decisions) {
  for (const auto& d : decisions) {
    EXPECT_EQ(restrictions.Allows(Concrete(d.originator), Concrete(d.destination)), d.allowed)
        << d.originator << " -> " << d.destination;
  }
}

TEST(Restrictions, EmptyTableAllowsEverything) {
  Restrictions restrictions;
  EXPECT_TRUE(restrictions.IsEmpty());
  ExpectDecisions(restrictions, {{"1.2.3.4", "5.6.7.8", true}, {"192.168.1.1", "10.0.0.1:25", true}});
}

TEST(Restrictions, OneSubnetMayReachEverything) {
  Restrictions restrictions;
  ASSERT_TRUE(restrictions.Add("192.168.1.0", "0.0.0.0"));
  ExpectDecisions(restrictions, {
                                    {"192.168.1.7", "8.8.8.8", true},
                                    {"192.168.1.200", "10.1.2.3:80", true},
                                    {"192.168.2.7", "8.8.8.8", false},
                                    {"10.0.0.1", "192.168.1.7", false},
                                });
}

TEST(Restrictions, TheFirstMatchingOriginatorDecides) {
  // The exact host sorts before its subnet whatever the order of loading,
  // and its narrower entry is the only one consulted for it.
  for (bool exactFirst : {true, false}) {
    Restrictions restrictions;
    if (exactFirst) {
      ASSERT_TRUE(restrictions.Add("192.168.1.5", "10.0.0.0"));
    }
    ASSERT_TRUE(restrictions.Add("192.168.1.0", "0.0.0.0"));
    if (!exactFirst) {
      ASSERT_TRUE(restrictions.Add("192.168.1.5", "10.0.0.0"));
    }
    EXPECT_EQ(restrictions.Count(), 2);
    ExpectDecisions(restrictions, {
                                      {"192.168.1.5", "10.9.8.7", true},
                                      {"192.168.1.5", "11.0.0.1", false},
                                      {"192.168.1.6", "11.0.0.1", true},
                                      {"192.168.1.6", "10.9.8.7", true},
                                      {"192.168.3.6", "10.9.8.7", false},
                                  });
  }
}

TEST(Restrictions, PortsRestrictByPortOnly) {
  Restrictions restrictions;
  // Destination given with a port: that port on every host.
  ASSERT_TRUE(restrictions.Add("10.0.0.0", "127.0.0.1:23"));
  // Originator given with a port: every client of the service on that port.
  ASSERT_TRUE(restrictions.Add("127.0.0.1:2323", "0.0.0.0"));
  ExpectDecisions(restrictions, {
                                    {"10.1.1.1", "172.16.0.9:23", true},
                                    {"10.1.1.1", "172.16.0.9:25", false},
                                    {"192.168.7.7:2323", "8.8.8.8:80", true},
                                    {"192.168.7.7:2424", "8.8.8.8:80", false},
                                });
}

TEST(Restrictions, SeveralDestinationsForOneOriginatorWithoutDuplicates) {
  Restrictions restrictions;
  ASSERT_TRUE(restrictions.Add("10.0.0.0", "192.168.1.0"));
  ASSERT_TRUE(restrictions.Add("10.0.0.0", "172.16.0.0"));
  ASSERT_TRUE(restrictions.Add("10.0.0.0", "192.168.1.0"));
  EXPECT_EQ(restrictions.Count(), 1);
  ExpectDecisions(restrictions, {
                                    {"10.2.3.4", "192.168.1.9", true},
                                    {"10.2.3.4", "172.16.4.4", true},
                                    {"10.2.3.4", "192.168.2.9", false},
                                });
}

TEST(Restrictions, PairsThatDoNotParseAreSkipped) {
  Restrictions restrictions;
  EXPECT_FALSE(restrictions.Add("1.2.3", "0.0.0.0"));
  EXPECT_FALSE(restrictions.Add("0.0.0.0", "1.2.3.4.5"));
  EXPECT_FALSE(restrictions.Add("0.0.0.0", "host:/tcp"));
  EXPECT_FALSE(restrictions.Add("0.0.0.0:70000", "0.0.0.0"));
  EXPECT_FALSE(restrictions.Add(nullptr, "0.0.0.0"));
  EXPECT_TRUE(restrictions.IsEmpty());
  ASSERT_TRUE(restrictions.Add("10.0.0.0", "0.0.0.0"));
  restrictions.Clear();
  EXPECT_TRUE(restrictions.IsEmpty());
  ExpectDecisions(restrictions, {{"1.2.3.4", "5.6.7.8", true}});
}

TEST(Restrictions, LoadReplacesWithTheConfiguredSection) {
  char path[] = "/tmp/moatkeep-restrictions-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string ini =
      "[Security]\n"
      "192.168.1.5=10.0.0.0\n"
      "192.168.1.0=0.0.0.0\n"
      "1.2.3=0.0.0.0\n"
      "[Other]\n"
      "0.0.0.0=0.0.0.0\n";
  ASSERT_EQ(write(fd, ini.data(), ini.size()), static_cast<ssize_t>(ini.size()));
  close(fd);
  const ZConfig config("Security", ZConfig::File, path);

  Restrictions restrictions;
  ASSERT_TRUE(restrictions.Add("172.16.0.0", "0.0.0.0"));  // dropped by the load
  restrictions.Load(config);
  EXPECT_EQ(restrictions.Count(), 2);
  ExpectDecisions(restrictions, {
                                    {"192.168.1.5", "11.0.0.1", false},
                                    {"192.168.1.6", "11.0.0.1", true},
                                    {"172.16.1.1", "11.0.0.1", false},
                                });
  std::remove(path);
}

TEST(Restrictions, LoadLogsEveryPairItSkips) {
  char path[] = "/tmp/moatkeep-restrictions-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string ini =
      "[Security]\n"
      "192.168.1.*=0.0.0.0\n"
      "10.0.0.0/8=0.0.0.0\n"
      "127.0.0.1=10.0.0.0/8\n"
      "127.0.0.2=\n"  // emptied on the page: removed, not skipped
      "192.168.1.0=0.0.0.0\n";
  ASSERT_EQ(write(fd, ini.data(), ini.size()), static_cast<ssize_t>(ini.size()));
  close(fd);
  const ZConfig config("Security", ZConfig::File, path);
  Restrictions restrictions;
  CapturedLog log;
  restrictions.Load(config, "Security", &log);
  EXPECT_EQ(restrictions.Count(), 1);
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{
                             "1 Access restriction skipped: \"192.168.1.*\" to \"0.0.0.0\".",
                             "1 Access restriction skipped: \"10.0.0.0/8\" to \"0.0.0.0\".",
                             "1 Access restriction skipped: \"127.0.0.1\" to \"10.0.0.0/8\".",
                         }));
  std::remove(path);
}

TEST(Restrictions, PatternsAsTheTableReadsThem) {
  const std::pair<const char*, bool> cases[] = {
      {"192.168.1.0", true},  {" 10.0.0.1 ", true},    {"0.0.0.0:telnet", true}, {"localhost", true},
      {"192.168.1.*", false}, {"10.0.0.0/8", false},   {"(ASK)", false},         {"", false},
      {"1.2.3", false},       {"host.invalid", false},
  };
  for (const auto& [text, parsed] : cases) {
    SocketSpec pattern;
    EXPECT_EQ(Restrictions::ParsePattern(text, pattern), parsed) << text;
  }
}

// Connection threads check against one shared table at once. Each host has
// an entry of its own, ahead of a catch-all for the subnet: a reader that
// skipped a host's entry would let the catch-all allow what it denies.
TEST(Restrictions, ManyThreadsCheckingOneSharedTableDecideAlike) {
  constexpr int kHosts = 60;
  constexpr int kThreads = 8;
  constexpr int kChecks = 3000;
  Restrictions restrictions;
  for (int host = 1; host <= kHosts; ++host) {
    const std::string originator = "10.0.0." + std::to_string(host);
    const std::string destination = "0.0.0.0:" + std::to_string(2000 + host);
    ASSERT_TRUE(restrictions.Add(originator.c_str(), destination.c_str()));
  }
  ASSERT_TRUE(restrictions.Add("10.0.0.0", "0.0.0.0"));
  // Made before the threads start, and read only by them.
  std::vector<SocketSpec> hosts;
  std::vector<SocketSpec> ports;
  for (int host = 1; host <= kHosts; ++host) {
    hosts.push_back(Concrete(("10.0.0." + std::to_string(host)).c_str()));
    ports.push_back(Concrete(("192.168.1.1:" + std::to_string(2000 + host)).c_str()));
  }
  ASSERT_TRUE(restrictions.Allows(hosts[4], ports[4]));
  ASSERT_FALSE(restrictions.Allows(hosts[4], ports[5]));
  ASSERT_TRUE(restrictions.Allows(Concrete("10.9.9.9"), ports[5]));

  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(static_cast<unsigned>(t));
      for (int check = 0; check < kChecks; ++check) {
        const size_t host = random() % kHosts;
        const size_t port = random() % kHosts;
        if (restrictions.Allows(hosts[host], ports[port]) != (host == port)) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

// ---------------------------------------------------------------- the check

TEST(CheckAccess, AllowedConnectionsRegisterTheHostSilently) {
  HostRegistry hosts;
  Restrictions restrictions;
  CapturedLog log;
  const ZTimeInterval linkTimeout(0, 0, 60);
  EXPECT_TRUE(CheckAccess(hosts, restrictions, Concrete("10.1.1.1"), Concrete("10.2.2.2"), linkTimeout, log));
  ASSERT_TRUE(restrictions.Add("192.168.1.0", "0.0.0.0"));
  EXPECT_TRUE(CheckAccess(hosts, restrictions, Concrete("192.168.1.9"), Concrete("10.2.2.2"), linkTimeout, log));
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_EQ(hosts.Count(), 2);
  EXPECT_NE(hosts.Find(Concrete("10.1.1.1").address), nullptr);
  EXPECT_NE(hosts.Find(Concrete("192.168.1.9").address), nullptr);
}

TEST(CheckAccess, DeniedConnectionsAreLoggedAndStillRegistered) {
  HostRegistry hosts;
  Restrictions restrictions;
  ASSERT_TRUE(restrictions.Add("192.168.1.0", "0.0.0.0"));
  CapturedLog log;
  const SocketSpec originator(ZIPAddress(127, 0, 0, 1), 2323);
  const SocketSpec destination(ZIPAddress(127, 0, 0, 1), 23);
  EXPECT_FALSE(CheckAccess(hosts, restrictions, originator, destination, ZTimeInterval(0, 0, 60), log));

  const std::vector<std::string> lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  const std::string expectedByName = "2 Connection denied from localhost:2323 to localhost:23.";
  const std::string expectedDotted = "2 Connection denied from 127.0.0.1:2323 to 127.0.0.1:23.";
  EXPECT_TRUE(lines[0] == expectedByName || lines[0] == expectedDotted) << lines[0];

  const UserHandle user = hosts.Find(originator.address);
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(user->GetBytesSent(), 0u);
  EXPECT_EQ(user->GetBytesReceived(), 0u);
  EXPECT_GT(user->GetTimeToGo().GetMilliseconds(), 0);
}

}  // namespace
