// The SOCKS 4 request (with SOCKS 4a's host name) and reply in their wire
// layout (checked on their own, apart from any socket), and reading one
// request from a client.
#pragma once

#include <array>
#include <cstdint>

#include "zunder/sockets.h"
#include "zunder/strings.h"
#include "zunder/time.h"

constexpr uint8_t kSocksVersion = 4;
// The version byte of a reply: SOCKS 4 clients accept only 0 there.
constexpr uint8_t kSocksReplyVersion = 0;
constexpr uint8_t kSocksConnect = 1;
constexpr uint8_t kSocksBind = 2;
constexpr uint8_t kSocksGranted = 90;
constexpr uint8_t kSocksRefused = 91;

// Version, command, port and address.
constexpr ZIndex kSocksFixedSize = 8;
// The longest user id taken; a client must not make us collect without end.
constexpr ZIndex kSocksUserIdLimit = 1024;
// The longest host name a SOCKS 4a request may carry.
constexpr ZIndex kSocksHostNameLimit = 255;

using SocksReply = std::array<uint8_t, 8>;

struct SocksRequest {
  uint8_t version = 0;
  uint8_t command = 0;
  uint16_t port = 0;       // host byte order
  ZIPAddress address{0u};  // network byte order inside
  ZString userId;
  ZString hostName;  // SOCKS 4a: the destination by name, resolved by us

  // SOCKS 4a: an address of 0.0.0.x with x not 0 says a host name follows
  // the user id.
  bool NamesHost() const;
  // Takes the fields of the fixed part (multi-byte fields most significant
  // byte first).
  void SetFixedPart(const uint8_t (&bytes)[kSocksFixedSize]);
};

// Collects the user id (or a SOCKS 4a host name) byte by byte up to its
// terminating 0 byte, at most limit bytes.
class SocksUserIdReader {
 public:
  enum class Result { More, Complete, TooLong };

  explicit SocksUserIdReader(ZIndex limit = kSocksUserIdLimit)
      : bound(limit < kSocksUserIdLimit ? limit : kSocksUserIdLimit) {}

  // After Complete or TooLong further bytes are not taken.
  Result Add(uint8_t byte);
  // The id collected so far (without the 0 byte).
  ZString GetUserId() const { return ZString(buffer, length); }

 private:
  char buffer[kSocksUserIdLimit] = {};
  ZIndex bound;
  ZIndex length = 0;
  Result state = Result::More;
};

// The 8-byte reply: version 0, the code, port and address (most
// significant byte first).
SocksReply MakeSocksReply(uint8_t code, uint16_t port = 0, const ZIPAddress& address = ZIPAddress(0u));

// "SOCKS link by \"<user id>\"", with control characters of the id shown as
// '?' so that no id can break or forge a log line.
ZString SocksLinkDescription(const ZString& userId);
// Text from a client as a log line may show it: control characters as '?'.
ZString SocksShownText(const ZString& text);

// Reading one SOCKS 4 request from a client is bounded in total: a client
// that trickles its request byte by byte cannot hold its thread longer than
// a client that sends nothing at all.
enum class SocksReadResult {
  Read,            // the whole request, user id included
  Failed,          // a read failed or the time ran out: see the socket's error
  WrongVersion,    // the fixed part names another version (request.version)
  UserIdTooLong,   // more than kSocksUserIdLimit bytes without the 0 byte
  HostNameTooLong  // SOCKS 4a: more than kSocksHostNameLimit bytes without the 0 byte
};

// Reads the fixed part (as four fields: version, command, port, address),
// then, for version 4, the user id up to its 0 byte, and the host name when
// the address says one follows. Each read waits up to
// the client's read time-out, and the whole request must arrive within
// total: a request not complete by then fails with the error Timeout, as a
// read that timed out does. The client's deadline is cleared on return.
SocksReadResult ReadSocksRequest(ZSocket& client, const ZTimeInterval& total, SocksRequest& request);
// The same without a bound of its own, for a caller that has read the
// version byte already (and bounds the whole negotiation itself). Any
// version but 4 answers WrongVersion after the fixed part.
SocksReadResult ReadSocks4Request(ZSocket& client, uint8_t version, SocksRequest& request);
// Reads exactly length bytes (a field may arrive in pieces).
bool ReadSocksBytes(ZSocket& client, uint8_t* buffer, ZIndex length);
// Reads the first byte a client sends, which tells the versions apart.
bool ReadSocksVersion(ZSocket& client, uint8_t& version);
