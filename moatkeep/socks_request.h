// The SOCKS 4 request and reply in their wire layout, apart from any socket
// so that they can be checked on their own.
#pragma once

#include <array>
#include <cstdint>

#include "zunder/sockets.h"
#include "zunder/strings.h"

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

using SocksReply = std::array<uint8_t, 8>;

struct SocksRequest {
  uint8_t version = 0;
  uint8_t command = 0;
  uint16_t port = 0;           // host byte order
  ZIPAddress address{0u};      // network byte order inside
  ZString userId;

  // Takes the fields of the fixed part (multi-byte fields most significant
  // byte first).
  void SetFixedPart(const uint8_t (&bytes)[kSocksFixedSize]);
};

// Collects the user id byte by byte up to its terminating 0 byte.
class SocksUserIdReader {
 public:
  enum class Result { More, Complete, TooLong };

  // After Complete or TooLong further bytes are not taken.
  Result Add(uint8_t byte);
  // The id collected so far (without the 0 byte).
  ZString GetUserId() const { return ZString(buffer, length); }

 private:
  char buffer[kSocksUserIdLimit] = {};
  ZIndex length = 0;
  Result state = Result::More;
};

// The 8-byte reply: version 0, the code, port and address (most
// significant byte first).
SocksReply MakeSocksReply(uint8_t code, uint16_t port = 0, const ZIPAddress& address = ZIPAddress(0u));

// "SOCKS link by \"<user id>\"", with control characters of the id shown as
// '?' so that no id can break or forge a log line.
ZString SocksLinkDescription(const ZString& userId);
