// SocketSpec: an IPv4 address and a port as written in the relay table and
// the access restrictions ("host", "host:port", "host:service/udp"), also
// used as an address pattern with octets of 255 as wildcards.
#pragma once

#include <cstdint>

#include "zunder/sockets.h"
#include "zunder/strings.h"

class SocketSpec : public ZObject {
  Z_CLASS(SocketSpec, ZObject)
 public:
  // A port of 65535 means "no port": the specification is an address pattern.
  static constexpr uint16_t kNoPort = 65535;

  SocketSpec() : address(0u), port(0) {}
  SocketSpec(const ZIPAddress& ipAddress, uint16_t portNumber) : address(ipAddress.GetValue()), port(portNumber) {}
  SocketSpec(uint32_t networkOrderAddress, uint16_t portNumber) : address(networkOrderAddress), port(portNumber) {}

  // Reads "host[:port]". A missing port, a port of 0 and an unknown service
  // give defaultPort. Below 65535 an unresolvable host is taken as 0.0.0.0;
  // with 65535 (pattern form) the host must then be four dotted numbers,
  // whose trailing 0/255 octets become wildcards. False leaves the
  // specification in an unspecified but valid state.
  bool Parse(const char* text, uint16_t defaultPort);

  // Whether other (a concrete address and port) is covered: by port alone
  // when this has one, else by the address with 255 octets from the right
  // as wildcards.
  bool Match(const SocketSpec& other) const;

  // The host's name (reverse look-up, else dotted) and ":port" unless the
  // port is 0. The look-up may take a while: never call it under a lock.
  ZString AsString() const;

  bool operator==(const SocketSpec& other) const { return address == other.address && port == other.port; }
  bool operator!=(const SocketSpec& other) const { return !(*this == other); }

  // By the address in host order, then the port.
  ZComparison Compare(const ZObject& other) const override;
  ZObject* Clone() const override;
  // (host-order address + port) modulo 23.
  uint32_t Hash() const override;
  void Print(std::ostream& out) const override;

  ZIPAddress address;  // network byte order
  uint16_t port;       // host byte order

 private:
  bool ParsePort(const ZString& portPart, uint16_t defaultPort);
  bool ParsePattern(const ZString& hostPart);
};
