// The SOCKS 4 request as the agent reads it: the fixed part, then the user
// id up to its 0 byte (or the bound). Properties: the id is bounded and
// holds no 0 byte, the link description shows no control character, and a
// reply carries the request's port and address unchanged.
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
