#include "host_registry.h"

HostRegistry::HostRegistry() = default;

UserHandle HostRegistry::Register(const ZIPAddress& address, const ZTimeInterval& linkTimeout) {
  const SocketSpec key(address, 0);
  std::lock_guard<std::mutex> lock(mutex);
  auto* entry = static_cast<HostEntry*>(hosts.GetAt(key));
  if (entry == nullptr) {
    RemoveLocked(nullptr, nullptr);
    UserHandle user = std::make_shared<UserInfo>();
    entry = new HostEntry(user);
    if (!hosts.SetAt(key, entry)) {
      // The dictionary refused (and deleted) the entry; the caller still
      // gets a record to count into, it just does not show.
      user->Restart(linkTimeout);
      return user;
    }
  }
  entry->user->Restart(linkTimeout);
  return entry->user;
}

UserHandle HostRegistry::Find(const ZIPAddress& address) const {
  std::lock_guard<std::mutex> lock(mutex);
  const auto* entry = static_cast<const HostEntry*>(hosts.GetAt(SocketSpec(address, 0)));
  return entry != nullptr ? entry->user : nullptr;
}

ZStringList HostRegistry::Release(const ZStringList& dottedAddresses) {
  ZStringList removed;
  std::lock_guard<std::mutex> lock(mutex);
  RemoveLocked(&dottedAddresses, &removed);
  return removed;
}

ZIndex HostRegistry::Purge() {
  std::lock_guard<std::mutex> lock(mutex);
  return RemoveLocked(nullptr, nullptr);
}

std::vector<HostRegistry::HostStatus> HostRegistry::Snapshot() {
  std::vector<HostStatus> list;
  std::lock_guard<std::mutex> lock(mutex);
  RemoveLocked(nullptr, nullptr);
  list.reserve(static_cast<size_t>(hosts.GetSize()));
  for (ZIndex i = 0; i < hosts.GetSize(); ++i) {
    const auto* key = static_cast<const SocketSpec*>(hosts.GetKeyAt(i));
    const UserInfo& user = *EntryAt(i)->user;
    list.push_back({key->address, user.GetTimeToGo(), user.GetBytesSent(), user.GetBytesReceived()});
  }
  return list;
}

ZIndex HostRegistry::Count() const {
  std::lock_guard<std::mutex> lock(mutex);
  return hosts.GetSize();
}

ZIndex HostRegistry::RemoveLocked(const ZStringList* names, ZStringList* removed) {
  ZIndex count = 0;
  // Removal renumbers the elements, so step back after each one.
  for (ZIndex i = 0; i < hosts.GetSize(); ++i) {
    const SocketSpec key = *static_cast<const SocketSpec*>(hosts.GetKeyAt(i));
    bool remove = EntryAt(i)->user->HasExpired();
    if (!remove && names != nullptr) {
      const ZString dotted = key.address.GetDotted();
      for (ZIndex n = 0; n < names->GetSize() && !remove; ++n) remove = *names->GetAt(n) == dotted;
    }
    if (!remove) continue;
    if (removed != nullptr) removed->Append(key.address.GetDotted());
    hosts.RemoveAt(key);
    ++count;
    --i;
  }
  return count;
}

HostRegistry::HostEntry* HostRegistry::EntryAt(ZIndex index) const {
  return static_cast<HostEntry*>(hosts.GetDataAt(index));
}
