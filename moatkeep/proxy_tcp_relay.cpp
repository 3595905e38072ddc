// The plain TCP relays and the "(ASK)" relay: each thread accepts a
// connection, hands the master socket on and serves the connection to its
// end, then any connections already queued.
#include "ask_dialogue.h"

#include <memory>

#include "proxy.h"

void Proxy::TCPRelay(ProxyThread& thread, ZIPSocket& master) { RunTCPRelay(thread, master, false); }

void Proxy::AskRelay(ProxyThread& thread, ZIPSocket& master) { RunTCPRelay(thread, master, true); }

void Proxy::RunTCPRelay(ProxyThread& thread, ZIPSocket& master, bool asking) {
  const ZString name = master.GetService() + "/tcp";
  // Known while this thread still waits on the master socket.
  const uint64_t load = listeners.LoadOfMaster(master);
  SocketSpec configured;
  bool known = false;
  std::unique_ptr<ZTCPSocket> client =
      listeners.AcceptAndPassOn(thread, ZString("relay \"") + name + "\"", PlainAccept(master), [&] {
        // Read while this thread still holds the master socket: until it is
        // closed no other load can begin, so the table holds what this relay
        // was opened with, and its connections keep that through later
        // reloads.
        known = asking || FindRelay(name, configured);
      });
  if (client == nullptr) return;
  // Then, while connections are already queued on the relay when one ends,
  // this thread serves the next itself: under load that spares a hand-off
  // and a wake-up per connection. It never waits on the master socket.
  for (;;) {
    if (known) {
      ServeRelayClient(thread, *client, name, asking ? nullptr : &configured);
    } else {
      LogRelayRemoved(name, "connection closed");
    }
    client = std::make_unique<ZTCPSocket>();
    if (!listeners.TakeQueuedConnection(master, load, *client)) return;
    // Each connection starts as on a thread of its own: no system error of
    // the last one shows in its log lines.
    ZThread::ForgetLastError();
  }
}

void Proxy::ServeRelayClient(ProxyThread& thread, ZTCPSocket& client, const ZString& name,
                             const SocketSpec* configured) {
  const uint16_t relayPort = client.GetPort();
  // The dial-up gate, after the hand-on: the clients that come meanwhile
  // are accepted by the successor and wait for the same dial, each on a
  // thread of its own. A queued connection this thread takes up after its
  // last one meets the gate here too.
  WaitForRemote(thread);

  // A plain relay goes to the connected remote system's destination for it,
  // if it has one, else to its own; unless a reload has removed it meanwhile.
  // Only the "(ASK)" relay prompts.
  SocketSpec destination;
  const bool asked = configured == nullptr;
  if (!asked) {
    SocketSpec current;
    if (!FindRelay(name, current)) {
      LogRelayRemoved(name, "connection closed");
      return;
    }
    destination = *configured;
    GetRelayOverride(name, destination);
  } else {
    ZString line;
    bool tooLong = false;
    switch (ReadHostLine(client, line, ZTimeInterval(0, 2), ZTimeInterval(0, 0, 10))) {
      case HostLineResult::Read: break;
      case HostLineResult::Failed:
        Log(WarningLevel, "Host read error for relay \"%s\": %s", name.Text(), ReadFailureText(client).Text());
        return;
      case HostLineResult::TooLong: tooLong = true; break;
    }
    if (tooLong || !destination.Parse(line.Text(), relayPort)) {
      client.WriteString("Illegal destination.\r\n");
      Log(WarningLevel, "Invalid host error for relay \"%s\".", name.Text());
      return;
    }
    client.SetReadTimeout(ZInfinite);
  }

  ZIPAddress peer;
  if (!client.GetPeerAddress(peer)) return;
  if (!CheckAccess(SocketSpec(peer, relayPort), destination)) {
    if (asked) client.WriteString("Access denied.\r\n");
    return;
  }

  auto outgoing = std::make_unique<ZTCPSocket>(destination.port);
  bool connected = false;
  if (destination.address.IsNone()) {
    // An unresolved host: this system would take 0.0.0.0 for itself.
    Log(ErrorLevel, "Connect error for relay \"%s\": %s", name.Text(),
        ZChannel::ErrorText(ZChannel::HostUnreachable).Text());
  } else {
    connected = outgoing->Connect(destination.address.GetDotted().Text());
    if (!connected) Log(ErrorLevel, "Connect error for relay \"%s\": %s", name.Text(), outgoing->GetErrorText().Text());
  }
  if (!connected) {
    if (asked) client.WriteString("Could not connect to host.\r\n");
    return;
  }

  TCPLink(client, *outgoing, ZString("Relay for \"") + name + "\"");
  outgoing->Close();
  client.Close();
}
