// The "(ASK)" dialogue of the TCP relay: the client types the destination
// at the "host> " prompt.
#pragma once

#include "zunder/sockets.h"
#include "zunder/strings.h"
#include "zunder/time.h"

enum class HostLineResult {
  Read,     // a line ended by CR or LF
  Failed,   // a read failed (time-out, end of stream, error): see the socket's error
  TooLong,  // the client sent too much without ending the line
};

// Swallows whatever the client sends on connecting (until it has been quiet
// for swallowTime, or at most a few such periods in all), writes "host> "
// and reads one line with echo and backspace editing. The whole line must
// arrive within lineTime of the prompt: a client typing (or trickling) more
// slowly fails with the error Timeout, as one that sends nothing does.
HostLineResult ReadHostLine(ZSocket& client, ZString& line, const ZTimeInterval& swallowTime,
                            const ZTimeInterval& lineTime);
