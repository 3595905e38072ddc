#include "socks_bind.h"

#include <chrono>

const ZTimeInterval kBindWaitLimit(0, 0, 2);

namespace {

// Takes what the client sent; false when it has gone (errorText says how).
bool TakeEarlyData(ZTCPSocket& client, std::string& early, ZString& errorText) {
  const ZIndex room = kBindEarlyDataLimit - static_cast<ZIndex>(early.size());
  if (room <= 0) {
    errorText = ZChannel::ErrorText(ZChannel::NoBufferSpace);
    return false;
  }
  char buffer[kBindEarlyDataLimit];
  client.SetReadTimeout(ZTimeInterval(0));
  const bool read = client.Read(buffer, room);
  client.SetReadTimeout(ZInfinite);
  if (read) {
    early.append(buffer, static_cast<size_t>(client.GetLastReadCount()));
    return true;
  }
  if (client.GetErrorCode() == ZChannel::Timeout) return true;  // nothing after all
  errorText = client.GetErrorCode() == ZChannel::NoError ? ZChannel::ErrorText(ZChannel::ConnectionReset)
                                                         : client.GetErrorText();
  return false;
}

}  // namespace

BindWaitResult AwaitBindPeer(ZTCPSocket& listener, ZTCPSocket& client, const ZIPAddress& expected,
                             const ZTimeInterval& limit, ZTCPSocket& peer, std::string& early, ZString& errorText) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(limit.GetMilliseconds());
  // A connection already queued is taken without waiting on the listener.
  listener.SetReadTimeout(ZTimeInterval(0));
  for (;;) {
    const int64_t left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) {
      errorText = ZChannel::ErrorText(ZChannel::ConnectionTimedOut);
      return BindWaitResult::TimedOut;
    }
    const int ready = ZSocket::Select(listener, client, ZTimeInterval(left));
    if (ready < 0) {
      if (client.GetErrorCode() == ZChannel::Interrupted || !client.IsOpen()) return BindWaitResult::Stopped;
      errorText = listener.GetErrorText();
      return BindWaitResult::Failed;
    }
    if ((ready & 1) != 0) {
      if (peer.Accept(listener)) {
        ZIPAddress address;
        if (peer.GetPeerAddress(address) && address == expected) return BindWaitResult::Connected;
        // Not the host the request named: it gets nothing.
        peer.Close();
      } else if (peer.GetErrorCode() != ZChannel::Timeout) {
        errorText = peer.GetErrorText();
        return BindWaitResult::Failed;
      }
    }
    if ((ready & 2) != 0 && !TakeEarlyData(client, early, errorText)) return BindWaitResult::ClientGone;
  }
}
