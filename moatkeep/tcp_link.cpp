#include "tcp_link.h"

#include "proxy.h"

namespace {

constexpr ZIndex kChunk = 4096;
// Chunks moved in one direction before the other gets its turn, so that a
// sender that never pauses cannot starve the way back.
constexpr int kChunksPerTurn = 16;

// Read errors worth a log line: not the end of the stream (code 0), not a
// socket closed by the service.
bool IsReportable(const ZSocket& socket) {
  const ZChannel::Error code = socket.GetErrorCode();
  return code != ZChannel::NoError && code != ZChannel::Interrupted;
}

// One direction of a link with the bytes read but not yet written.
struct Direction {
  Direction(ZTCPSocket& from, ZTCPSocket& to) : from(from), to(to) {}

  bool Pending() const { return offset < filled; }

  ZTCPSocket& from;
  ZTCPSocket& to;
  char buffer[kChunk];
  ZIndex filled = 0;
  ZIndex offset = 0;
  bool atEnd = false;     // from's stream has ended
  bool shutDown = false;  // and to's sending side has been shut down after it
};

enum class Turn { Going, Failed };

// Writes what is pending; a write that would block leaves the rest pending.
Turn Flush(Direction& direction, uint32_t& moved, UserInfo* user, bool toDestination) {
  const ZIndex length = direction.filled - direction.offset;
  const bool done = direction.to.Write(direction.buffer + direction.offset, length);
  const ZIndex written = done ? length : direction.to.GetLastWriteCount();
  direction.offset += written;
  moved += static_cast<uint32_t>(written);
  if (user != nullptr && written > 0) {
    if (toDestination) {
      user->AddSent(static_cast<uint32_t>(written));
    } else {
      user->AddReceived(static_cast<uint32_t>(written));
    }
  }
  if (done || direction.to.GetErrorCode() == ZChannel::Timeout) return Turn::Going;
  return Turn::Failed;
}

// Reads what is waiting and passes it on, up to kChunksPerTurn chunks.
Turn Pass(Direction& direction, uint32_t& moved, UserInfo* user, bool toDestination, LogSink& log) {
  for (int chunk = 0; chunk < kChunksPerTurn && !direction.Pending() && !direction.atEnd; ++chunk) {
    if (!direction.from.Read(direction.buffer, kChunk)) {
      if (direction.from.GetErrorCode() == ZChannel::Timeout) return Turn::Going;
      if (direction.from.GetErrorCode() == ZChannel::NoError) {
        direction.atEnd = true;
        return Turn::Going;
      }
      if (IsReportable(direction.from)) {
        log.Log(1, "TCP link read error: %s", direction.from.GetErrorText().Text());
      }
      return Turn::Failed;
    }
    direction.filled = direction.from.GetLastReadCount();
    direction.offset = 0;
    if (Flush(direction, moved, user, toDestination) == Turn::Failed) return Turn::Failed;
  }
  return Turn::Going;
}

// A socket reported exceptional while we only watched it for trouble: an
// error or a reset. Reads once to learn (and log) what it was.
void ReportTrouble(ZTCPSocket& socket, LogSink& log) {
  char probe[1];
  if (!socket.Read(probe, sizeof probe) && IsReportable(socket) && socket.GetErrorCode() != ZChannel::Timeout) {
    log.Log(1, "TCP link read error: %s", socket.GetErrorText().Text());
  }
}

bool Contains(const ZList& list, const ZObject* object) { return list.IndexOfObject(object) != ZNotFound; }

}  // namespace

uint32_t CopyAvailable(ZSocket& from, ZSocket& to, LogSink& log) {
  char buffer[kChunk];
  uint32_t total = 0;
  for (;;) {
    if (!from.Read(buffer, kChunk)) {
      if (from.GetErrorCode() == ZChannel::Timeout) return total;
      if (IsReportable(from)) log.Log(1, "TCP link read error: %s", from.GetErrorText().Text());
      from.Close();
      return total;
    }
    const ZIndex count = from.GetLastReadCount();
    if (!to.Write(buffer, count)) {
      total += static_cast<uint32_t>(to.GetLastWriteCount());
      from.Close();
      return total;
    }
    total += static_cast<uint32_t>(count);
  }
}

void LinkSockets(ZTCPSocket& client, ZTCPSocket& destination, const ZTimeInterval& wait, UserInfo* user,
                 LinkCounts& counts, LogSink& log) {
  // Reads return at once with Timeout when nothing waits; writes wait at most
  // a moment and leave the rest for when the socket can take it.
  for (ZTCPSocket* socket : {&client, &destination}) {
    socket->SetReadTimeout(ZTimeInterval(0));
    socket->SetWriteTimeout(ZTimeInterval(0));
  }
  Direction outward(client, destination);
  Direction inward(destination, client);

  while (!(outward.shutDown && inward.shutDown)) {
    ZList readable;
    ZList writable;
    ZList troubled;
    for (ZList* list : {&readable, &writable, &troubled}) list->SetDeleteObjects(false);
    for (Direction* direction : {&outward, &inward}) {
      if (direction->shutDown) continue;
      if (direction->Pending()) {
        writable.Append(&direction->to);
      } else if (!direction->atEnd) {
        readable.Append(&direction->from);
      }
    }
    // A socket in no other list is still watched, so that a reset or a
    // close by the service ends the link at once.
    for (ZTCPSocket* socket : {&client, &destination}) {
      if (!Contains(readable, socket) && !Contains(writable, socket)) troubled.Append(socket);
    }

    if (!ZSocket::Select(&readable, &writable, &troubled, wait)) {
      const bool closed = client.GetErrorCode() == ZChannel::Interrupted ||
                          destination.GetErrorCode() == ZChannel::Interrupted || !client.IsOpen() ||
                          !destination.IsOpen();
      if (!closed) log.Log(1, "TCP select error.");
      break;
    }
    if (user != nullptr) user->Restart(wait);

    if (!troubled.IsEmpty()) {
      ReportTrouble(*static_cast<ZTCPSocket*>(troubled.GetAt(0)), log);
      break;
    }
    bool failed = false;
    // Client to destination first, then the way back.
    for (Direction* direction : {&outward, &inward}) {
      if (failed) break;
      uint32_t& moved = direction == &outward ? counts.sent : counts.received;
      const bool toDestination = direction == &outward;
      if (direction->Pending() && Contains(writable, &direction->to)) {
        failed = Flush(*direction, moved, user, toDestination) == Turn::Failed;
        // Once drained, go on reading at once rather than after another wait.
        if (!failed && !direction->Pending() && !direction->atEnd) {
          failed = Pass(*direction, moved, user, toDestination, log) == Turn::Failed;
        }
      } else if (Contains(readable, &direction->from)) {
        failed = Pass(*direction, moved, user, toDestination, log) == Turn::Failed;
      }
    }
    if (failed) break;

    // A direction whose stream ended and whose bytes are all delivered passes
    // the end on: the other side reads its end of stream, the way back stays.
    for (Direction* direction : {&outward, &inward}) {
      if (direction->atEnd && !direction->Pending() && !direction->shutDown) {
        if (!direction->to.ShutdownWrite()) {
          failed = true;
          break;
        }
        direction->shutDown = true;
      }
    }
    if (failed) break;
  }
}

void Proxy::TCPLink(ZTCPSocket& client, ZTCPSocket& destination, const ZString& description) {
  if (GetLogLevel() == InformationLevel) {
    Log(3, "%s started from \"%s\" to \"%s\".", description.Text(), client.GetPeerHostName().Text(),
        destination.GetPeerHostName().Text());
  }
  activeSockets.Append(&client);

  ZIPAddress peer;
  UserHandle user;
  if (client.GetPeerAddress(peer)) user = hosts.Find(peer);

  LinkCounts counts;
  LinkSockets(client, destination, GetLinkTimeout(), user.get(), counts, *this);

  activeSockets.Remove(&client);
  Log(3, "%s closed (sent %lu bytes, received %lu bytes).", description.Text(),
      static_cast<unsigned long>(counts.sent), static_cast<unsigned long>(counts.received));
}
