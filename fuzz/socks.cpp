// The SOCKS 4 request as the agent reads it: the fixed part, then the user
// id up to its 0 byte (or the bound), then SOCKS 4a's host name when the
// address is 0.0.0.x. Properties: the id and the name are bounded and hold
// no 0 byte, the link description and a name as logged show no control
// character, and a reply carries the request's port and address unchanged.
#include <cstdint>
#include <cstring>

#include "fuzz_check.h"
#include "socks_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < static_cast<size_t>(kSocksFixedSize)) return 0;
  uint8_t fixed[kSocksFixedSize];
  std::memcpy(fixed, data, sizeof fixed);
  SocksRequest request;
  request.SetFixedPart(fixed);
  FUZZ_CHECK(request.version == data[0] && request.command == data[1], "version and command bytes");

  SocksUserIdReader reader;
  SocksUserIdReader::Result result = SocksUserIdReader::Result::More;
  size_t taken = 0;
  for (size_t i = kSocksFixedSize; i < size && result == SocksUserIdReader::Result::More; ++i) {
    result = reader.Add(data[i]);
    ++taken;
  }
  // Further bytes after the end are refused.
  if (result != SocksUserIdReader::Result::More) FUZZ_CHECK(reader.Add('x') == result, "ended reader stays ended");
  request.userId = reader.GetUserId();
  FUZZ_CHECK(request.userId.GetLength() <= kSocksUserIdLimit, "user id bound");
  FUZZ_CHECK(static_cast<size_t>(request.userId.GetLength()) <= taken, "user id no longer than its bytes");
  if (result == SocksUserIdReader::Result::Complete) {
    FUZZ_CHECK(static_cast<size_t>(request.userId.GetLength()) + 1 == taken, "id ends at its 0 byte");
  }

  // SOCKS 4a: the host name after the id's 0 byte.
  if (result == SocksUserIdReader::Result::Complete && request.NamesHost()) {
    FUZZ_CHECK(request.address.GetByte(3) != 0 && request.address.GetByte(0) == 0, "4a address form");
    SocksUserIdReader name(kSocksHostNameLimit);
    SocksUserIdReader::Result nameResult = SocksUserIdReader::Result::More;
    size_t nameTaken = 0;
    for (size_t i = kSocksFixedSize + taken; i < size && nameResult == SocksUserIdReader::Result::More; ++i) {
      nameResult = name.Add(data[i]);
      ++nameTaken;
    }
    request.hostName = name.GetUserId();
    FUZZ_CHECK(request.hostName.GetLength() <= kSocksHostNameLimit, "host name bound");
    FUZZ_CHECK(static_cast<size_t>(request.hostName.GetLength()) <= nameTaken, "name no longer than its bytes");
    if (nameResult == SocksUserIdReader::Result::Complete) {
      FUZZ_CHECK(static_cast<size_t>(request.hostName.GetLength()) + 1 == nameTaken, "name ends at its 0 byte");
    }
    if (nameResult == SocksUserIdReader::Result::TooLong) {
      FUZZ_CHECK(nameTaken == static_cast<size_t>(kSocksHostNameLimit) + 1, "too long only past the bound");
    }
    const ZString shown = SocksShownText(request.hostName);
    for (const char* p = shown.Text(); *p != '\0'; ++p) {
      const auto c = static_cast<unsigned char>(*p);
      FUZZ_CHECK(c >= 32 && c != 127, "no control character in a logged name");
    }
  }

  const ZString description = SocksLinkDescription(request.userId);
  for (const char* p = description.Text(); *p != '\0'; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    FUZZ_CHECK(c >= 32 && c != 127, "no control character in a log line");
  }

  const SocksReply reply = MakeSocksReply(kSocksGranted, request.port, request.address);
  FUZZ_CHECK(reply[0] == kSocksReplyVersion && reply[1] == kSocksGranted, "reply header");
  FUZZ_CHECK(std::memcmp(reply.data() + 2, data + 2, 6) == 0, "reply carries port and address");
  return 0;
}
