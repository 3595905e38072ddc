// ZIPAddress: an IPv4 address, its dotted form and its bytes.
#include <ostream>

#include "host_socket.h"
#include "zunder/sockets.h"

ZIPAddress::ZIPAddress() : value(zhost::HostToNetwork(0x7f000001)) {}

ZIPAddress::ZIPAddress(uint8_t first, uint8_t second, uint8_t third, uint8_t fourth)
    : value(
          zhost::HostToNetwork((uint32_t{first} << 24) | (uint32_t{second} << 16) | (uint32_t{third} << 8) | fourth)) {}

uint32_t ZIPAddress::GetHostOrder() const { return zhost::NetworkToHost(value); }

uint8_t ZIPAddress::GetByte(int index) const {
  if (index < 0 || index > 3) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    return 0;
  }
  return static_cast<uint8_t>(GetHostOrder() >> (24 - 8 * index));
}

void ZIPAddress::SetByte(int index, uint8_t byte) {
  if (index < 0 || index > 3) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    return;
  }
  int shift = 24 - 8 * index;
  uint32_t host = (GetHostOrder() & ~(0xffu << shift)) | (uint32_t{byte} << shift);
  value = zhost::HostToNetwork(host);
}

ZString ZIPAddress::GetDotted() const {
  return FormatText("%u.%u.%u.%u", GetByte(0), GetByte(1), GetByte(2), GetByte(3));
}

bool ZIPAddress::Parse(const char* text) {
  if (text == nullptr) return false;
  uint32_t host = 0;
  const char* p = text;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && *p++ != '.') return false;
    if (*p < '0' || *p > '9') return false;
    uint32_t number = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9') {
      number = number * 10 + static_cast<uint32_t>(*p++ - '0');
      if (++digits > 3 || number > 255) return false;
    }
    host = (host << 8) | number;
  }
  if (*p != '\0') return false;
  value = zhost::HostToNetwork(host);
  return true;
}

ZComparison ZIPAddress::Compare(const ZObject& other) const {
  const ZIPAddress* address = ZCast<ZIPAddress>(&other);
  if (address == nullptr) return GreaterThan;
  uint32_t mine = GetHostOrder();
  uint32_t theirs = address->GetHostOrder();
  return mine < theirs ? LessThan : (mine > theirs ? GreaterThan : EqualTo);
}

ZObject* ZIPAddress::Clone() const { return new ZIPAddress(*this); }

uint32_t ZIPAddress::Hash() const { return GetHostOrder() % 23; }

void ZIPAddress::Print(std::ostream& out) const { out << GetDotted().Text(); }
