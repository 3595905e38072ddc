// SOCKS 5 as the agent reads it: the greeting, the username/password
// sub-negotiation when the client offers it, the request, and whatever
// follows as one UDP datagram with its header. Properties: a parser that
// wants more asks for more than it has and never beyond the longest
// message; a message is complete at exactly its own bytes and not before;
// fields stay within their bounds; a datagram's IPv4 header reads back as
// the agent builds it; a user added with its credentials is accepted with
// them and refused with any other password.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "socks5_protocol.h"
#include "socks_users.h"

namespace {

// The longest message a client can send: the credentials.
constexpr size_t kLongest = 1 + 1 + 255 + 1 + 255;

// Parses the message at the start of data; answers the bytes it used (0
// when it is not complete) after checking the parser's promises.
template <typename Message, typename Parser>
size_t Check(Parser parse, const uint8_t* data, size_t size, Message& message, Socks5Parse& result) {
  size_t used = 0;
  size_t needed = 0;
  result = parse(data, size, message, used, needed);
  if (result == Socks5Parse::NeedMore) {
    FUZZ_CHECK(needed > size, "asks for more than it has");
    FUZZ_CHECK(needed <= kLongest, "never beyond the longest message");
    return 0;
  }
  if (result != Socks5Parse::Complete) return 0;
  FUZZ_CHECK(used > 0 && used <= size, "uses what it has");
  Message again;
  size_t usedAgain = 0;
  FUZZ_CHECK(parse(data, used, again, usedAgain, needed) == Socks5Parse::Complete && usedAgain == used,
             "complete at exactly its bytes");
  FUZZ_CHECK(parse(data, used - 1, again, usedAgain, needed) == Socks5Parse::NeedMore && needed <= used,
             "not complete one byte short");
  return used;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Socks5Parse result = Socks5Parse::Invalid;
  Socks5Greeting greeting;
  size_t offset = Check(ParseSocks5Greeting, data, size, greeting, result);
  if (offset == 0) return 0;
  FUZZ_CHECK(offset == 2 + static_cast<size_t>(data[1]), "greeting length");

  if (greeting.Offers(kSocks5UsernamePassword)) {
    Socks5Credentials credentials;
    const size_t used = Check(ParseSocks5Credentials, data + offset, size - offset, credentials, result);
    if (used == 0) return 0;
    FUZZ_CHECK(credentials.username.size() <= 255 && credentials.password.size() <= 255, "credential bounds");
    FUZZ_CHECK(used == 3 + credentials.username.size() + credentials.password.size(), "credentials length");
    SocksUsers users;
    if (users.Add(credentials.username, credentials.password)) {
      FUZZ_CHECK(users.Accepts(credentials.username, credentials.password), "own credentials accepted");
      FUZZ_CHECK(!users.Accepts(credentials.username, credentials.password + "x"), "longer password refused");
      if (!credentials.password.empty()) {
        std::string other = credentials.password;
        other.back() = static_cast<char>(other.back() ^ 1);
        FUZZ_CHECK(!users.Accepts(credentials.username, other), "other password refused");
      }
    }
    FUZZ_CHECK(SameSecret(credentials.password, credentials.password), "a secret is itself");
    offset += used;
  }

  Socks5Request request;
  const size_t used = Check(ParseSocks5Request, data + offset, size - offset, request, result);
  if (result == Socks5Parse::BadAddressType) {
    const uint8_t type = request.destination.type;
    FUZZ_CHECK(type != kSocks5IPv4 && type != kSocks5DomainName && type != kSocks5IPv6, "bad type is bad");
  }
  if (used == 0) return 0;
  const uint8_t* bytes = data + offset;
  FUZZ_CHECK(request.destination.hostName.size() <= 255, "host name bound");
  FUZZ_CHECK(request.destination.port == ((bytes[used - 2] << 8) | bytes[used - 1]), "port is the last two bytes");
  offset += used;

  // The rest is a datagram of the association.
  Socks5Address source;
  size_t headerLength = 0;
  const Socks5Datagram datagram = ParseSocks5UdpHeader(data + offset, size - offset, source, headerLength);
  if (datagram != Socks5Datagram::Whole) return 0;
  FUZZ_CHECK(headerLength <= size - offset, "header within the datagram");
  FUZZ_CHECK(data[offset + 2] == 0, "only unfragmented datagrams are whole");
  if (source.type == kSocks5IPv4 && data[offset] == 0 && data[offset + 1] == 0) {
    const std::string header = MakeSocks5UdpHeader(source.address, source.port);
    FUZZ_CHECK(header.size() == headerLength && std::memcmp(header.data(), data + offset, headerLength) == 0,
               "IPv4 header reads back as built");
  }
  return 0;
}
