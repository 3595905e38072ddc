#include "socket_spec.h"

#include <ostream>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Only digits and dots: such a text is a (possibly malformed) address, never
// a host name, so it is not handed to the resolver (which would accept short
// forms like "1.2.3").
bool LooksNumeric(const ZString& text) {
  for (const char* p = text.Text(); *p != '\0'; ++p) {
    if (!IsDigit(*p) && *p != '.') return false;
  }
  return true;
}

bool IsWildcardOctet(uint8_t octet) { return octet == 0 || octet == 255; }

}  // namespace

bool SocketSpec::Parse(const char* text, uint16_t defaultPort) {
  if (text == nullptr) return false;
  const ZString whole(text);
  const ZIndex colon = whole.Find(':');
  ZString hostPart = whole;
  if (colon == ZNotFound) {
    port = defaultPort;
  } else {
    hostPart = whole.Left(colon);
    if (!ParsePort(whole.Mid(colon + 1), defaultPort)) return false;
  }

  ZIPAddress parsed(0u);
  if (!parsed.Parse(hostPart.Text())) parsed.SetValue(0);
  address = parsed;
  if (address.IsNone() && !LooksNumeric(hostPart)) {
    ZIPAddress found(0u);
    if (ZSocket::GetHostAddress(hostPart.Text(), found) && !found.IsNone()) {
      address = found;
      return true;
    }
  }
  // A relay destination may name a host that cannot be resolved now; the
  // connection to it fails later.
  if (defaultPort < kNoPort) return true;
  return ParsePattern(hostPart);
}

bool SocketSpec::ParsePort(const ZString& portPart, uint16_t defaultPort) {
  if (IsDigit(portPart[0])) {
    uint32_t number = 0;
    for (const char* p = portPart.Text(); IsDigit(*p); ++p) {
      number = number * 10 + static_cast<uint32_t>(*p - '0');
      if (number > 65535) return false;
    }
    port = static_cast<uint16_t>(number);
  } else {
    ZString name = portPart;
    const char* protocol = "tcp";
    const ZIndex slash = portPart.Find('/');
    if (slash != ZNotFound) {
      if (slash == 0) return false;
      const ZString given = portPart.Mid(slash + 1);
      if (given == "udp") {
        protocol = "udp";
      } else if (given != "tcp") {
        return false;
      }
      name = portPart.Left(slash);
    }
    port = ZSocket::GetPortByService(protocol, name.Text());
  }
  if (port == 0) port = defaultPort;
  return true;
}

bool SocketSpec::ParsePattern(const ZString& hostPart) {
  uint8_t octets[4];
  const char* p = hostPart.Text();
  for (int i = 0; i < 4; ++i) {
    if (i > 0 && *p++ != '.') return false;
    if (!IsDigit(*p)) return false;
    uint32_t number = 0;
    while (IsDigit(*p)) {
      number = number * 10 + static_cast<uint32_t>(*p++ - '0');
      if (number > 255) return false;
    }
    octets[i] = static_cast<uint8_t>(number);
  }
  if (*p != '\0') return false;

  // Wildcards spread from the right: an octet only counts as one when every
  // octet to its right is one too.
  if (IsWildcardOctet(octets[3])) {
    octets[3] = 255;
    if (IsWildcardOctet(octets[2])) {
      octets[2] = 255;
      if (IsWildcardOctet(octets[1])) {
        octets[1] = 255;
        if (octets[0] == 0) octets[0] = 255;
      }
    }
  }
  address = ZIPAddress(octets[0], octets[1], octets[2], octets[3]);
  return true;
}

bool SocketSpec::Match(const SocketSpec& other) const {
  if (port != kNoPort) return other.port == port;
  // Number of leading octets that must be equal.
  int significant = 4;
  while (significant > 0 && address.GetByte(significant - 1) == 255) --significant;
  for (int i = 0; i < significant; ++i) {
    if (address.GetByte(i) != other.address.GetByte(i)) return false;
  }
  return true;
}

ZString SocketSpec::AsString() const {
  ZString text = ZSocket::GetHostName(address);
  if (port != 0) text.sprintf(":%u", static_cast<unsigned>(port));
  return text;
}

ZComparison SocketSpec::Compare(const ZObject& other) const {
  const SocketSpec* spec = ZCast<SocketSpec>(&other);
  if (spec == nullptr) return GreaterThan;
  const uint32_t mine = address.GetHostOrder();
  const uint32_t theirs = spec->address.GetHostOrder();
  if (mine != theirs) return mine < theirs ? LessThan : GreaterThan;
  return ZSign(static_cast<long long>(port) - static_cast<long long>(spec->port));
}

ZObject* SocketSpec::Clone() const { return new SocketSpec(*this); }

uint32_t SocketSpec::Hash() const {
  return static_cast<uint32_t>((static_cast<uint64_t>(address.GetHostOrder()) + port) % 23);
}

void SocketSpec::Print(std::ostream& out) const { out << address.GetDotted().Text() << ':' << port; }
