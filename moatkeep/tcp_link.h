// Copying bytes between the two sockets of a link.
#pragma once

#include <cstdint>
#include <string_view>

#include "host_registry.h"
#include "log_sink.h"
#include "zunder/sockets.h"
#include "zunder/time.h"

// Moves everything waiting on from (read time-out 0: reads never block) to
// to, in chunks of up to 4096 bytes, and answers the number of bytes moved.
// At the end of from's stream, or when a read or write fails, from is closed
// (a read error other than the end of the stream is logged).
uint32_t CopyAvailable(ZSocket& from, ZSocket& to, LogSink& log);

struct LinkCounts {
  uint32_t sent = 0;      // client to destination
  uint32_t received = 0;  // destination to client
};

// Copies both ways until both directions have ended, an error or reset ends
// the link, or a socket is closed by another thread. When one side's stream
// ends, the other side's sending direction is shut down and the remaining
// direction goes on. Every wait lasts at most wait; after each wait the
// host's time to go is restarted. user may be null. early (at most
// kLinkEarlyLimit bytes) goes to the destination first, counted as sent.
constexpr size_t kLinkEarlyLimit = size_t{256} * 1024;
void LinkSockets(ZTCPSocket& client, ZTCPSocket& destination, const ZTimeInterval& wait, UserInfo* user,
                 LinkCounts& counts, LogSink& log, std::string_view early = {});
