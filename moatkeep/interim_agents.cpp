// A body that keeps the UDP relays' ports served (one thread waiting per
// master socket, closed with the others) until the datagram relay takes
// them over.
#include <memory>

#include "proxy.h"

void Proxy::InterimDatagramRelay(ProxyThread& /*thread*/, ZIPSocket& master) {
  auto* socket = ZCast<ZUDPSocket>(&master);
  if (socket == nullptr) {
    masterSockets.Remove(&master);
    return;
  }
  char datagram[2048];
  ZIPAddress from;
  uint16_t fromPort = 0;
  if (!socket->ReadFrom(datagram, sizeof datagram, from, fromPort)) {
    if (socket->GetErrorCode() != ZChannel::Interrupted && socket->IsOpen()) {
      Log(1, "ReadFrom failed for relay \"%s\": %s", (master.GetService() + "/udp").Text(),
          socket->GetErrorText().Text());
    }
    masterSockets.Remove(&master);
    return;
  }
  new ProxyThread(*this, master, &Proxy::InterimDatagramRelay);
}
