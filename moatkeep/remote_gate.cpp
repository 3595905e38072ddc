#include "access_check.h"
#include "proxy.h"

void Proxy::WaitForRemote(ProxyThread& thread) { dialOnDemand.WaitForRemote(thread.ready); }

bool Proxy::GetRelayOverride(const ZString& relayName, SocketSpec& destination) const {
  return dialOnDemand.GetRelayOverride(relayName, destination);
}

bool Proxy::CheckAccess(const SocketSpec& originator, const SocketSpec& destination) {
  std::shared_ptr<const Restrictions> current;
  {
    std::lock_guard<std::mutex> lock(restrictionsMutex);
    current = restrictions;
  }
  return ::CheckAccess(hosts, *current, originator, destination, GetLinkTimeout(), *this);
}
