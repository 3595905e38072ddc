// Turning one line of the relay table into an open relay: the checks of the
// service description and relay point, and the master socket.
#pragma once

#include <cstdint>

#include "log_sink.h"
#include "socket_spec.h"
#include "zunder/sockets.h"
#include "zunder/strings.h"

// What serves a relay's master socket.
enum class RelayKind {
  PlainTCP,  // fixed destination, TCP
  PlainUDP,  // fixed destination, UDP
  Ask,       // "(ASK)": the client types the destination
  Http,      // "(HTTP)"
  Socks,     // "(SOCKS)"
  Ftp,       // "(FTP)"
};

struct RelayPlan {
  ZString name;      // canonical, as "telnet/tcp"
  ZString protocol;  // "tcp" or "udp"
  uint16_t port = 0;
  RelayKind kind = RelayKind::PlainTCP;
  SocketSpec destination;  // plain relays only
};

// Checks one relay (service description and relay point) and fills plan.
// False when it cannot be opened; the reason is logged as an error.
bool PlanRelay(const char* serviceDescription, const char* relayPoint, RelayPlan& plan, LogSink& log);

// Opens the listening socket of a planned relay with the host's longest
// listen queue and address reuse. Null on failure, which is logged.
ZIPSocket* OpenMasterSocket(const RelayPlan& plan, LogSink& log);
