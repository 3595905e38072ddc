// ZIPSocket: ports and services, the addresses of both ends, and listening.

#include "host_error.h"
#include "host_socket.h"
#include "sockets_timing.h"
#include "zunder/sockets.h"

using zsockets::kLingerSeconds;

ZIPSocket::ZIPSocket(const char* protocol, const char* service) : port(ZSocket::GetPortByService(protocol, service)) {}

uint16_t ZIPSocket::GetPortByService(const char* service) { return ZSocket::GetPortByService(GetProtocol(), service); }

ZString ZIPSocket::GetServiceByPort(uint16_t number) { return ZSocket::GetServiceByPort(GetProtocol(), number); }

bool ZIPSocket::SetPort(uint16_t newPort) {
  if (IsOpen()) {
    Z_ASSERT_MESSAGE("Cannot change port number of opened socket");
    return false;
  }
  port = newPort;
  return true;
}

bool ZIPSocket::SetPort(const char* service) {
  if (IsOpen()) {
    Z_ASSERT_MESSAGE("Cannot change port number of opened socket");
    return false;
  }
  port = GetPortByService(service);
  return true;
}

ZString ZIPSocket::GetService() { return GetServiceByPort(port); }

ZString ZIPSocket::GetName() const {
  Use use(*this);
  if (!use.Ok()) return ZString();
  uint32_t address = 0;
  uint16_t peerPort = 0;
  int error = 0;
  if (!RecallPeer(address, peerPort) && !zhost::GetPeer(use.Fd(), address, peerPort, error)) return ZString();
  return GetHostName(ZIPAddress(address)) + FormatText(" %u", static_cast<unsigned>(peerPort));
}

bool ZIPSocket::GetPeerAddress(ZIPAddress& address) {
  uint16_t ignored = 0;
  return GetPeerAddress(address, ignored);
}

bool ZIPSocket::GetPeerAddress(ZIPAddress& address, uint16_t& peerPort) {
  Use use(*this);
  if (!use.Ok()) {
    SetEntryFailure(use.GetEntry());
    return false;
  }
  uint32_t value = 0;
  int error = 0;
  if (!RecallPeer(value, peerPort) && !zhost::GetPeer(use.Fd(), value, peerPort, error)) {
    SetFailure(error);
    return false;
  }
  address.SetValue(value);
  SetResult(0);
  return true;
}

bool ZIPSocket::GetLocalAddress(ZIPAddress& address, uint16_t& localPort) {
  Use use(*this);
  if (!use.Ok()) {
    SetEntryFailure(use.GetEntry());
    return false;
  }
  uint32_t value = 0;
  int error = 0;
  if (!zhost::GetLocal(use.Fd(), value, localPort, error)) {
    SetFailure(error);
    return false;
  }
  address.SetValue(value);
  SetResult(0);
  return true;
}

ZString ZIPSocket::GetPeerHostName() {
  ZIPAddress address;
  if (!GetPeerAddress(address)) return ZString();
  return GetHostName(address);
}

int ZIPSocket::OpenForConnect(const char* host, bool stream, ZIPAddress& address) {
  Close();
  if (port == 0) {
    Z_ASSERT_MESSAGE("Cannot connect socket without setting port");
    SetResult(BadParameter, zhost::kInvalidArgument);
    return -1;
  }
  if (!GetHostAddress(host, address)) {
    SetResult(Miscellaneous, zhost::kHostUnreachable);
    return -1;
  }
  int error = 0;
  const int fd = zhost::CreateSocket(stream ? zhost::SocketKind::Stream : zhost::SocketKind::Datagram, error);
  if (fd < 0) SetResult(error);
  return fd;
}

bool ZIPSocket::ListenAs(bool stream, int queueSize, uint16_t newPort, bool exclusive) {
  Close();
  if (newPort != 0) port = newPort;
  int error = 0;
  int fd = zhost::CreateSocket(stream ? zhost::SocketKind::Stream : zhost::SocketKind::Datagram, error);
  if (fd < 0) {
    SetResult(error);
    return false;
  }
  uint16_t bound = 0;
  bool done = zhost::SetAddressReuse(fd, !exclusive, error) && zhost::BindAny(fd, port, error) &&
              (!stream || (zhost::ListenSocket(fd, queueSize, error) &&
                           // accept must never block once poll said ready
                           zhost::SetNonBlocking(fd, error))) &&
              zhost::GetLocalPort(fd, bound, error);
  if (!done) {
    zhost::CloseSocket(fd);
    SetResult(error);
    return false;
  }
  // Set on the listener once rather than on every accepted socket.
  const bool linger = stream && zhost::SetLinger(fd, kLingerSeconds, error);
  port = bound;
  Attach(fd);
  SetLingerInherited(linger);
  SetResult(0);
  return true;
}
