#include "tcp_link.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace {

// Short exchanges and idle links get by with a small buffer; a direction
// whose read fills it is carrying bulk data and moves on in large chunks.
constexpr ZIndex kChunk = 4096;
constexpr ZIndex kLargeChunk = static_cast<ZIndex>(kLinkEarlyLimit);
// Chunks moved in one direction before the other gets its turn, so that a
// sender that never pauses cannot starve the way back.
constexpr int kChunksPerTurn = 16;
// Large buffers kept for the next busy direction. An idle link holds none,
// so thousands of quiet links stay small; this bounds what is kept.
constexpr size_t kSpareLimit = 32;

class LargeBuffers {
 public:
  std::unique_ptr<char[]> Take() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!spare.empty()) {
        std::unique_ptr<char[]> buffer = std::move(spare.back());
        spare.pop_back();
        return buffer;
      }
    }
    return std::make_unique_for_overwrite<char[]>(static_cast<size_t>(kLargeChunk));
  }

  void Give(std::unique_ptr<char[]> buffer) {
    if (buffer == nullptr) return;
    std::lock_guard<std::mutex> lock(mutex);
    if (spare.size() < kSpareLimit) spare.push_back(std::move(buffer));
  }

 private:
  std::mutex mutex;
  std::vector<std::unique_ptr<char[]>> spare;
};

// Never destroyed: links may still end while the process exits.
LargeBuffers& Spares() {
  static auto* buffers = new LargeBuffers;
  return *buffers;
}

// Read errors worth a log line: not the end of the stream (code 0), not a
// socket closed by the service.
bool IsReportable(const ZSocket& socket) {
  const ZChannel::Error code = socket.GetErrorCode();
  return code != ZChannel::NoError && code != ZChannel::Interrupted;
}

// One direction of a link with the bytes read but not yet written.
struct Direction {
  Direction(ZTCPSocket& source, ZTCPSocket& target) : from(source), to(target) {}
  ~Direction() { Spares().Give(std::move(large)); }

  bool Pending() const { return offset < filled; }
  char* Buffer() { return large != nullptr ? large.get() : small; }
  ZIndex Capacity() const { return large != nullptr ? kLargeChunk : kChunk; }

  // Called with nothing pending: the buffer for the next read.
  void Prepare() {
    if (busy && large == nullptr) large = Spares().Take();
  }
  // Called with nothing pending: data becomes the pending bytes.
  void Preload(std::string_view data) {
    if (data.size() > static_cast<size_t>(kChunk)) large = Spares().Take();
    std::memcpy(Buffer(), data.data(), data.size());
    filled = static_cast<ZIndex>(data.size());
    offset = 0;
  }
  // Called with nothing pending once everything waiting has been moved.
  void Drained() { Spares().Give(std::move(large)); }

  ZTCPSocket& from;
  ZTCPSocket& to;
  char small[kChunk];
  std::unique_ptr<char[]> large;  // only while bulk data flows
  bool busy = false;              // the last read filled its buffer
  ZIndex filled = 0;
  ZIndex offset = 0;
  bool atEnd = false;     // from's stream has ended
  bool shutDown = false;  // and to's sending side has been shut down after it
};

enum class Turn { Going, Failed };

// Writes what is pending; a write that would block leaves the rest pending.
Turn Flush(Direction& direction, uint32_t& moved, UserInfo* user, bool toDestination) {
  const ZIndex length = direction.filled - direction.offset;
  const bool done = direction.to.Write(direction.Buffer() + direction.offset, length);
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
    direction.Prepare();
    const ZIndex capacity = direction.Capacity();
    if (!direction.from.Read(direction.Buffer(), capacity)) {
      if (direction.from.GetErrorCode() == ZChannel::Timeout) {
        direction.Drained();
        return Turn::Going;
      }
      if (direction.from.GetErrorCode() == ZChannel::NoError) {
        direction.atEnd = true;
        direction.Drained();
        return Turn::Going;
      }
      if (IsReportable(direction.from)) {
        log.Log(ErrorLevel, "TCP link read error: %s", direction.from.GetErrorText().Text());
      }
      return Turn::Failed;
    }
    direction.filled = direction.from.GetLastReadCount();
    direction.offset = 0;
    direction.busy = direction.filled == capacity;
    if (Flush(direction, moved, user, toDestination) == Turn::Failed) return Turn::Failed;
    // A read that did not fill the buffer took all there was: asking again
    // would only learn that nothing waits, and the next wait tells that too.
    if (!direction.busy && !direction.Pending()) {
      direction.Drained();
      return Turn::Going;
    }
  }
  return Turn::Going;
}

// A socket that failed while we only watched it for trouble: an error or a
// reset. Reads once to learn (and log) what it was.
void ReportTrouble(ZTCPSocket& socket, LogSink& log) {
  char probe[1];
  if (!socket.Read(probe, sizeof probe) && IsReportable(socket) && socket.GetErrorCode() != ZChannel::Timeout) {
    log.Log(ErrorLevel, "TCP link read error: %s", socket.GetErrorText().Text());
  }
}

// A direction whose stream ended and whose bytes are all delivered passes
// the end on: the other side reads its end of stream, the way back stays.
// The last one to end needs no shutdown: the link closes both sockets next.
// False when the shutdown failed.
bool PassEnds(Direction& outward, Direction& inward) {
  for (Direction* direction : {&outward, &inward}) {
    if (direction->atEnd && !direction->Pending() && !direction->shutDown) {
      const Direction& other = direction == &outward ? inward : outward;
      if (!other.shutDown && !direction->to.ShutdownWrite()) return false;
      direction->shutDown = true;
    }
  }
  return true;
}

}  // namespace

uint32_t CopyAvailable(ZSocket& from, ZSocket& to, LogSink& log) {
  char buffer[kChunk];
  uint32_t total = 0;
  for (;;) {
    if (!from.Read(buffer, kChunk)) {
      if (from.GetErrorCode() == ZChannel::Timeout) return total;
      if (IsReportable(from)) log.Log(ErrorLevel, "TCP link read error: %s", from.GetErrorText().Text());
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
                 LinkCounts& counts, LogSink& log, std::string_view early) {
  // Reads return at once with Timeout when nothing waits; writes wait at most
  // a moment and leave the rest for when the socket can take it.
  for (ZTCPSocket* socket : {&client, &destination}) {
    socket->SetReadTimeout(ZTimeInterval(0));
    socket->SetWriteTimeout(ZTimeInterval(0));
    // Urgent data (a telnet client's Synch) is carried in its place in the
    // stream, like every other byte.
    socket->SetUrgentInline(true);
  }
  Direction outward(client, destination);
  Direction inward(destination, client);

  if (early.size() > kLinkEarlyLimit) {
    Z_ASSERT_CODE(ZAssertInvalidParameter);
    early = early.substr(0, kLinkEarlyLimit);
  }
  if (!early.empty()) {
    outward.Preload(early);
    if (Flush(outward, counts.sent, user, true) == Turn::Failed) return;
  }
  // A client mostly sends its request as soon as it has connected, so it is
  // usually waiting by now: reading it at once saves the first wait (unless
  // early bytes still wait to go).
  if (Pass(outward, counts.sent, user, true, log) == Turn::Failed || !PassEnds(outward, inward)) return;

  // Side 0 is the client, side 1 the destination.
  ZTCPSocket* const sides[2] = {&client, &destination};
  auto sideOf = [&](const ZTCPSocket& socket) { return &socket == &client ? 0 : 1; };
  // Sides found over both ways (the peer's end read or on its way, ours
  // sent): such a side ends every wait at once, so it is left out of those
  // in which the link needs nothing of it.
  bool over[2] = {false, false};
  while (!(outward.shutDown && inward.shutDown)) {
    bool wantRead[2] = {false, false};
    bool wantWrite[2] = {false, false};
    for (Direction* direction : {&outward, &inward}) {
      if (direction->shutDown) continue;
      if (direction->Pending()) {
        wantWrite[sideOf(direction->to)] = true;
      } else if (!direction->atEnd) {
        wantRead[sideOf(direction->from)] = true;
      }
    }
    ZSocket::WaitEntry entries[2];
    int slot[2] = {-1, -1};
    ZIndex count = 0;
    for (int side = 0; side < 2; ++side) {
      // A side watched for nothing else is still watched, so that an error
      // or a close by the service ends the link at once. A side that is
      // over is not: the service's close of the link then reaches us
      // through the other side, which it closes too.
      if (!wantRead[side] && !wantWrite[side] && over[side]) continue;
      slot[side] = static_cast<int>(count);
      entries[count].socket = sides[side];
      entries[count].wantRead = wantRead[side];
      entries[count].wantWrite = wantWrite[side];
      ++count;
    }
    if (count == 0) break;  // both sides over, nothing left to carry

    if (!ZSocket::Wait(entries, count, wait)) {
      const bool closed = client.GetErrorCode() == ZChannel::Interrupted ||
                          destination.GetErrorCode() == ZChannel::Interrupted || !client.IsOpen() ||
                          !destination.IsOpen();
      if (!closed) log.Log(ErrorLevel, "TCP select error.");
      break;
    }
    if (user != nullptr) user->Restart(wait);

    bool troubled = false;
    for (int side = 0; side < 2 && !troubled; ++side) {
      if (slot[side] < 0 || wantRead[side] || wantWrite[side]) continue;
      const ZSocket::WaitEntry& entry = entries[slot[side]];
      if (entry.failed) {
        ReportTrouble(*sides[side], log);
        troubled = true;
      } else if (entry.hungUp) {
        over[side] = true;
      }
    }
    if (troubled) break;
    bool failed = false;
    // Client to destination first, then the way back.
    for (Direction* direction : {&outward, &inward}) {
      if (failed) break;
      uint32_t& moved = direction == &outward ? counts.sent : counts.received;
      const bool toDestination = direction == &outward;
      const int toSlot = slot[sideOf(direction->to)];
      const int fromSlot = slot[sideOf(direction->from)];
      const bool writable = toSlot >= 0 && entries[toSlot].wantWrite && entries[toSlot].writable;
      const bool readable = fromSlot >= 0 && entries[fromSlot].wantRead && entries[fromSlot].readable;
      if (direction->Pending() && writable) {
        failed = Flush(*direction, moved, user, toDestination) == Turn::Failed;
        // Once drained, go on reading at once rather than after another wait.
        if (!failed && !direction->Pending() && !direction->atEnd) {
          failed = Pass(*direction, moved, user, toDestination, log) == Turn::Failed;
        }
      } else if (readable) {
        failed = Pass(*direction, moved, user, toDestination, log) == Turn::Failed;
      }
    }
    if (failed || !PassEnds(outward, inward)) break;
  }
}
