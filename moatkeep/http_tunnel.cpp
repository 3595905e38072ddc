#include "http_tunnel.h"

#include <memory>
#include <string>

namespace {

constexpr ZIndex kMaxHostLength = 255;
constexpr const char* kEstablished = "HTTP/1.0 200 Connection established\r\n\r\n";

bool IsNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
}

bool IsAddressCharacter(char c) {
  return (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || (c >= '0' && c <= '9') || c == ':' || c == '.';
}

// A decimal port 1..65535, five digits at most.
bool ParsePortNumber(const ZString& text, uint16_t& port) {
  const ZIndex length = text.GetLength();
  if (length < 1 || length > 5) return false;
  uint32_t value = 0;
  for (ZIndex i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + static_cast<uint32_t>(text[i] - '0');
  }
  if (value < 1 || value > 65535) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

bool ConnectPorts::Parse(const ZString& text, ZString* bad) {
  ports.clear();
  bool good = true;
  const ZStringArray words = text.Tokenise(" \t", false);
  for (ZIndex i = 0; i < words.GetSize(); ++i) {
    if (words[i].IsEmpty()) continue;
    uint16_t port = 0;
    if (ParsePortNumber(words[i], port)) {
      if (!Contains(port)) ports.push_back(port);
    } else if (good) {
      good = false;
      if (bad != nullptr) *bad = words[i];
    }
  }
  return good;
}

bool ConnectPorts::Contains(uint16_t port) const {
  for (uint16_t listed : ports) {
    if (listed == port) return true;
  }
  return false;
}

ZString TunnelTarget::AsString() const {
  // An IPv6 literal gets its brackets back, or its port would read as part of it.
  const ZString shown = host.Find(':') != ZNotFound ? "[" + host + "]" : host;
  return FormatText("%s:%u", shown.Text(), static_cast<unsigned>(port));
}

bool ParseTunnelTarget(const ZString& text, TunnelTarget& target) {
  const ZIndex colon = text.FindLast(':');
  if (colon == ZNotFound || !ParsePortNumber(text.Mid(colon + 1), target.port)) return false;
  ZString host = text.Left(colon);
  const bool bracketed = host.GetLength() >= 2 && host[0] == '[' && host[host.GetLength() - 1] == ']';
  if (bracketed) host = host.SubString(1, host.GetLength() - 2);
  if (host.IsEmpty() || host.GetLength() > kMaxHostLength) return false;
  for (ZIndex i = 0; i < host.GetLength(); ++i) {
    if (!(bracketed ? IsAddressCharacter(host[i]) : IsNameCharacter(host[i]))) return false;
  }
  target.host = host;
  return true;
}

ZString TunnelDescription(const TunnelTarget& target) {
  return ZString("HTTP tunnel to \"") + target.AsString() + "\"";
}

void RunTunnel(ZHTTPSocket& client, const ZString& targetText, TunnelService& service) {
  TunnelTarget target;
  if (!ParseTunnelTarget(targetText, target)) {
    client.OnError(ZHTTPBadRequest, "Malformed CONNECT target " + targetText);
    return;
  }
  const ZString named = target.AsString();
  LogSink& log = service.GetLog();
  if (!service.IsConnectPort(target.port)) {
    log.Log(WarningLevel, "HTTP tunnel to \"%s\" refused: port %u is not among the Connect Ports.", named.Text(),
            static_cast<unsigned>(target.port));
    client.OnError(ZHTTPForbidden,
                   FormatText("Tunnels to port %u are not allowed.", static_cast<unsigned>(target.port)));
    return;
  }

  // The look-up may need the dial-up link as much as the connect does.
  service.WaitForRemote();
  ZIPAddress address;
  // This system would take 0.0.0.0 for itself, which is no destination.
  if (!ZSocket::GetHostAddress(target.host.Text(), address) || address.IsNone()) {
    log.Log(ErrorLevel, "Connect error for HTTP tunnel to \"%s\": unknown host.", named.Text());
    client.OnError(ZHTTPBadGateway, ZString("Could not resolve") & named);
    return;
  }

  ZIPAddress clientAddress;
  uint16_t clientPort = 0;
  ZIPAddress local;
  uint16_t agentPort = 0;
  if (!client.GetPeerAddress(clientAddress, clientPort) || !client.GetLocalAddress(local, agentPort)) return;
  if (!service.CheckAccess(SocketSpec(clientAddress, agentPort), SocketSpec(address, target.port))) {
    client.OnError(ZHTTPForbidden, ZString("Connection denied to") & named);
    return;
  }

  auto destination = std::make_unique<ZTCPSocket>(target.port);
  bool connected = false;
  {
    // A stop or pause ends the wait of a connect that hangs, and the
    // client's too.
    const ActiveListing clientListed(service, client);
    const ActiveListing destinationListed(service, *destination);
    connected = destination->Connect(address.GetDotted().Text());
  }
  if (!connected) {
    log.Log(ErrorLevel, "Connect error for HTTP tunnel to \"%s\": %s", named.Text(),
            destination->GetErrorText().Text());
    client.OnError(ZHTTPBadGateway, ZString("Could not connect to") & (named + ": " + destination->GetErrorText()));
    return;
  }
  const std::string established(kEstablished);
  if (!client.Write(established.data(), static_cast<ZIndex>(established.size()))) return;
  // The client's first bytes (a TLS greeting) may have come with its
  // request; they go first, counted with the link.
  const std::string early = client.TakeBufferedInput();
  service.LinkTunnel(client, *destination, TunnelDescription(target), early);
  destination->Close();
}
