#include "socks5_protocol.h"

namespace {

// Whether size bytes hold a message part that ends at wanted; when they do
// not, needed says how many the parser asks for.
bool Holds(size_t size, size_t wanted, size_t& needed) {
  if (size >= wanted) return true;
  needed = wanted;
  return false;
}

uint16_t PortAt(const uint8_t* bytes) { return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]); }

ZIPAddress AddressAt(const uint8_t* bytes) {
  ZIPAddress value(0u);
  for (int index = 0; index < 4; ++index) value.SetByte(index, bytes[index]);
  return value;
}

// The address type byte at offset, then the address and the port. Complete
// sets used to the offset just after the port.
Socks5Parse ParseAddress(const uint8_t* data, size_t size, size_t offset, Socks5Address& address, size_t& used,
                         size_t& needed) {
  if (!Holds(size, offset + 1, needed)) return Socks5Parse::NeedMore;
  address.type = data[offset];
  size_t addressStart = offset + 1;
  size_t addressLength = 0;
  switch (address.type) {
    case kSocks5IPv4: addressLength = 4; break;
    case kSocks5IPv6: addressLength = 16; break;
    case kSocks5DomainName:
      if (!Holds(size, addressStart + 1, needed)) return Socks5Parse::NeedMore;
      addressLength = data[addressStart];
      ++addressStart;
      break;
    default: return Socks5Parse::BadAddressType;
  }
  const size_t end = addressStart + addressLength + 2;
  if (!Holds(size, end, needed)) return Socks5Parse::NeedMore;
  const uint8_t* at = data + addressStart;
  if (address.type == kSocks5IPv4) {
    address.address = AddressAt(at);
  } else if (address.type == kSocks5IPv6) {
    for (size_t index = 0; index < 16; ++index) address.ipv6[index] = at[index];
  } else {
    address.hostName.assign(reinterpret_cast<const char*>(at), addressLength);
  }
  address.port = PortAt(at + addressLength);
  used = end;
  return Socks5Parse::Complete;
}

std::string IPv4AndPort(const ZIPAddress& address, uint16_t port) {
  std::string bytes;
  for (int index = 0; index < 4; ++index) bytes.push_back(static_cast<char>(address.GetByte(index)));
  bytes.push_back(static_cast<char>(port >> 8));
  bytes.push_back(static_cast<char>(port & 0xff));
  return bytes;
}

}  // namespace

Socks5Parse ParseSocks5Greeting(const uint8_t* data, size_t size, Socks5Greeting& greeting, size_t& used,
                                size_t& needed) {
  if (!Holds(size, 2, needed)) return Socks5Parse::NeedMore;
  if (data[0] != kSocks5Version) return Socks5Parse::Invalid;
  const size_t end = 2 + static_cast<size_t>(data[1]);
  if (!Holds(size, end, needed)) return Socks5Parse::NeedMore;
  greeting.offered.reset();
  for (size_t index = 2; index < end; ++index) greeting.offered.set(data[index]);
  used = end;
  return Socks5Parse::Complete;
}

Socks5Parse ParseSocks5Credentials(const uint8_t* data, size_t size, Socks5Credentials& credentials, size_t& used,
                                   size_t& needed) {
  if (!Holds(size, 2, needed)) return Socks5Parse::NeedMore;
  if (data[0] != kSocks5AuthVersion) return Socks5Parse::Invalid;
  const size_t nameLength = data[1];
  const size_t passwordLengthAt = 2 + nameLength;
  if (!Holds(size, passwordLengthAt + 1, needed)) return Socks5Parse::NeedMore;
  const size_t end = passwordLengthAt + 1 + static_cast<size_t>(data[passwordLengthAt]);
  if (!Holds(size, end, needed)) return Socks5Parse::NeedMore;
  credentials.username.assign(reinterpret_cast<const char*>(data + 2), nameLength);
  credentials.password.assign(reinterpret_cast<const char*>(data + passwordLengthAt + 1), end - passwordLengthAt - 1);
  used = end;
  return Socks5Parse::Complete;
}

Socks5Parse ParseSocks5Request(const uint8_t* data, size_t size, Socks5Request& request, size_t& used, size_t& needed) {
  if (!Holds(size, 3, needed)) return Socks5Parse::NeedMore;
  if (data[0] != kSocks5Version) return Socks5Parse::Invalid;
  request.command = data[1];
  // The reserved byte is taken as it comes: clients are known to send
  // other values than 0 there.
  return ParseAddress(data, size, 3, request.destination, used, needed);
}

Socks5Datagram ParseSocks5UdpHeader(const uint8_t* data, size_t size, Socks5Address& source, size_t& headerLength) {
  if (size < 4) return Socks5Datagram::Invalid;
  if (data[2] != 0) return Socks5Datagram::Fragment;
  size_t needed = 0;
  switch (ParseAddress(data, size, 3, source, headerLength, needed)) {
    case Socks5Parse::Complete: return Socks5Datagram::Whole;
    case Socks5Parse::BadAddressType: return Socks5Datagram::BadAddressType;
    case Socks5Parse::NeedMore:
    case Socks5Parse::Invalid: break;
  }
  return Socks5Datagram::Invalid;
}

std::string MakeSocks5MethodChoice(uint8_t method) {
  return std::string{static_cast<char>(kSocks5Version), static_cast<char>(method)};
}

std::string MakeSocks5AuthStatus(bool accepted) {
  return std::string{static_cast<char>(kSocks5AuthVersion), static_cast<char>(accepted ? 0 : 1)};
}

std::string MakeSocks5Reply(uint8_t code, const ZIPAddress& address, uint16_t port) {
  std::string reply{static_cast<char>(kSocks5Version), static_cast<char>(code), 0, static_cast<char>(kSocks5IPv4)};
  return reply + IPv4AndPort(address, port);
}

std::string MakeSocks5UdpHeader(const ZIPAddress& address, uint16_t port) {
  std::string header{0, 0, 0, static_cast<char>(kSocks5IPv4)};
  return header + IPv4AndPort(address, port);
}

bool SameSecret(std::string_view given, std::string_view expected) {
  // Always the same 256 steps, whatever the lengths and wherever the texts
  // differ; the lengths themselves are compared the same way.
  constexpr size_t kSteps = 256;
  unsigned difference = static_cast<unsigned>(given.size() ^ expected.size());
  if (given.size() >= kSteps || expected.size() >= kSteps) difference |= 1u;
  for (size_t index = 0; index < kSteps; ++index) {
    const auto a = static_cast<unsigned char>(index < given.size() ? given[index] : 0);
    const auto b = static_cast<unsigned char>(index < expected.size() ? expected[index] : 0);
    difference |= static_cast<unsigned>(a ^ b);
  }
  // Read through a volatile, so the compiler cannot stop at the first
  // difference it finds.
  volatile unsigned result = difference;
  return result == 0;
}
