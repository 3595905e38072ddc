// The UDP relay: each datagram is one request/response exchange with the
// relay's destination, handled by a thread of its own.
#include "udp_relay.h"

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>

#include "proxy.h"

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

std::mutex registryMutex;
std::map<const ZIPSocket*, std::shared_ptr<UdpExchanges>> registry;

}  // namespace

// ---------------------------------------------------------------- ExchangeBudget

bool ExchangeBudget::Take() {
  std::lock_guard<std::mutex> lock(mutex);
  if (inUse >= limit) return false;
  ++inUse;
  return true;
}

void ExchangeBudget::Give() {
  std::lock_guard<std::mutex> lock(mutex);
  if (inUse > 0) --inUse;
}

int32_t ExchangeBudget::InUse() const {
  std::lock_guard<std::mutex> lock(mutex);
  return inUse;
}

// ---------------------------------------------------------------- UdpExchanges

bool UdpExchanges::Begin() {
  std::lock_guard<std::mutex> lock(mutex);
  if (shuttingDown || !budget.Take()) return false;
  ++inFlight;
  refusing = false;
  return true;
}

bool UdpExchanges::Attach(ZSocket& socket) {
  std::lock_guard<std::mutex> lock(mutex);
  if (shuttingDown) return false;
  sockets.push_back(&socket);
  return true;
}

void UdpExchanges::Detach(ZSocket& socket) {
  std::lock_guard<std::mutex> lock(mutex);
  sockets.erase(std::remove(sockets.begin(), sockets.end(), &socket), sockets.end());
}

void UdpExchanges::End() {
  std::lock_guard<std::mutex> lock(mutex);
  if (inFlight > 0) {
    --inFlight;
    budget.Give();
  }
  ended.notify_all();
}

void UdpExchanges::Shutdown() {
  std::unique_lock<std::mutex> lock(mutex);
  shuttingDown = true;
  // Closing wakes an exchange waiting for its reply; it then ends at once.
  for (ZSocket* socket : sockets) socket->Close();
  ended.wait(lock, [this] { return inFlight == 0; });
}

int32_t UdpExchanges::InFlight() const {
  std::lock_guard<std::mutex> lock(mutex);
  return inFlight;
}

bool UdpExchanges::IsShuttingDown() const {
  std::lock_guard<std::mutex> lock(mutex);
  return shuttingDown;
}

bool UdpExchanges::NoteRefusal() {
  std::lock_guard<std::mutex> lock(mutex);
  if (refusing) return false;
  refusing = true;
  return true;
}

std::shared_ptr<UdpExchanges> ExchangesOf(const ZIPSocket& master, ExchangeBudget& budget) {
  std::lock_guard<std::mutex> lock(registryMutex);
  auto& exchanges = registry[&master];
  if (exchanges == nullptr) exchanges = std::make_shared<UdpExchanges>(budget);
  return exchanges;
}

void ForgetExchangesOf(const ZIPSocket& master) {
  std::lock_guard<std::mutex> lock(registryMutex);
  registry.erase(&master);
}

// ---------------------------------------------------------------- the relay body

void Proxy::UDPRelay(ProxyThread& thread, ZIPSocket& master) {
  const ZString name = master.GetService() + "/udp";
  auto* socket = ZCast<ZUDPSocket>(&master);
  if (socket == nullptr) {
    Z_ASSERT_MESSAGE("UDP relay on a stream socket");
    masterSockets.Remove(&master);
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
        Log(2, "UDP relay \"%s\" busy: datagrams dropped while %d exchanges are in flight.", name.Text(),
            static_cast<int>(Budget().GetLimit()));
      }
      continue;
    }
    const ZChannel::Error error = socket->GetErrorCode();
    // An empty datagram reads as "nothing": there is nothing to relay.
    if (error == ZChannel::NoError && socket->IsOpen()) continue;
    if (error != ZChannel::Interrupted && socket->IsOpen()) {
      Log(1, "ReadFrom failed for relay \"%s\": %s", name.Text(), socket->GetErrorText().Text());
    }
    // Replies may still be on their way out through the master socket.
    exchanges->Shutdown();
    ForgetExchangesOf(master);
    masterSockets.Remove(&master);
    return;
  }
  // Until released, the master socket stays alive for this exchange's reply.
  ExchangeHold hold(exchanges);

  WaitForRemote(thread);
  if (!PassOnListener(thread, master, &Proxy::UDPRelay)) return;

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
    Log(1, "Connect error for relay \"%s\": %s", name.Text(), ZChannel::ErrorText(ZChannel::HostUnreachable).Text());
    return;
  }
  if (!outgoing->Connect(destination.address.GetDotted().Text())) {
    Log(1, "Connect error for relay \"%s\": %s", name.Text(), outgoing->GetErrorText().Text());
    return;
  }
  if (!exchanges->Attach(*outgoing)) return;  // the relay is closing

  if (GetLogLevel() == InformationLevel) {
    Log(3, "Relay for \"%s\" started from \"%s\" to \"%s\".", name.Text(), ZSocket::GetHostName(client).Text(),
        outgoing->GetPeerHostName().Text());
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

  Log(3, "Relay for \"%s\" completed (sent %u bytes, received %u bytes).", name.Text(),
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
