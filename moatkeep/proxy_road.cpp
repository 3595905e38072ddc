// The steps of a connection's road that the relays and agents share once
// it is accepted: the dial-up gate, the destination, the access check and
// the link.
#include "proxy.h"
#include "restrictions.h"
#include "tcp_link.h"

void Proxy::WaitForRemote(ProxyThread& thread) { dialOnDemand.WaitForRemote(thread.ready); }

bool Proxy::GetRelayOverride(const ZString& relayName, SocketSpec& destination) const {
  return dialOnDemand.GetRelayOverride(relayName, destination);
}

bool Proxy::CheckAccess(const SocketSpec& originator, const SocketSpec& destination) {
  const std::shared_ptr<const Restrictions> current = restrictions.Get();
  return ::CheckAccess(hosts, *current, originator, destination, GetLinkTimeout(), *this);
}

bool Proxy::FindRelay(const ZString& name, SocketSpec& destination) const {
  std::lock_guard<std::mutex> lock(relaysMutex);
  auto found = relays.find(name.Text());
  if (found == relays.end()) return false;
  destination = found->second.destination;
  return true;
}

void Proxy::LogRelayRemoved(const ZString& name, const char* dropped) {
  Log(WarningLevel, "Relay \"%s\" was removed; %s.", name.Text(), dropped);
}

void Proxy::TCPLink(ZTCPSocket& client, ZTCPSocket& destination, const ZString& description, std::string_view early) {
  if (GetLogLevel() == InformationLevel) {
    Log(InformationLevel, "%s started from \"%s\" to \"%s\".", description.Text(), client.GetPeerHostName().Text(),
        destination.GetPeerHostName().Text());
  }
  // The destination goes with it: a stop or pause closes both, so the link
  // ends at once whichever side it waits on.
  activeSockets.Append(&client, &destination);

  ZIPAddress peer;
  UserHandle user;
  if (client.GetPeerAddress(peer)) user = hosts.Find(peer);

  LinkCounts counts;
  LinkSockets(client, destination, GetLinkTimeout(), user.get(), counts, *this, early);

  activeSockets.Remove(&client);
  Log(InformationLevel, "%s closed (sent %lu bytes, received %lu bytes).", description.Text(),
      static_cast<unsigned long>(counts.sent), static_cast<unsigned long>(counts.received));
}
