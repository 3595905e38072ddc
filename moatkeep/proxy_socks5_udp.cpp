// SOCKS 5's UDP ASSOCIATE: a UDP port of the agent's relays datagrams
// between the client and the destinations their headers name, in the
// thread of the client's TCP connection, until that connection ends or
// nothing has moved for the UDP time-out.
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "proxy.h"
#include "socks_request.h"

namespace {

// An address and port as a key.
using Endpoint = std::pair<uint32_t, uint16_t>;

// What one association remembers is bounded: a client naming ever new
// destinations makes it forget and check again, never grow.
constexpr size_t kRememberedLimit = 256;

void Send(ZSocket& client, const std::string& bytes) { client.Write(bytes.data(), static_cast<ZIndex>(bytes.size())); }

template <typename Map>
void MakeRoom(Map& map) {
  if (map.size() >= kRememberedLimit) map.clear();
}

// The destinations of one association: names resolved, access decided
// (and logged) once each, and those the client has sent to, whose
// datagrams alone come back.
class Destinations {
 public:
  bool Resolve(const std::string& name, ZIPAddress& address) {
    const auto found = names.find(name);
    if (found != names.end()) {
      address = ZIPAddress(found->second);
      return true;
    }
    if (!ZSocket::GetHostAddress(name.c_str(), address)) return false;
    MakeRoom(names);
    names[name] = address.GetValue();
    return true;
  }

  template <typename Check>
  bool Allowed(const Endpoint& destination, Check check) {
    const auto found = decisions.find(destination);
    if (found != decisions.end()) return found->second;
    const bool allowed = check();
    MakeRoom(decisions);
    decisions[destination] = allowed;
    return allowed;
  }

  void SentTo(const Endpoint& destination) {
    if (contacted.size() >= kRememberedLimit && contacted.count(destination) == 0) contacted.clear();
    contacted.insert(destination);
  }
  bool Contacted(const Endpoint& source) const { return contacted.count(source) != 0; }

 private:
  std::map<std::string, uint32_t> names;
  std::map<Endpoint, bool> decisions;
  std::set<Endpoint> contacted;
};

}  // namespace

void Proxy::RelaySocks5Datagrams(ZTCPSocket& client, uint16_t agentPort, const Socks5Session& session) {
  ZIPAddress clientAddress;
  if (!client.GetPeerAddress(clientAddress)) return;
  // The port the client's datagrams come from: named in the request, or
  // learnt from its first datagram.
  uint16_t clientPort = session.request.destination.port;

  ZUDPSocket relay(static_cast<uint16_t>(0));
  if (!relay.Listen(1, 0, true)) {
    Log(ErrorLevel, "Listen error on port %u for SOCKS server: %s", 0u, relay.GetErrorText().Text());
    Send(client, MakeSocks5Reply(kSocks5GeneralFailure));
    return;
  }
  ZIPAddress local(0u);
  uint16_t localPort = 0;
  if (!client.GetLocalAddress(local, localPort)) local = ZIPAddress(0u);
  Send(client, MakeSocks5Reply(kSocks5Succeeded, local, relay.GetPort()));

  const ZString description =
      ZString("SOCKS UDP relay by \"") + SocksShownText(ZString(session.username.c_str())) + "\"";
  if (GetLogLevel() == InformationLevel) {
    Log(InformationLevel, "%s started from \"%s\" on port %u.", description.Text(), client.GetPeerHostName().Text(),
        static_cast<unsigned>(relay.GetPort()));
  }
  // Closed together by a stop or pause; listed among the active links.
  activeSockets.Append(&client, &relay);
  client.SetReadTimeout(ZTimeInterval(0));
  relay.SetReadTimeout(ZTimeInterval(0));

  Destinations destinations;
  UserHandle user;
  uint32_t sent = 0;
  uint32_t received = 0;
  const ZTimeInterval idle = GetUdpTimeout();
  auto buffer = std::make_unique<uint8_t[]>(kSocks5LargestDatagram + 1);
  for (;;) {
    ZSocket::WaitEntry entries[2];
    entries[0].socket = &client;
    entries[0].wantRead = true;
    entries[1].socket = &relay;
    entries[1].wantRead = true;
    if (!ZSocket::Wait(entries, 2, idle)) break;  // closed by the service
    if (!entries[0].readable && !entries[1].readable && !entries[0].hungUp && !entries[0].failed) break;  // idle

    if (entries[0].readable || entries[0].hungUp || entries[0].failed) {
      // Whatever the client sends on its connection means nothing; its end
      // ends the association.
      char discard[512];
      if (!client.Read(discard, sizeof discard) && client.GetErrorCode() != ZChannel::Timeout) break;
    }
    if (!entries[1].readable) continue;

    ZIPAddress from;
    uint16_t fromPort = 0;
    if (!relay.ReadFrom(buffer.get(), static_cast<ZIndex>(kSocks5LargestDatagram + 1), from, fromPort)) {
      if (relay.GetErrorCode() == ZChannel::Timeout || relay.GetErrorCode() == ZChannel::NoError) continue;
      // A destination that refused a datagram reports it here: not an end.
      if (relay.IsOpen() && relay.GetErrorCode() != ZChannel::Interrupted) continue;
      break;
    }
    const auto length = static_cast<size_t>(relay.GetLastReadCount());
    if (length > kSocks5LargestDatagram) continue;  // cannot be carried whole
    const Endpoint source(from.GetValue(), fromPort);
    const bool fromClient = from == clientAddress &&
                            (clientPort == 0 ? !destinations.Contacted(source) : fromPort == clientPort);

    if (fromClient) {
      clientPort = fromPort;
      Socks5Address named;
      size_t headerLength = 0;
      // Fragments, IPv6 and broken headers are dropped, as the RFC allows.
      if (ParseSocks5UdpHeader(buffer.get(), length, named, headerLength) != Socks5Datagram::Whole) continue;
      if (named.type == kSocks5IPv6) continue;
      ZIPAddress address = named.address;
      if (named.type == kSocks5DomainName && !destinations.Resolve(named.hostName, address)) continue;
      if (address.IsNone() || named.port == 0) continue;
      const Endpoint destination(address.GetValue(), named.port);
      const bool allowed = destinations.Allowed(destination, [&] {
        return CheckAccess(SocketSpec(clientAddress, agentPort), SocketSpec(address, named.port));
      });
      if (!allowed) continue;
      if (user == nullptr) user = hosts.Find(clientAddress);
      const size_t payload = length - headerLength;
      if (!relay.WriteTo(buffer.get() + headerLength, static_cast<ZIndex>(payload), address, named.port)) continue;
      destinations.SentTo(destination);
      sent += static_cast<uint32_t>(payload);
      if (user != nullptr) {
        user->AddSent(static_cast<uint32_t>(payload));
        user->Restart(GetLinkTimeout());
      }
    } else if (destinations.Contacted(source) && clientPort != 0) {
      const std::string header = MakeSocks5UdpHeader(from, fromPort);
      if (header.size() + length > kSocks5LargestDatagram) continue;
      std::string datagram = header;
      datagram.append(reinterpret_cast<const char*>(buffer.get()), length);
      if (!relay.WriteTo(datagram.data(), static_cast<ZIndex>(datagram.size()), clientAddress, clientPort)) continue;
      received += static_cast<uint32_t>(length);
      if (user != nullptr) {
        user->AddReceived(static_cast<uint32_t>(length));
        user->Restart(GetLinkTimeout());
      }
    }
    // Anything else (strangers, the client's other ports) is dropped.
  }
  activeSockets.Remove(&client);
  relay.Close();
  client.Close();
  Log(InformationLevel, "%s closed (sent %lu bytes, received %lu bytes).", description.Text(),
      static_cast<unsigned long>(sent), static_cast<unsigned long>(received));
}
