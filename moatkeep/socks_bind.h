// The wait of a SOCKS 4 BIND: the request names the host expected to
// connect in (the site of an FTP client's transfer, say), and only that host
// is taken. Anyone else who connects to the bound port is closed at once,
// before a byte of the client's reaches it, and the wait goes on.
#pragma once

#include <string>

#include "zunder/sockets.h"
#include "zunder/strings.h"
#include "zunder/time.h"

// The longest a BIND waits for its host.
extern const ZTimeInterval kBindWaitLimit;
// What a BIND client may send before its host has connected; it is handed
// on first once the link stands. More than this ends the wait.
constexpr ZIndex kBindEarlyDataLimit = 4096;

enum class BindWaitResult {
  Connected,   // peer holds the expected host's connection
  Failed,      // the listener failed (errorText says why)
  TimedOut,    // the limit passed without the host (errorText: the time-out's text)
  ClientGone,  // the client left, or sent more than it may (errorText says which)
  Stopped      // the client's socket was closed by the service
};

// Waits on listener, at most limit, for a connection from expected and
// accepts it into peer. Meanwhile what the client sends is appended to early.
BindWaitResult AwaitBindPeer(ZTCPSocket& listener, ZTCPSocket& client, const ZIPAddress& expected,
                             const ZTimeInterval& limit, ZTCPSocket& peer, std::string& early, ZString& errorText);
