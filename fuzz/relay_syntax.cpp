// The relay table's text syntax: ParseService on service descriptions and
// SocketSpec::Parse on host/socket texts, as destination (default port) and
// as address pattern. Properties: a refused description always says why in
// one sentence, an accepted one names tcp or udp.
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "service_description.h"
#include "socket_spec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Relay table lines are short; a long text only costs resolver time.
  if (size > 512) return 0;
  const std::string text = FuzzText(data, size);

  ZString serviceName;
  ZString protocol;
  ZString errors;
  const uint16_t port = ParseService(text.c_str(), serviceName, protocol, errors);
  if (port == 0) {
    FUZZ_CHECK(!errors.IsEmpty(), "a refused description says why");
    FUZZ_CHECK(errors[errors.GetLength() - 1] == '.', "the reason is one sentence");
  } else {
    FUZZ_CHECK(errors.IsEmpty(), "an accepted description reports nothing");
    FUZZ_CHECK(protocol == "tcp" || protocol == "udp", "the protocol is tcp or udp");
    const ZString suffix = ZString("/") + protocol;
    FUZZ_CHECK(serviceName.GetLength() > suffix.GetLength() && serviceName.Right(suffix.GetLength()) == suffix,
               "the canonical name ends with the protocol");
  }

  // Parsed texts are used at once as patterns and in sorted lists.
  const SocketSpec concrete(ZIPAddress(192, 168, 1, 20), 23);
  for (uint16_t defaultPort : {uint16_t{0}, uint16_t{23}, SocketSpec::kNoPort}) {
    SocketSpec socket;
    if (!socket.Parse(text.c_str(), defaultPort)) continue;
    (void)socket.Match(concrete);
    (void)socket.Compare(concrete);
    (void)socket.Hash();
  }
  return 0;
}
