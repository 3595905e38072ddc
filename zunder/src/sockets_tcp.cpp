// ZTCPSocket: connect, accept, urgent data and the half close.

#include "host_error.h"
#include "host_socket.h"
#include "sockets_timing.h"
#include "zunder/sockets.h"

using zsockets::Deadline;
using zsockets::kLingerSeconds;

bool ZTCPSocket::Connect(const char* host) {
  ZIPAddress address;
  const int fd = OpenForConnect(host, true, address);
  if (fd < 0) return false;
  // Attached before connecting, so that Close from another thread can end
  // a slow connect.
  Attach(fd);
  bool connected = false;
  int error = 0;
  Error code = NoError;
  {
    Use use(*this);
    if (!use.Ok()) {
      SetEntryFailure(use.GetEntry());
      return false;
    }
    connected = zhost::ConnectSocket(use.Fd(), address.GetValue(), port, error);
    if (connected) {
      int ignored = 0;
      zhost::SetLinger(use.Fd(), kLingerSeconds, ignored);
      RememberPeer(address.GetValue(), port);
    } else if (IsClosing()) {
      code = Interrupted;
      error = zhost::kInterrupted;
    } else {
      code = ErrorFromOS(error);
    }
  }
  if (!connected) {
    Close();
    SetResult(code, error);
    return false;
  }
  SetResult(0);
  return true;
}

bool ZTCPSocket::Listen(int queueSize, uint16_t newPort, bool exclusive) {
  return ListenAs(true, queueSize, newPort, exclusive);
}

bool ZTCPSocket::Accept(ZIPSocket& listener) {
  Close();
  Use listening(listener);
  if (!listening.Ok()) {
    // A listener closed by another thread is the normal way to stop
    // accepting; only one that was never opened is misuse.
    if (listening.GetEntry() == NeverOpened) Z_ASSERT_CODE(ZAssertFileNotOpen);
    SetEntryFailure(listening.GetEntry());
    RecordOn(listener, GetErrorCode(), GetOSError());
    return false;
  }
  const Deadline deadline(listener.GetReadTimeout().GetMilliseconds());
  int fd = -1;
  uint32_t peerAddress = 0;
  uint16_t peerPort = 0;
  // Under load connections are already queued: the first try takes one
  // without waiting, which saves a poll each; when none is there it costs
  // one quick call, small beside the wait that follows.
  for (bool wait = false;; wait = true) {
    if (wait) {
      int ready = WaitFor(listening.Fd(), false, deadline.Remaining());
      bool closing = listener.IsOpen() == false;
      if (closing) {
        SetResult(Interrupted, zhost::kInterrupted);
      } else if (ready == 0) {
        SetResult(Timeout, zhost::kWouldBlock);
      }
      if (closing || ready <= 0) {
        RecordOn(listener, GetErrorCode(), GetOSError());
        return false;
      }
    }
    int error = 0;
    fd = zhost::AcceptSocket(listening.Fd(), peerAddress, peerPort, error);
    if (fd >= 0) break;
    // Someone else took the connection, or it was reset before we came.
    if (zhost::IsAcceptRetry(error)) {
      if (wait && deadline.Expired()) {
        SetResult(Timeout, zhost::kWouldBlock);
        RecordOn(listener, Timeout, zhost::kWouldBlock);
        return false;
      }
      continue;
    }
    if (!listener.IsOpen()) {
      SetResult(Interrupted, zhost::kInterrupted);
    } else {
      SetResult(error);
    }
    RecordOn(listener, GetErrorCode(), GetOSError());
    return false;
  }
  TakeAccepted(listener, fd, peerAddress, peerPort);
  RecordOn(listener, NoError, 0);
  return true;
}

bool ZTCPSocket::AcceptQueued(ZIPSocket& listener) {
  Close();
  Use listening(listener);
  if (!listening.Ok()) {
    SetEntryFailure(listening.GetEntry());
    return false;
  }
  uint32_t peerAddress = 0;
  uint16_t peerPort = 0;
  int error = 0;
  // The listener's own thread records its results on it; a taker that
  // found nothing leaves them alone.
  const int fd = zhost::AcceptSocket(listening.Fd(), peerAddress, peerPort, error);
  if (fd < 0) {
    if (zhost::IsAcceptRetry(error)) {
      SetResult(Timeout, zhost::kWouldBlock);
    } else {
      SetResult(error);
    }
    return false;
  }
  TakeAccepted(listener, fd, peerAddress, peerPort);
  return true;
}

void ZTCPSocket::TakeAccepted(ZIPSocket& listener, int fd, uint32_t peerAddress, uint16_t peerPort) {
  // Our own listeners carry the linger option, and accepted sockets inherit it.
  if (!LingerInherited(listener)) {
    int ignored = 0;
    zhost::SetLinger(fd, kLingerSeconds, ignored);
  }
  port = listener.GetPort();
  Attach(fd);
  RememberPeer(peerAddress, peerPort);
  SetResult(0);
}

bool ZTCPSocket::WriteOutOfBand(const void* buffer, ZIndex length) {
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
  long sent = zhost::Send(use.Fd(), buffer, static_cast<size_t>(length), true, true, error);
  if (sent < 0) {
    SetFailure(error);
    return false;
  }
  SetLastWriteCount(static_cast<ZIndex>(sent));
  SetResult(0);
  return true;
}

void ZTCPSocket::OnOutOfBand(const void*, ZIndex) {}

bool ZTCPSocket::SetUrgentInline(bool on) {
  Use use(*this);
  if (!use.Ok()) {
    SetEntryFailure(use.GetEntry());
    return false;
  }
  int error = 0;
  if (!zhost::SetUrgentInline(use.Fd(), on, error)) {
    SetFailure(error);
    return false;
  }
  SetResult(0);
  return true;
}

void ZTCPSocket::CloseDiscarding() {
  {
    Use use(*this);
    if (use.Ok()) {
      int ignored = 0;
      zhost::SetLinger(use.Fd(), 0, ignored);
    }
  }
  Close();
}

bool ZTCPSocket::ShutdownWrite() {
  Use use(*this);
  if (!use.Ok()) {
    SetEntryFailure(use.GetEntry());
    return false;
  }
  int error = 0;
  if (!zhost::ShutdownSend(use.Fd(), error)) {
    SetFailure(error);
    return false;
  }
  SetResult(0);
  return true;
}
