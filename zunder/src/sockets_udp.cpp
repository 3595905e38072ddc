// ZUDPSocket: datagrams to and from any peer, and the length of the next one.

#include "host_error.h"
#include "host_socket.h"
#include "zunder/sockets.h"

bool ZUDPSocket::Connect(const char* host) {
  ZIPAddress address;
  const int fd = OpenForConnect(host, false, address);
  if (fd < 0) return false;
  // A datagram connect only fixes the destination: it never blocks.
  int error = 0;
  if (!zhost::ConnectSocket(fd, address.GetValue(), port, error)) {
    zhost::CloseSocket(fd);
    SetResult(error);
    return false;
  }
  Attach(fd);
  SetResult(0);
  return true;
}

bool ZUDPSocket::Listen(int queueSize, uint16_t newPort, bool exclusive) {
  return ListenAs(false, queueSize, newPort, exclusive);
}

bool ZUDPSocket::Accept(ZIPSocket&) {
  Z_ASSERT_MESSAGE("Illegal operation.");
  SetResult(BadParameter, zhost::kInvalidArgument);
  return false;
}

bool ZUDPSocket::ReadFrom(void* buffer, ZIndex length, ZIPAddress& address, uint16_t& fromPort) {
  return ReadInto(buffer, length, &address, &fromPort);
}

bool ZUDPSocket::PeekDatagramLength(ZIndex& length) {
  length = 0;
  Use use(*this);
  if (!use.Ok()) {
    SetEntryFailure(use.GetEntry());
    return false;
  }
  const long whole = ReceiveWithin(use.Fd(), nullptr, 0, nullptr, nullptr, true);
  if (whole < 0) return false;
  length = static_cast<ZIndex>(whole);
  return true;
}

bool ZUDPSocket::WriteTo(const void* buffer, ZIndex length, const ZIPAddress& address, uint16_t toPort) {
  SetLastWriteCount(0);
  if (length < 0 || (buffer == nullptr && length > 0)) {
    SetResult(BadParameter, zhost::kInvalidArgument);
    return false;
  }
  Use use(*this);
  if (!use.Ok()) {
    SetEntryFailure(use.GetEntry());
    return false;
  }
  int error = 0;
  long sent = zhost::SendTo(use.Fd(), buffer, static_cast<size_t>(length), address.GetValue(), toPort, error);
  if (sent < 0) {
    SetFailure(error);
    return false;
  }
  SetLastWriteCount(static_cast<ZIndex>(sent));
  SetResult(0);
  return sent == length;
}
