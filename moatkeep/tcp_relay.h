// The "(ASK)" dialogue of the TCP relay: the client types the destination
// at the "host> " prompt.
#pragma once

#include "zunder/sockets.h"
#include "zunder/strings.h"
#include "zunder/time.h"

enum class HostLineResult {
  Read,      // a line ended by CR or LF
  Failed,    // a read failed (time-out, end of stream, error): see the socket's error
  TooLong,   // the client sent too much without ending the line
};

// Swallows whatever the client sends on connecting (until it has been quiet
// for swallowTime), writes "host> " and reads one line with echo and
// backspace editing, each character waiting up to lineTime.
HostLineResult ReadHostLine(ZSocket& client, ZString& line, const ZTimeInterval& swallowTime,
                            const ZTimeInterval& lineTime);
