// The UDP relay: each datagram is one request/response exchange with the
// relay's destination, handled by a thread of its own.
#include <algorithm>
#include <memory>

#include "proxy.h"
#include "udp_exchanges.h"

namespace {

// The largest UDP payload over IPv4: every datagram is carried whole.
constexpr ZIndex kLargestDatagram = 65507;

// Exchange threads in flight over all UDP relays. With the default time-out
// and retries an unanswered exchange lives five minutes; this many is far
// more than a small site's name service needs at once.
constexpr int32_t kMaxExchanges = 128;

ExchangeBudget& Budget() {
  static ExchangeBudget budget(kMaxExchanges);
  return budget;
}

// One datagram, in a buffer of its own size: a relay waiting for the next
// one holds none.
struct Datagram {
  std::unique_ptr<char[]> bytes;
  ZIndex length = 0;
};

// Reads the next datagram whole, as ReadFrom or Read (connected) do; false
// as they answer, an empty datagram included.
bool ReadDatagram(ZUDPSocket& socket, Datagram& datagram, ZIPAddress* from, uint16_t* fromPort) {
  ZIndex length = 0;
  if (!socket.PeekDatagramLength(length)) return false;
  // Room for one byte at least, so that an empty datagram is taken too.
  const ZIndex room = std::clamp<ZIndex>(length, 1, kLargestDatagram);
  datagram.bytes = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(room));
  datagram.length = 0;
  const bool read = from != nullptr ? socket.ReadFrom(datagram.bytes.get(), room, *from, *fromPort)
                                    : socket.Read(datagram.bytes.get(), room);
  if (read) datagram.length = socket.GetLastReadCount();
  return read;
}

}  // namespace

void Proxy::UDPRelay(ProxyThread& thread, ZIPSocket& master) {
  const ZString name = master.GetService() + "/udp";
  auto* socket = ZCast<ZUDPSocket>(&master);
  if (socket == nullptr) {
    Z_ASSERT_MESSAGE("UDP relay on a stream socket");
    listeners.Remove(master);
    return;
  }
  std::shared_ptr<UdpExchanges> exchanges = ExchangesOf(master, Budget());

  Datagram request;
  ZIndex requestLength = 0;
  ZIPAddress client;
  uint16_t clientPort = 0;
  for (;;) {
    if (ReadDatagram(*socket, request, &client, &clientPort)) {
      requestLength = request.length;
      if (exchanges->Begin()) break;
      // No thread to spare: the datagram is dropped, as the network might.
      request = Datagram();
      if (exchanges->NoteRefusal()) {
        Log(WarningLevel, "UDP relay \"%s\" busy: datagrams dropped while %d exchanges are in flight.", name.Text(),
            static_cast<int>(Budget().GetLimit()));
      }
      continue;
    }
    const ZChannel::Error error = socket->GetErrorCode();
    // An empty datagram reads as "nothing": there is nothing to relay.
    if (error == ZChannel::NoError && socket->IsOpen()) continue;
    if (error != ZChannel::Interrupted && socket->IsOpen()) {
      Log(ErrorLevel, "ReadFrom failed for relay \"%s\": %s", name.Text(), socket->GetErrorText().Text());
    }
    // Replies may still be on their way out through the master socket.
    exchanges->Shutdown();
    ForgetExchangesOf(master);
    listeners.Remove(master);
    return;
  }
  // Until released, the master socket stays alive for this exchange's reply.
  ExchangeHold hold(exchanges);

  // The dial-up gate comes before the hand-on: while the link is being
  // brought up, the datagrams after this one wait in the master socket's
  // buffer, rather than each taking a thread and an exchange's place to
  // wait for the same dial.
  WaitForRemote(thread);
  if (!listeners.PassOnListener(thread)) return;

  // The connected remote system's own destination for the relay, if it has
  // one, takes precedence over the relay table.
  SocketSpec destination;
  if (!FindRelay(name, destination)) {
    LogRelayRemoved(name, "datagram dropped");
    return;
  }
  GetRelayOverride(name, destination);

  if (!CheckAccess(SocketSpec(client, clientPort), destination)) return;
  const UserHandle user = hosts.Find(client);

  auto outgoing = std::make_unique<ZUDPSocket>(destination.port);
  if (destination.address.IsNone()) {
    // An unresolved host: this system would take 0.0.0.0 for itself.
    Log(ErrorLevel, "Connect error for relay \"%s\": %s", name.Text(),
        ZChannel::ErrorText(ZChannel::HostUnreachable).Text());
    return;
  }
  if (!outgoing->Connect(destination.address.GetDotted().Text())) {
    Log(ErrorLevel, "Connect error for relay \"%s\": %s", name.Text(), outgoing->GetErrorText().Text());
    return;
  }
  if (!exchanges->Attach(*outgoing)) return;  // the relay is closing

  if (GetLogLevel() == InformationLevel) {
    Log(InformationLevel, "Relay for \"%s\" started from \"%s\" to \"%s\".", name.Text(),
        ZSocket::GetHostName(client).Text(), outgoing->GetPeerHostName().Text());
  }

  outgoing->SetReadTimeout(GetUdpTimeout());
  Datagram reply;
  ZIndex replyLength = 0;
  const int32_t retries = GetUdpRetries();
  for (int32_t attempt = 0; attempt < retries; ++attempt) {
    // A failed send (a refusal reported for the previous one) still counts
    // as a try: the read below then waits or fails in its turn.
    outgoing->Write(request.bytes.get(), requestLength);
    if (ReadDatagram(*outgoing, reply, nullptr, nullptr)) {
      replyLength = reply.length;
      // From the relay's own port, where the client sent its request.
      socket->WriteTo(reply.bytes.get(), replyLength, client, clientPort);
      break;
    }
    if (outgoing->GetErrorCode() == ZChannel::Interrupted) break;  // the relay is closing
  }
  exchanges->Detach(*outgoing);

  Log(InformationLevel, "Relay for \"%s\" completed (sent %u bytes, received %u bytes).", name.Text(),
      static_cast<unsigned>(requestLength), static_cast<unsigned>(replyLength));
  if (user != nullptr) {
    user->AddSent(static_cast<uint32_t>(requestLength));
    user->AddReceived(static_cast<uint32_t>(replyLength));
  }
  // Released last: a stop waits for every exchange of the relay, so the
  // exchange's line is logged before the service reports it stopped.
  hold.Release();
  outgoing->Close();
}
