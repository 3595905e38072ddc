// The SOCKS agent, SOCKS 4 (with 4a's host names) here: reads a request,
// checks access, connects onward (CONNECT) or waits for the host it names to
// connect in (BIND), answers with one 8-byte reply and links the two
// connections. The first byte a client sends tells the versions apart;
// SOCKS 5 is proxy_socks5_agent.
#include <memory>
#include <string>

#include "proxy.h"
#include "socks_bind.h"
#include "socks_request.h"

namespace {

void SendReply(ZSocket& client, uint8_t code, uint16_t port = 0, const ZIPAddress& address = ZIPAddress(0u)) {
  const SocksReply reply = MakeSocksReply(code, port, address);
  // A client that cannot take its reply is gone: nothing to report.
  client.Write(reply.data(), static_cast<ZIndex>(reply.size()));
}

}  // namespace

void Proxy::SocksServer(ProxyThread& thread, ZIPSocket& master) {
  std::unique_ptr<ZTCPSocket> client = listeners.AcceptAndPassOn(thread, ZString("SOCKS server"), PlainAccept(master));
  if (client == nullptr) return;
  const uint16_t agentPort = client->GetPort();

  // The dial-up gate, after the hand-on, as for the plain relays: the
  // clients that come meanwhile are accepted and wait for the same dial.
  // The request is read only then, so its time-out runs once the link is up.
  WaitForRemote(thread);

  // Each read and the whole negotiation, whichever the version, are bounded
  // by the SOCKS time-out: a well-behaved client sends its request in one
  // packet.
  client->SetReadTimeout(GetSocksTimeout());
  uint8_t version = 0;
  SocksRequest request;
  SocksReadResult read = SocksReadResult::Failed;
  Socks5Session session;
  bool negotiated = false;
  {
    const ZSocketDeadline bound(*client, GetSocksTimeout());
    if (ReadSocksVersion(*client, version)) {
      if (version == kSocks5Version) {
        negotiated = NegotiateSocks5(*client, session);
      } else {
        read = ReadSocks4Request(*client, version, request);
      }
    }
  }
  if (version == kSocks5Version) {
    client->SetReadTimeout(ZInfinite);
    if (negotiated) ServeSocks5(*client, agentPort, session);
    return;
  }
  switch (read) {
    case SocksReadResult::Read: break;
    case SocksReadResult::Failed:
      Log(ErrorLevel, "Protocol read error for SOCKS server: %s", ReadFailureText(*client).Text());
      return;
    case SocksReadResult::WrongVersion:
      Log(ErrorLevel, "SOCKS protocol error: wrong version, got %d, require %d", request.version, kSocksVersion);
      return;
    case SocksReadResult::UserIdTooLong:
    case SocksReadResult::HostNameTooLong:
      Log(ErrorLevel, "Protocol read error for SOCKS server: %s", ZChannel::ErrorText(ZChannel::MessageTooLong).Text());
      return;
  }
  client->SetReadTimeout(ZInfinite);

  // SOCKS 4 carries no password: while logins are asked for, it would be
  // the way round them.
  if (!socksUsers.Get()->IsEmpty()) {
    Log(WarningLevel,
        "SOCKS 4 request from \"%s\" refused: SOCKS Users are listed, so only SOCKS 5 with a user name and "
        "password is served.",
        client->GetPeerHostName().Text());
    SendReply(*client, kSocksRefused);
    return;
  }

  // SOCKS 4a: the destination by name, resolved here.
  if (request.NamesHost()) {
    ZIPAddress resolved;
    if (!ZSocket::GetHostAddress(request.hostName.Text(), resolved)) {
      Log(ErrorLevel, "Host \"%s\" not found for SOCKS server.", SocksShownText(request.hostName).Text());
      SendReply(*client, kSocksRefused);
      return;
    }
    request.address = resolved;
  }

  ZIPAddress peer;
  if (!client->GetPeerAddress(peer)) return;
  const SocketSpec destination(request.address, request.port);
  if (!CheckAccess(SocketSpec(peer, agentPort), destination)) {
    SendReply(*client, kSocksRefused);
    return;
  }

  auto outgoing = std::make_unique<ZTCPSocket>(request.port);
  uint16_t replyPort = 0;
  ZIPAddress replyAddress(0u);
  std::string early;
  if (request.command == kSocksConnect) {
    bool connected = false;
    if (request.address.IsNone()) {
      // This system would take 0.0.0.0 for itself, which the access check
      // never saw: no such destination.
      Log(ErrorLevel, "Connect failed to \"%s\" for SOCKS server: %s", request.address.GetDotted().Text(),
          ZChannel::ErrorText(ZChannel::HostUnreachable).Text());
    } else if (request.port == 0) {
      // No service listens on port 0; a socket without a port is not one
      // to connect.
      Log(ErrorLevel, "Connect failed to \"%s\" for SOCKS server: %s", ZSocket::GetHostName(request.address).Text(),
          ZChannel::ErrorText(ZChannel::ConnectionRefused).Text());
    } else {
      connected = outgoing->Connect(request.address.GetDotted().Text());
      if (!connected) {
        Log(ErrorLevel, "Connect failed to \"%s\" for SOCKS server: %s", ZSocket::GetHostName(request.address).Text(),
            outgoing->GetErrorText().Text());
      }
    }
    if (!connected) {
      SendReply(*client, kSocksRefused);
      return;
    }
  } else if (request.command == kSocksBind) {
    auto listener = std::make_unique<ZTCPSocket>(request.port);
    if (!listener->Listen(5, request.port, true)) {
      Log(ErrorLevel, "Listen error on port %u for SOCKS server: %s", static_cast<unsigned>(request.port),
          listener->GetErrorText().Text());
      SendReply(*client, kSocksRefused);
      return;
    }
    // A client that leaves ends the wait, and so does the service closing
    // its links.
    activeSockets.Append(client.get());
    ZString errorText;
    const BindWaitResult outcome =
        AwaitBindPeer(*listener, *client, request.address, kBindWaitLimit, *outgoing, early, errorText);
    activeSockets.Remove(client.get());
    const uint16_t listenedPort = listener->GetPort();
    listener->Close();
    if (outcome == BindWaitResult::Stopped) return;
    if (outcome != BindWaitResult::Connected) {
      Log(ErrorLevel, "Accept error on port %u for SOCKS server: %s", static_cast<unsigned>(request.port),
          errorText.Text());
      if (outcome != BindWaitResult::ClientGone) SendReply(*client, kSocksRefused);
      return;
    }
    if (!outgoing->GetPeerAddress(replyAddress)) replyAddress = ZIPAddress(0u);
    replyPort = listenedPort;
  } else {
    Log(ErrorLevel, "SOCKS protocol error: invalid command");
    return;
  }

  SendReply(*client, kSocksGranted, replyPort, replyAddress);
  // What the client sent while waiting goes first, counted with the link.
  TCPLink(*client, *outgoing, SocksLinkDescription(request.userId), early);
  outgoing->Close();
  client->Close();
}
