// Text for the log line of a client read that failed. A client that closes
// its connection half-way through a request ends the read without a system
// error, so the error text alone would leave the line blank.
#pragma once

#include "zunder/sockets.h"
#include "zunder/strings.h"

inline ZString ReadFailureText(const ZChannel& channel) {
  if (channel.GetOSError() == 0) return ZString("Connection closed by the client");
  return channel.GetErrorText();
}
