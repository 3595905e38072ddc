// SOCKS 5 (RFC 1928) and its username/password sub-negotiation (RFC 1929)
// in their wire layouts: the messages a client sends, parsed from the bytes
// that have arrived so far, and the messages the agent sends back, built as
// byte strings. Nothing here touches a socket, so every parser can be fed
// any bytes at all.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "zunder/sockets.h"

constexpr uint8_t kSocks5Version = 5;
// The version of the username/password sub-negotiation.
constexpr uint8_t kSocks5AuthVersion = 1;

// Methods of the greeting.
constexpr uint8_t kSocks5NoAuthentication = 0;
constexpr uint8_t kSocks5UsernamePassword = 2;
constexpr uint8_t kSocks5NoAcceptableMethod = 0xFF;

// Commands.
constexpr uint8_t kSocks5Connect = 1;
constexpr uint8_t kSocks5Bind = 2;
constexpr uint8_t kSocks5UdpAssociate = 3;

// Address types.
constexpr uint8_t kSocks5IPv4 = 1;
constexpr uint8_t kSocks5DomainName = 3;
constexpr uint8_t kSocks5IPv6 = 4;

// Reply codes.
enum Socks5ReplyCode : uint8_t {
  kSocks5Succeeded = 0,
  kSocks5GeneralFailure = 1,
  kSocks5NotAllowed = 2,
  kSocks5NetworkUnreachable = 3,
  kSocks5HostUnreachable = 4,
  kSocks5ConnectionRefused = 5,
  kSocks5CommandNotSupported = 7,
  kSocks5AddressTypeNotSupported = 8,
};

// The largest UDP payload over IPv4, header included.
constexpr size_t kSocks5LargestDatagram = 65507;

// What a parser made of the bytes so far.
enum class Socks5Parse {
  Complete,        // a whole message; used tells its length
  NeedMore,        // needed tells how many bytes must have arrived in all
  Invalid,         // not this protocol (a wrong version, a bad length)
  BadAddressType,  // a request or header with an address type that is none of the three
};

// The methods a client offers.
struct Socks5Greeting {
  std::bitset<256> offered;
  bool Offers(uint8_t method) const { return offered.test(method); }
};

// The username and password of RFC 1929 (each 0 to 255 bytes).
struct Socks5Credentials {
  std::string username;
  std::string password;
};

// The address of a request or a datagram's header.
struct Socks5Address {
  uint8_t type = 0;                   // kSocks5IPv4, kSocks5DomainName or kSocks5IPv6
  ZIPAddress address{0u};             // IPv4
  std::string hostName;               // domain name (0 to 255 bytes, any bytes)
  std::array<uint8_t, 16> ipv6 = {};  // IPv6, not carried
  uint16_t port = 0;                  // host byte order
};

struct Socks5Request {
  uint8_t command = 0;
  Socks5Address destination;
};

// What the negotiation of one connection settled.
struct Socks5Session {
  std::string username;  // empty without authentication
  Socks5Request request;
};

// Each parser takes the bytes that have arrived (data, size). On Complete,
// used is the message's length (bytes after it are not the message's); on
// NeedMore, needed is the total the message needs at least, always more
// than size, so that reading up to it never takes a byte past the message.
// The greeting's first byte (the version) is part of data.
Socks5Parse ParseSocks5Greeting(const uint8_t* data, size_t size, Socks5Greeting& greeting, size_t& used,
                                size_t& needed);
Socks5Parse ParseSocks5Credentials(const uint8_t* data, size_t size, Socks5Credentials& credentials, size_t& used,
                                   size_t& needed);
Socks5Parse ParseSocks5Request(const uint8_t* data, size_t size, Socks5Request& request, size_t& used, size_t& needed);

// A UDP datagram of an association: its header and where the payload
// starts. A datagram is whole or nothing: a short one is Invalid.
enum class Socks5Datagram { Whole, Fragment, Invalid, BadAddressType };
Socks5Datagram ParseSocks5UdpHeader(const uint8_t* data, size_t size, Socks5Address& source, size_t& headerLength);

// The agent's messages.
std::string MakeSocks5MethodChoice(uint8_t method);
std::string MakeSocks5AuthStatus(bool accepted);
// Version 5, the code, address type IPv4 with address and port.
std::string MakeSocks5Reply(uint8_t code, const ZIPAddress& address = ZIPAddress(0u), uint16_t port = 0);
// The header of a datagram relayed back to the client: no fragment, IPv4.
std::string MakeSocks5UdpHeader(const ZIPAddress& address, uint16_t port);

// Whether two secrets of at most 255 bytes are equal, in a time that
// depends on neither their contents nor their lengths.
bool SameSecret(std::string_view given, std::string_view expected);
