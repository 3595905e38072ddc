// HTTP tunnels: a "CONNECT host:port" request on the HTTP agent opens a TCP
// connection to host:port and, once it is up, copies bytes both ways as a
// relay link does (the usual way for a browser to reach an https site
// through an HTTP proxy). Only the ports of the "Connect Ports" list may be
// tunnelled to.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "active_sockets.h"
#include "log_sink.h"
#include "socket_spec.h"
#include "zunder/http.h"
#include "zunder/sockets.h"
#include "zunder/strings.h"

// The ports a tunnel may lead to: blank-separated decimal numbers, 1 to
// 65535 ("443 8443"). An empty list allows none.
class ConnectPorts {
 public:
  static constexpr const char* kDefault = "443";

  // Takes the numbers of text. False when a word is not a port number: the
  // first such word goes into bad, and the good words are kept all the same.
  bool Parse(const ZString& text, ZString* bad = nullptr);
  bool Contains(uint16_t port) const;
  const std::vector<uint16_t>& Ports() const { return ports; }

 private:
  std::vector<uint16_t> ports;
};

// A CONNECT request's target: "host:port" with a host name or dotted
// address, or "[address]:port" (an IPv6 literal, kept without brackets).
struct TunnelTarget {
  ZString host;
  uint16_t port = 0;

  // "host:port" as the log lines and pages show it.
  ZString AsString() const;
};
// False for anything else: no port or one outside 1..65535, an empty host,
// a host longer than 255 characters or with characters no host name has.
bool ParseTunnelTarget(const ZString& text, TunnelTarget& target);

// What a tunnel asks of the service; the tunnel's sockets are among the
// active ones while its connect may wait on them.
class TunnelService : public ActiveSockets {
 public:
  virtual bool IsConnectPort(uint16_t port) = 0;
  // The dial-up gate of this connection's thread.
  virtual void WaitForRemote() = 0;
  // The access check of every relay (logs a refusal itself).
  virtual bool CheckAccess(const SocketSpec& originator, const SocketSpec& destination) = 0;
  // The link to its end, with its log lines and counts; early goes to the
  // destination first.
  virtual void LinkTunnel(ZTCPSocket& client, ZTCPSocket& destination, const ZString& description,
                          std::string_view early) = 0;
  virtual LogSink& GetLog() = 0;
};

// Serves one CONNECT request, whose header has been read, to its end: the
// port check (403), the dial-up gate, the host look-up (502), the access
// check (403), the connect (502), then "HTTP/1.0 200 Connection
// established" and the link. What the client sent after its header goes to
// the destination first.
void RunTunnel(ZHTTPSocket& client, const ZString& target, TunnelService& service);

// "HTTP tunnel to \"host:port\"": the start and close lines of the link
// begin with it.
ZString TunnelDescription(const TunnelTarget& target);
