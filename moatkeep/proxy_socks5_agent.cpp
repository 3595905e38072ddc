// The SOCKS 5 agent (RFC 1928, with RFC 1929's username and password):
// the method, the credentials when users are listed, the request; then
// CONNECT, BIND or UDP ASSOCIATE with the RFC's reply codes.
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "proxy.h"
#include "socks_bind.h"
#include "socks_request.h"

namespace {

// The longest message a client sends: the credentials, 1 + 1 + 255 + 1 + 255.
constexpr size_t kLongestMessage = 513;

void Send(ZSocket& client, const std::string& bytes) {
  // A client that cannot take its answer is gone: nothing to report.
  client.Write(bytes.data(), static_cast<ZIndex>(bytes.size()));
}

enum class Received { Message, ReadFailed, Invalid, BadAddressType };

// Reads one message, as much as its parser asks for and never a byte past
// it (what follows a request belongs to the link). prefix: bytes of it
// already read.
template <typename Message, typename Parser>
Received ReadMessage(ZSocket& client, Parser parse, Message& message, std::string_view prefix = {}) {
  uint8_t buffer[kLongestMessage];
  size_t size = prefix.size();
  for (size_t index = 0; index < size; ++index) buffer[index] = static_cast<uint8_t>(prefix[index]);
  for (;;) {
    size_t used = 0;
    size_t needed = 0;
    switch (parse(buffer, size, message, used, needed)) {
      case Socks5Parse::Complete: return Received::Message;
      case Socks5Parse::Invalid: return Received::Invalid;
      case Socks5Parse::BadAddressType: return Received::BadAddressType;
      case Socks5Parse::NeedMore: break;
    }
    if (needed > sizeof buffer || needed <= size) return Received::Invalid;
    if (!ReadSocksBytes(client, buffer + size, static_cast<ZIndex>(needed - size))) return Received::ReadFailed;
    size = needed;
  }
}

ZString Shown(const std::string& text) {
  return SocksShownText(ZString(text.data(), static_cast<ZIndex>(text.size())));
}

// The reply code for a connection that could not be made.
uint8_t ReplyForFailure(const ZChannel& socket) {
  const int32_t error = socket.GetOSError();
  if (error == ZChannel::OSErrorOf(ZChannel::ConnectionRefused)) return kSocks5ConnectionRefused;
  if (error == ZChannel::OSErrorOf(ZChannel::NetworkUnreachable)) return kSocks5NetworkUnreachable;
  if (error == ZChannel::OSErrorOf(ZChannel::HostUnreachable) ||
      error == ZChannel::OSErrorOf(ZChannel::ConnectionTimedOut)) {
    return kSocks5HostUnreachable;
  }
  return kSocks5GeneralFailure;
}

// The address the client reached the agent at, for the replies.
ZIPAddress LocalAddressOf(ZTCPSocket& socket) {
  ZIPAddress address(0u);
  uint16_t port = 0;
  if (!socket.GetLocalAddress(address, port)) address = ZIPAddress(0u);
  return address;
}

}  // namespace

bool Proxy::NegotiateSocks5(ZTCPSocket& client, Socks5Session& session) {
  auto readFailed = [&] {
    Log(ErrorLevel, "Protocol read error for SOCKS server: %s", ReadFailureText(client).Text());
    return false;
  };
  Socks5Greeting greeting;
  const std::string version(1, static_cast<char>(kSocks5Version));
  if (ReadMessage(client, ParseSocks5Greeting, greeting, version) != Received::Message) return readFailed();

  const std::shared_ptr<const SocksUsers> users = socksUsers.Get();
  const uint8_t method = users->IsEmpty() ? kSocks5NoAuthentication : kSocks5UsernamePassword;
  if (!greeting.Offers(method)) {
    Send(client, MakeSocks5MethodChoice(kSocks5NoAcceptableMethod));
    Log(WarningLevel, "SOCKS 5 client \"%s\" refused: no acceptable authentication method offered.",
        client.GetPeerHostName().Text());
    return false;
  }
  Send(client, MakeSocks5MethodChoice(method));

  if (method == kSocks5UsernamePassword) {
    Socks5Credentials credentials;
    switch (ReadMessage(client, ParseSocks5Credentials, credentials)) {
      case Received::Message: break;
      case Received::ReadFailed: return readFailed();
      case Received::Invalid:
      case Received::BadAddressType:
        Log(ErrorLevel, "SOCKS protocol error: wrong authentication version");
        return false;
    }
    const bool accepted = users->Accepts(credentials.username, credentials.password);
    Send(client, MakeSocks5AuthStatus(accepted));
    if (!accepted) {
      Log(WarningLevel, "SOCKS 5 authentication failed for user \"%s\" from \"%s\".",
          Shown(credentials.username).Text(), client.GetPeerHostName().Text());
      return false;
    }
    session.username = credentials.username;
  }

  switch (ReadMessage(client, ParseSocks5Request, session.request)) {
    case Received::Message: return true;
    case Received::ReadFailed: return readFailed();
    case Received::Invalid:
      Log(ErrorLevel, "SOCKS protocol error: wrong version in the request, require %d", kSocks5Version);
      return false;
    case Received::BadAddressType: break;
  }
  Send(client, MakeSocks5Reply(kSocks5AddressTypeNotSupported));
  Log(ErrorLevel, "SOCKS protocol error: address type %d not supported", session.request.destination.type);
  return false;
}

void Proxy::ServeSocks5(ZTCPSocket& client, uint16_t agentPort, const Socks5Session& session) {
  const Socks5Request& request = session.request;
  const uint8_t command = request.command;
  if (command != kSocks5Connect && command != kSocks5Bind && command != kSocks5UdpAssociate) {
    Send(client, MakeSocks5Reply(kSocks5CommandNotSupported));
    Log(ErrorLevel, "SOCKS protocol error: invalid command");
    return;
  }
  if (command == kSocks5UdpAssociate) {
    // The request names where the client's datagrams will come from, not a
    // destination: each datagram is checked on its own.
    RelaySocks5Datagrams(client, agentPort, session);
    return;
  }
  const Socks5Address& named = request.destination;
  if (named.type == kSocks5IPv6) {
    Send(client, MakeSocks5Reply(kSocks5AddressTypeNotSupported));
    Log(ErrorLevel, "SOCKS protocol error: address type %d not supported", named.type);
    return;
  }
  ZIPAddress address = named.address;
  if (named.type == kSocks5DomainName && !ZSocket::GetHostAddress(named.hostName.c_str(), address)) {
    Send(client, MakeSocks5Reply(kSocks5HostUnreachable));
    Log(ErrorLevel, "Host \"%s\" not found for SOCKS server.", Shown(named.hostName).Text());
    return;
  }

  ZIPAddress peer;
  if (!client.GetPeerAddress(peer)) return;
  if (!CheckAccess(SocketSpec(peer, agentPort), SocketSpec(address, named.port))) {
    Send(client, MakeSocks5Reply(kSocks5NotAllowed));
    return;
  }
  if (command == kSocks5Bind) {
    BindSocks5(client, session, address);
    return;
  }

  ZTCPSocket outgoing(named.port);
  if (address.IsNone()) {
    // This system would take 0.0.0.0 for itself, which the access check
    // never saw: no such destination.
    Log(ErrorLevel, "Connect failed to \"%s\" for SOCKS server: %s", address.GetDotted().Text(),
        ZChannel::ErrorText(ZChannel::HostUnreachable).Text());
    Send(client, MakeSocks5Reply(kSocks5HostUnreachable));
    return;
  }
  if (named.port == 0) {
    // No service listens on port 0; a socket without a port is not one to
    // connect.
    Log(ErrorLevel, "Connect failed to \"%s\" for SOCKS server: %s", ZSocket::GetHostName(address).Text(),
        ZChannel::ErrorText(ZChannel::ConnectionRefused).Text());
    Send(client, MakeSocks5Reply(kSocks5ConnectionRefused));
    return;
  }
  if (!outgoing.Connect(address.GetDotted().Text())) {
    Log(ErrorLevel, "Connect failed to \"%s\" for SOCKS server: %s", ZSocket::GetHostName(address).Text(),
        outgoing.GetErrorText().Text());
    Send(client, MakeSocks5Reply(ReplyForFailure(outgoing)));
    return;
  }
  ZIPAddress bound(0u);
  uint16_t boundPort = 0;
  if (!outgoing.GetLocalAddress(bound, boundPort)) bound = ZIPAddress(0u);
  Send(client, MakeSocks5Reply(kSocks5Succeeded, bound, boundPort));
  TCPLink(client, outgoing, SocksLinkDescription(ZString(session.username.c_str())));
  outgoing.Close();
  client.Close();
}

void Proxy::BindSocks5(ZTCPSocket& client, const Socks5Session& session, const ZIPAddress& expected) {
  // The RFC's BIND: a port of our choosing, told in the first reply; the
  // second names the host that connected in.
  ZTCPSocket listener(static_cast<uint16_t>(0));
  if (!listener.Listen(5, 0, true)) {
    Log(ErrorLevel, "Listen error on port %u for SOCKS server: %s", 0u, listener.GetErrorText().Text());
    Send(client, MakeSocks5Reply(kSocks5GeneralFailure));
    return;
  }
  Send(client, MakeSocks5Reply(kSocks5Succeeded, LocalAddressOf(client), listener.GetPort()));

  // A client that leaves ends the wait, and so does the service closing
  // its links.
  ZTCPSocket outgoing;
  std::string early;
  ZString errorText;
  activeSockets.Append(&client);
  const BindWaitResult outcome = AwaitBindPeer(listener, client, expected, kBindWaitLimit, outgoing, early, errorText);
  activeSockets.Remove(&client);
  const uint16_t listenedPort = listener.GetPort();
  listener.Close();
  if (outcome == BindWaitResult::Stopped) return;
  if (outcome != BindWaitResult::Connected) {
    Log(ErrorLevel, "Accept error on port %u for SOCKS server: %s", static_cast<unsigned>(listenedPort),
        errorText.Text());
    if (outcome != BindWaitResult::ClientGone) Send(client, MakeSocks5Reply(kSocks5GeneralFailure));
    return;
  }
  ZIPAddress peer(0u);
  uint16_t peerPort = 0;
  if (!outgoing.GetPeerAddress(peer, peerPort)) peer = ZIPAddress(0u);
  Send(client, MakeSocks5Reply(kSocks5Succeeded, peer, peerPort));
  TCPLink(client, outgoing, SocksLinkDescription(ZString(session.username.c_str())), early);
  outgoing.Close();
  client.Close();
}
