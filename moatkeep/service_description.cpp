#include "service_description.h"

#include "zunder/sockets.h"

namespace {

// A service part that is a plain number beyond the port range; the look-up
// would otherwise cut it down to 16 bits and open some unrelated port.
bool IsNumberOutOfRange(const ZString& service) {
  uint32_t number = 0;
  const char* p = service.Text();
  if (*p < '0' || *p > '9') return false;
  for (; *p >= '0' && *p <= '9'; ++p) {
    number = number * 10 + static_cast<uint32_t>(*p - '0');
    if (number > 65535) return true;
  }
  return false;
}

}  // namespace

uint16_t ParseService(const char* description, ZString& serviceName, ZString& protocol, ZString& errors) {
  const ZString text(description != nullptr ? description : "");
  ZString service = text;
  protocol = "tcp";
  const ZIndex slash = text.Find('/');
  if (slash != ZNotFound) {
    service = text.Left(slash);
    protocol = text.Mid(slash + 1);
    // Compared exactly: "UDP" is not a protocol here.
    if (protocol != "udp" && protocol != "tcp") {
      errors += "Invalid service description: \"";
      errors += text;
      errors += "\".";
      return 0;
    }
  }
  const uint16_t port = IsNumberOutOfRange(service) ? 0 : ZSocket::GetPortByService(protocol.Text(), service.Text());
  if (port == 0) {
    errors += "Unknown service or port: \"";
    errors += text;
    errors += "\".";
    return 0;
  }
  serviceName = ZSocket::GetServiceByPort(protocol.Text(), port) + "/" + protocol;
  return port;
}
