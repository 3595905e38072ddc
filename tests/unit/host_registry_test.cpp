// The register of originating hosts: one shared record per address, expiry
// of idle hosts, release from the status page, and records that stay valid
// for the links still counting into them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "host_registry.h"

namespace {

const ZIPAddress kFirst(192, 168, 1, 7);
const ZIPAddress kSecond(192, 168, 1, 8);
const ZTimeInterval kLong(0, 0, 60);  // one minute
const ZTimeInterval kShort(30);       // 30 ms

// Waits (at most two seconds) until the record's time to go has run out.
bool WaitUntilExpired(const UserInfo& user) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!user.HasExpired()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

TEST(UserInfo, StartsStoppedAtZero) {
  UserInfo user;
  EXPECT_STREQ(user.GetClass(), "UserInfo");
  EXPECT_EQ(user.GetTimeToGo().GetMilliseconds(), 0);
  EXPECT_TRUE(user.HasExpired());
  EXPECT_EQ(user.GetBytesSent(), 0u);
  EXPECT_EQ(user.GetBytesReceived(), 0u);
  user.Restart(kLong);
  EXPECT_FALSE(user.HasExpired());
  EXPECT_LE(user.GetTimeToGo().GetMilliseconds(), kLong.GetMilliseconds());
  EXPECT_GT(user.GetTimeToGo().GetMilliseconds(), kLong.GetMilliseconds() - 5000);
}

TEST(UserInfo, CountersWrapAt32Bits) {
  UserInfo user;
  user.AddSent(0xfffffff0u);
  user.AddSent(0x20u);
  EXPECT_EQ(user.GetBytesSent(), 0x10u);
  user.AddReceived(7);
  EXPECT_EQ(user.GetBytesReceived(), 7u);
}

TEST(HostRegistry, ConnectionsOfOneHostShareOneRecord) {
  HostRegistry hosts;
  EXPECT_EQ(hosts.Find(kFirst), nullptr);
  const UserHandle telnet = hosts.Register(kFirst, kLong);
  const UserHandle smtp = hosts.Register(kFirst, kLong);
  ASSERT_NE(telnet, nullptr);
  EXPECT_EQ(telnet, smtp);
  EXPECT_EQ(hosts.Find(kFirst), telnet);
  EXPECT_EQ(hosts.Count(), 1);
  telnet->AddSent(100);
  smtp->AddSent(50);
  smtp->AddReceived(9);
  EXPECT_EQ(hosts.Find(kFirst)->GetBytesSent(), 150u);
  EXPECT_EQ(hosts.Find(kFirst)->GetBytesReceived(), 9u);

  EXPECT_NE(hosts.Register(kSecond, kLong), telnet);
  EXPECT_EQ(hosts.Count(), 2);
}

TEST(HostRegistry, ExpiredRecordsGoWhenANewHostArrives) {
  HostRegistry hosts;
  const UserHandle first = hosts.Register(kFirst, kShort);
  ASSERT_TRUE(WaitUntilExpired(*first));
  // Registering a host that is already there purges nothing.
  hosts.Register(kSecond, kLong);
  EXPECT_EQ(hosts.Count(), 1);
  EXPECT_EQ(hosts.Find(kFirst), nullptr);
  EXPECT_NE(hosts.Find(kSecond), nullptr);
}

TEST(HostRegistry, RegistrationRestartsTheTimeToGo) {
  HostRegistry hosts;
  const UserHandle first = hosts.Register(kFirst, kShort);
  ASSERT_TRUE(WaitUntilExpired(*first));
  EXPECT_EQ(hosts.Register(kFirst, kLong), first);  // its own return revives it
  hosts.Register(kSecond, kLong);
  EXPECT_EQ(hosts.Find(kFirst), first);
}

TEST(HostRegistry, SnapshotPurgesAndReportsTheCounters) {
  HostRegistry hosts;
  const UserHandle expiring = hosts.Register(kFirst, kShort);
  const UserHandle live = hosts.Register(kSecond, kLong);
  live->AddSent(1234);
  live->AddReceived(5678);
  ASSERT_TRUE(WaitUntilExpired(*expiring));

  const std::vector<HostRegistry::HostStatus> lines = hosts.Snapshot();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].address, kSecond);
  EXPECT_EQ(lines[0].bytesSent, 1234u);
  EXPECT_EQ(lines[0].bytesReceived, 5678u);
  EXPECT_GT(lines[0].timeToGo.GetMilliseconds(), 0);
  EXPECT_LE(lines[0].timeToGo.GetMilliseconds(), kLong.GetMilliseconds());
  EXPECT_EQ(hosts.Count(), 1);
  EXPECT_EQ(hosts.Purge(), 0);
}

TEST(HostRegistry, ReleaseRemovesNamedAndExpiredHosts) {
  HostRegistry hosts;
  const ZIPAddress third(10, 0, 0, 3);
  hosts.Register(kFirst, kLong)->AddSent(500);
  const UserHandle expiring = hosts.Register(kSecond, kShort);
  hosts.Register(third, kLong);
  ASSERT_TRUE(WaitUntilExpired(*expiring));

  ZStringList request;
  request.Append("192.168.1.7");
  request.Append("172.16.0.1");  // not registered: ignored
  const ZStringList removed = hosts.Release(request);
  ASSERT_EQ(removed.GetSize(), 2);
  std::vector<std::string> names = {removed.GetAt(0)->Text(), removed.GetAt(1)->Text()};
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"192.168.1.7", "192.168.1.8"}));
  EXPECT_EQ(hosts.Count(), 1);
  EXPECT_NE(hosts.Find(third), nullptr);

  // A host that comes back after its release starts from 0.
  const UserHandle again = hosts.Register(kFirst, kLong);
  EXPECT_EQ(again->GetBytesSent(), 0u);
  EXPECT_EQ(hosts.Release(ZStringList()).GetSize(), 0);
}

TEST(HostRegistry, ALinkKeepsItsRecordAfterTheRelease) {
  HostRegistry hosts;
  UserHandle link = hosts.Register(kFirst, kLong);
  ZStringList request;
  request.Append("192.168.1.7");
  ASSERT_EQ(hosts.Release(request).GetSize(), 1);
  EXPECT_EQ(hosts.Find(kFirst), nullptr);
  // The link goes on counting and restarting into the released record.
  link->AddSent(10);
  link->AddReceived(20);
  link->Restart(kLong);
  EXPECT_EQ(link->GetBytesSent(), 10u);
  EXPECT_EQ(link->GetBytesReceived(), 20u);
  EXPECT_EQ(link.use_count(), 1);  // the registry let go of it
  // The host's next connection gets a fresh record.
  EXPECT_NE(hosts.Register(kFirst, kLong), link);
}

TEST(HostRegistry, ConcurrentCountingIsExact) {
  HostRegistry hosts;
  constexpr int kThreads = 8;
  constexpr int kRounds = 5000;
  std::atomic<bool> stop{false};
  std::vector<UserHandle> held(kThreads);
  for (auto& handle : held) handle = hosts.Register(kFirst, kLong);

  // Meanwhile the status page releases and purges, and new connections
  // register, so records come and go under the counting threads.
  std::thread page([&] {
    ZStringList request;
    request.Append("192.168.1.7");
    for (int i = 0; i < 2000 && !stop.load(); ++i) {
      hosts.Release(request);
      hosts.Register(kFirst, kLong);
      hosts.Snapshot();
    }
  });
  std::vector<std::thread> links;
  for (int t = 0; t < kThreads; ++t) {
    links.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        held[t]->AddSent(1);
        held[t]->AddReceived(2);
        if (i % 100 == 0) held[t]->Restart(kLong);
      }
    });
  }
  for (auto& link : links) link.join();
  stop = true;
  page.join();

  // Every thread counted into the same record it was handed at the start.
  const UserHandle shared = held[0];
  for (const auto& handle : held) EXPECT_EQ(handle, shared);
  EXPECT_EQ(shared->GetBytesSent(), static_cast<uint32_t>(kThreads * kRounds));
  EXPECT_EQ(shared->GetBytesReceived(), static_cast<uint32_t>(2 * kThreads * kRounds));
}

}  // namespace
