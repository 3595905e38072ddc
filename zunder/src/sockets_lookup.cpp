// Host and service look-ups, and the cache of service names by port.
#include <map>
#include <mutex>
#include <string>
#include <tuple>

#include "host_socket.h"
#include "zunder/sockets.h"

ZString ZSocket::GetHostName() {
  ZString name;
  if (!zhost::LocalHostName(name) || name.IsEmpty()) return ZString("localhost");
  return name.Left(50);
}

ZString ZSocket::GetHostName(const char* host) {
  if (host == nullptr) return ZString();
  ZIPAddress address;
  if (address.Parse(host)) return GetHostName(address);
  uint32_t found = 0;
  ZString official;
  if (host[0] != '\0' && zhost::LookupHost(host, found, &official) && !official.IsEmpty()) {
    return official;
  }
  return ZString(host);
}

ZString ZSocket::GetHostName(const ZIPAddress& address) {
  ZString name;
  if (zhost::LookupAddressName(address.GetValue(), name) && !name.IsEmpty()) return name;
  return address.GetDotted();
}

bool ZSocket::GetHostAddress(const char* host, ZIPAddress& address) {
  if (host == nullptr || host[0] == '\0') return false;
  if (address.Parse(host)) return true;
  uint32_t found = 0;
  if (!zhost::LookupHost(host, found, nullptr)) return false;
  address.SetValue(found);
  return true;
}

bool ZSocket::GetHostAddress(ZIPAddress& address) { return GetHostAddress(GetHostName(), address); }

bool ZSocket::GetInterfaceAddresses(std::vector<ZIPAddress>& addresses) {
  std::vector<uint32_t> found;
  int error = 0;
  if (!zhost::InterfaceAddresses(found, error)) return false;
  for (const uint32_t address : found) addresses.emplace_back(address);
  return true;
}

uint16_t ZSocket::GetPortByService(const char* protocol, const char* service) {
  if (service == nullptr) return 0;
  ZString text(service);
  ZIndex split = text.FindOneOf(" \t\r\n");
  ZString name = split == ZNotFound ? text : text.Left(split);
  uint16_t port = 0;
  if (!name.IsEmpty() && zhost::LookupServicePort(name.Text(), protocol, port)) return port;
  if (split != ZNotFound) return static_cast<uint16_t>(text.Mid(split + 1).Trim().AsInteger());
  if (text[0] >= '0' && text[0] <= '9') return static_cast<uint16_t>(text.AsInteger());
  return 0;
}

ZString ZSocket::GetServiceByPort(const char* protocol, uint16_t port) {
  // Every accepted connection names its relay: remember the answers rather
  // than parse the services database each time. Ports and protocols are
  // few, so the cache stays small.
  static std::mutex cacheMutex;
  using Key = std::tuple<bool, std::string, uint16_t>;  // no protocol is not ""
  static auto* cache = new std::map<Key, std::string>;
  const Key key(protocol != nullptr, protocol != nullptr ? protocol : "", port);
  {
    std::lock_guard<std::mutex> lock(cacheMutex);
    auto found = cache->find(key);
    if (found != cache->end()) return ZString(found->second.c_str());
  }
  ZString name;
  if (!zhost::LookupServiceName(port, protocol, name) || name.IsEmpty()) {
    name = FormatText("%u", static_cast<unsigned>(port));
  }
  std::lock_guard<std::mutex> lock(cacheMutex);
  cache->emplace(key, std::string(name.Text()));
  return name;
}
