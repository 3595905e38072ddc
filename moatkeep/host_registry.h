// The register of originating hosts: one record per host address with the
// bytes relayed for it and the time it has left before it counts as gone.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "socket_spec.h"
#include "zunder/containers.h"
#include "zunder/strings.h"
#include "zunder/threads.h"
#include "zunder/time.h"

class UserInfo : public ZObject {
  Z_CLASS(UserInfo, ZObject)
 public:
  UserInfo() = default;  // timer stopped at 0, counters 0
  UserInfo(const UserInfo&) = delete;
  UserInfo& operator=(const UserInfo&) = delete;

  // Link threads count and restart without the registry's mutex, several at
  // once on one record; the counters wrap at 32 bits.
  void AddSent(uint32_t count) { bytesSent.fetch_add(count, std::memory_order_relaxed); }
  void AddReceived(uint32_t count) { bytesReceived.fetch_add(count, std::memory_order_relaxed); }
  uint32_t GetBytesSent() const { return bytesSent.load(std::memory_order_relaxed); }
  uint32_t GetBytesReceived() const { return bytesReceived.load(std::memory_order_relaxed); }

  // Starts the time to go afresh from linkTimeout.
  void Restart(const ZTimeInterval& linkTimeout) { timeToGo = linkTimeout; }
  ZTimeInterval GetTimeToGo() const { return timeToGo.GetRemaining(); }
  bool HasExpired() const { return timeToGo.GetRemaining().GetMilliseconds() <= 0; }

 private:
  ZTimer timeToGo;
  std::atomic<uint32_t> bytesSent{0};
  std::atomic<uint32_t> bytesReceived{0};
};

// Shared by the registry and every link of the host, so a record that is
// released or purged stays valid for the links still counting into it.
using UserHandle = std::shared_ptr<UserInfo>;

class HostRegistry {
 public:
  // One line of the status page.
  struct HostStatus {
    ZIPAddress address;
    ZTimeInterval timeToGo;
    uint32_t bytesSent;
    uint32_t bytesReceived;
  };

  HostRegistry();
  HostRegistry(const HostRegistry&) = delete;
  HostRegistry& operator=(const HostRegistry&) = delete;

  // The host's record, created when missing (expired records are purged
  // first), with its time to go restarted.
  UserHandle Register(const ZIPAddress& address, const ZTimeInterval& linkTimeout);
  // The host's record, or null.
  UserHandle Find(const ZIPAddress& address) const;
  // Removes the hosts named by dotted address and every expired one; answers
  // the dotted addresses of the removed hosts (the caller looks their names
  // up, outside the registry's lock).
  ZStringList Release(const ZStringList& dottedAddresses);
  // Removes every expired record; answers how many went.
  ZIndex Purge();
  // Purges, then lists the remaining hosts.
  std::vector<HostStatus> Snapshot();
  ZIndex Count() const;

 private:
  // The dictionary's data: one owner of a shared record.
  class HostEntry : public ZObject {
    Z_CLASS(HostEntry, ZObject)
   public:
    explicit HostEntry(UserHandle handle) : user(std::move(handle)) {}
    UserHandle user;
  };

  // Under the mutex. Removes expired records and those whose address is in
  // names (when given), appending the removed addresses to removed.
  ZIndex RemoveLocked(const ZStringList* names, ZStringList* removed);
  HostEntry* EntryAt(ZIndex index) const;

  mutable std::mutex mutex;
  ZDictionary hosts;  // SocketSpec(address, 0) -> HostEntry
};
