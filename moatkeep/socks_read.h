// Reading one SOCKS 4 request from a client, bounded in total: a client
// that trickles its request byte by byte cannot hold its thread longer than
// a client that sends nothing at all.
#pragma once

#include "socks_request.h"
#include "zunder/sockets.h"
#include "zunder/time.h"

enum class SocksReadResult {
  Read,          // the whole request, user id included
  Failed,        // a read failed or the time ran out: see the socket's error
  WrongVersion,  // the fixed part names another version (request.version)
  UserIdTooLong  // more than kSocksUserIdLimit bytes without the 0 byte
};

// Reads the fixed part (as four fields: version, command, port, address),
// then, for version 4, the user id up to its 0 byte. Each read waits up to
// the client's read time-out, and the whole request must arrive within
// total: a request not complete by then fails with the error Timeout, as a
// read that timed out does. The client's deadline is cleared on return.
SocksReadResult ReadSocksRequest(ZSocket& client, const ZTimeInterval& total, SocksRequest& request);
