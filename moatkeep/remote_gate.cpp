#include "access_check.h"
#include "proxy.h"

void Proxy::WaitForRemote(ProxyThread& /*thread*/) {
  // Without configured remote systems there is no link to bring up: every
  // destination is reachable directly.
}

bool Proxy::CheckAccess(const SocketSpec& originator, const SocketSpec& destination) {
  std::shared_ptr<const Restrictions> current;
  {
    std::lock_guard<std::mutex> lock(restrictionsMutex);
    current = restrictions;
  }
  return ::CheckAccess(hosts, *current, originator, destination, GetLinkTimeout(), *this);
}
