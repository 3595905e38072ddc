// The SOCKS 4 agent: reads a request, checks access, connects onward
// (CONNECT) or waits for the host it names to connect in (BIND), answers
// with one 8-byte reply and links the two connections.
#include <cerrno>
#include <memory>
#include <string>

#include "proxy.h"
#include "read_failure.h"
#include "socks_bind.h"
#include "socks_read.h"
#include "socks_request.h"
#include "zunder/resources.h"

namespace {

// The pause after a failed accept that may succeed again once descriptors
// or buffers are given back.
const ZTimeInterval kAcceptRetryPause(100);

void SendReply(ZSocket& client, uint8_t code, uint16_t port = 0, const ZIPAddress& address = ZIPAddress(0u)) {
  const SocksReply reply = MakeSocksReply(code, port, address);
  // A client that cannot take its reply is gone: nothing to report.
  client.Write(reply.data(), static_cast<ZIndex>(reply.size()));
}

}  // namespace

void Proxy::SocksServer(ProxyThread& thread, ZIPSocket& master) {
  auto client = std::make_unique<ZTCPSocket>();
  bool shortageLogged = false;
  while (!client->Accept(master)) {
    const bool closing = client->GetErrorCode() == ZChannel::Interrupted || !master.IsOpen();
    if (!closing && ZIsTransientAcceptError(client->GetOSError())) {
      // Out of descriptors or buffers for a moment: the agent stays open.
      if (!shortageLogged) Log(1, "Accept failed for SOCKS server: %s", client->GetErrorText().Text());
      shortageLogged = true;
      ZThread::SleepFor(kAcceptRetryPause);
      continue;
    }
    if (!closing) Log(1, "Accept failed for SOCKS server: %s", client->GetErrorText().Text());
    GetMasterSockets().Remove(&master);
    return;
  }
  // The master socket belongs to the successor from here on.
  const uint16_t agentPort = client->GetPort();
  if (!PassOnListener(thread, master, &Proxy::SocksServer)) return;

  WaitForRemote(thread);

  // Each read and the whole request are bounded by the SOCKS time-out: a
  // well-behaved client sends its request in one packet.
  client->SetReadTimeout(GetSocksTimeout());
  SocksRequest request;
  switch (ReadSocksRequest(*client, GetSocksTimeout(), request)) {
    case SocksReadResult::Read:
      break;
    case SocksReadResult::Failed:
      Log(1, "Protocol read error for SOCKS server: %s", ReadFailureText(*client).Text());
      return;
    case SocksReadResult::WrongVersion:
      Log(1, "SOCKS protocol error: wrong version, got %d, require %d", request.version, kSocksVersion);
      return;
    case SocksReadResult::UserIdTooLong:
      Log(1, "Protocol read error for SOCKS server: %s", ZChannel::ErrorText(ZChannel::MessageTooLong).Text());
      return;
  }
  client->SetReadTimeout(ZInfinite);

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
      Log(1, "Connect failed to \"%s\" for SOCKS server: %s", request.address.GetDotted().Text(),
          ZChannel::ErrorText(ZChannel::HostUnreachable).Text());
    } else {
      connected = outgoing->Connect(request.address.GetDotted().Text());
      if (!connected) {
        Log(1, "Connect failed to \"%s\" for SOCKS server: %s", ZSocket::GetHostName(request.address).Text(),
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
      Log(1, "Listen error on port %u for SOCKS server: %s", static_cast<unsigned>(request.port),
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
      Log(1, "Accept error on port %u for SOCKS server: %s", static_cast<unsigned>(request.port),
          errorText.Text());
      if (outcome != BindWaitResult::ClientGone) SendReply(*client, kSocksRefused);
      return;
    }
    if (!outgoing->GetPeerAddress(replyAddress)) replyAddress = ZIPAddress(0u);
    replyPort = listenedPort;
  } else {
    Log(1, "SOCKS protocol error: invalid command");
    return;
  }

  SendReply(*client, kSocksGranted, replyPort, replyAddress);
  // What the client sent while waiting goes first, counted with the link.
  TCPLink(*client, *outgoing, SocksLinkDescription(request.userId), early);
  outgoing->Close();
  client->Close();
}
