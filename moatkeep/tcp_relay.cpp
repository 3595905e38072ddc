#include "tcp_relay.h"

#include <cerrno>
#include <memory>

#include "proxy.h"
#include "read_failure.h"
#include "zunder/resources.h"

namespace {

constexpr char kBackspace = 8;
constexpr char kDelete = 127;
// What the prompt swallows at most before going on regardless: a client that
// never stops sending must not hold the dialogue forever, neither by sending
// fast (the byte limit) nor by sending a byte just inside every quiet period
// (the time limit, in quiet periods; terminal negotiation takes far less).
constexpr ZIndex kSwallowLimit = 64 * 1024;
constexpr int64_t kSwallowPeriods = 5;
// The longest host line kept; longer input is not echoed.
constexpr ZIndex kLineLimit = 255;
// Characters read for one line before the client is given up on.
constexpr ZIndex kReadLimit = 4096;

bool IsPrintable(unsigned char c) { return c >= 32 && c < 127; }

// The pause after a failed accept that may succeed again once descriptors
// or buffers are given back.
const ZTimeInterval kAcceptRetryPause(100);

}  // namespace

HostLineResult ReadHostLine(ZSocket& client, ZString& line, const ZTimeInterval& swallowTime,
                            const ZTimeInterval& lineTime) {
  line = ZString();
  char buffer[256];
  client.SetReadTimeout(swallowTime);
  {
    // Running out of time here, as a quiet period does, ends the swallowing.
    const ZSocketDeadline swallowBound(client, ZTimeInterval(swallowTime.GetMilliseconds() * kSwallowPeriods));
    for (ZIndex swallowed = 0; swallowed < kSwallowLimit;) {
      if (!client.Read(buffer, sizeof buffer)) {
        if (client.GetErrorCode() == ZChannel::Timeout) break;
        return HostLineResult::Failed;
      }
      swallowed += client.GetLastReadCount();
    }
  }

  if (!client.WriteString("host> ")) return HostLineResult::Failed;
  client.SetReadTimeout(lineTime);
  // The whole line, not only each character, must come within lineTime.
  const ZSocketDeadline lineBound(client, lineTime);
  for (ZIndex received = 0; received < kReadLimit; ++received) {
    unsigned char c = 0;
    if (!client.Read(&c, 1)) return HostLineResult::Failed;
    if (c == kBackspace || c == kDelete) {
      if (!line.IsEmpty()) line = line.Left(line.GetLength() - 1);
      // Erased on the terminal even when there was nothing to erase.
      static const char erase[] = {kBackspace, ' ', kBackspace};
      if (!client.Write(erase, sizeof erase)) return HostLineResult::Failed;
    } else if (c == '\n' || c == '\r') {
      if (!client.WriteString("\r\n")) return HostLineResult::Failed;
      return HostLineResult::Read;
    } else if (IsPrintable(c) && line.GetLength() < kLineLimit) {
      line += ZString(reinterpret_cast<const char*>(&c), 1);
      if (!client.Write(&c, 1)) return HostLineResult::Failed;
    }
  }
  return HostLineResult::TooLong;
}

bool Proxy::AcceptConnection(ZIPSocket& master, ZTCPSocket& client, const ZString& name) {
  bool shortageLogged = false;
  for (;;) {
    if (client.Accept(master)) return true;
    const bool closing = client.GetErrorCode() == ZChannel::Interrupted || !master.IsOpen();
    if (!closing && ZIsTransientAcceptError(client.GetOSError())) {
      // Out of descriptors or buffers for a moment: the relay stays open.
      if (!shortageLogged) {
        Log(1, "Accept failed for relay \"%s\": %s", name.Text(), client.GetErrorText().Text());
        shortageLogged = true;
      }
      ZThread::SleepFor(kAcceptRetryPause);
      continue;
    }
    if (!closing) Log(1, "Accept failed for relay \"%s\": %s", name.Text(), client.GetErrorText().Text());
    masterSockets.Remove(&master);
    return false;
  }
}

void Proxy::TCPRelay(ProxyThread& thread, ZIPSocket& master) { RunTCPRelay(thread, master, false); }

void Proxy::AskRelay(ProxyThread& thread, ZIPSocket& master) { RunTCPRelay(thread, master, true); }

void Proxy::RunTCPRelay(ProxyThread& thread, ZIPSocket& master, bool asking) {
  const ZString name = master.GetService() + "/tcp";
  // Known while this thread still waits on the master socket.
  const uint64_t load = LoadOfMaster(master);
  auto client = std::make_unique<ZTCPSocket>();
  if (!AcceptConnection(master, *client, name)) return;
  // Read while this thread still holds the master socket: until it is
  // closed no other load can begin, so the table holds what this relay was
  // opened with, and its connections keep that through later reloads.
  SocketSpec configured;
  const bool known = asking || FindRelay(name, configured);
  // The master socket belongs to the successor from here on.
  if (!PassOnListener(thread, master, asking ? &Proxy::AskRelay : &Proxy::TCPRelay)) return;
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
    if (!TakeQueuedConnection(master, load, *client)) return;
    // Each connection starts as on a thread of its own: no system error of
    // the last one shows in its log lines.
    ZThread::ForgetLastError();
  }
}

void Proxy::ServeRelayClient(ProxyThread& thread, ZTCPSocket& client, const ZString& name,
                             const SocketSpec* configured) {
  const uint16_t relayPort = client.GetPort();
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
      case HostLineResult::Read:
        break;
      case HostLineResult::Failed:
        Log(2, "Host read error for relay \"%s\": %s", name.Text(), ReadFailureText(client).Text());
        return;
      case HostLineResult::TooLong:
        tooLong = true;
        break;
    }
    if (tooLong || !destination.Parse(line.Text(), relayPort)) {
      client.WriteString("Illegal destination.\r\n");
      Log(2, "Invalid host error for relay \"%s\".", name.Text());
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
    Log(1, "Connect error for relay \"%s\": %s", name.Text(), ZChannel::ErrorText(ZChannel::HostUnreachable).Text());
  } else {
    connected = outgoing->Connect(destination.address.GetDotted().Text());
    if (!connected) Log(1, "Connect error for relay \"%s\": %s", name.Text(), outgoing->GetErrorText().Text());
  }
  if (!connected) {
    if (asked) client.WriteString("Could not connect to host.\r\n");
    return;
  }

  TCPLink(client, *outgoing, ZString("Relay for \"") + name + "\"");
  outgoing->Close();
  client.Close();
}
