// ZSocket: the descriptor guard that lets any thread close a socket while
// others are blocked in it, and reads and writes under time-outs and a
// deadline. Look-ups, waits, TCP and UDP have units of their own
// (sockets_*.cpp).
#include <chrono>
#include <thread>

#include "host_error.h"
#include "host_socket.h"
#include "sockets_timing.h"
#include "zunder/sockets.h"

using zsockets::Deadline;
using zsockets::kUnlimited;

namespace {

// Layout of ZSocket::state.
constexpr uint64_t kFdMask = 0xffffffffull;
constexpr uint64_t kOneUser = 1ull << 32;
constexpr uint64_t kUserMask = ((1ull << 30) - 1) << 32;
constexpr uint64_t kClosedBit = 1ull << 62;
constexpr uint64_t kNoFd = kFdMask;

int FdOf(uint64_t state) { return static_cast<int32_t>(static_cast<uint32_t>(state & kFdMask)); }
uint64_t UsersOf(uint64_t state) { return (state & kUserMask) >> 32; }

}  // namespace

// ---------------------------------------------------------------- the guard

ZSocket::Use::Use(const ZSocket& used) : socket(used), entry(used.Enter(fd)) {}

ZSocket::Use::~Use() {
  if (entry == Entered) socket.Leave();
}

ZSocket::Entry ZSocket::Enter(int& fd) const {
  uint64_t current = state.load(std::memory_order_acquire);
  for (;;) {
    if ((current & kClosedBit) != 0) return WasClosed;
    if (FdOf(current) < 0) return NeverOpened;
    if (state.compare_exchange_weak(current, current + kOneUser, std::memory_order_acq_rel)) {
      fd = FdOf(current);
      return Entered;
    }
  }
}

void ZSocket::Leave() const {
  uint64_t after = state.fetch_sub(kOneUser, std::memory_order_acq_rel) - kOneUser;
  if ((after & kClosedBit) != 0 && UsersOf(after) == 0) {
    // Last one out of a closed socket: only now may the number be reused.
    zhost::CloseSocket(FdOf(after));
    state.store(kClosedBit | kNoFd, std::memory_order_release);
  }
}

void ZSocket::Attach(int fd) {
  peer.store(0, std::memory_order_relaxed);
  lingerInherited.store(false, std::memory_order_relaxed);
  inputEnded.store(false, std::memory_order_relaxed);
  for (;;) {
    uint64_t current = state.load(std::memory_order_acquire);
    if (UsersOf(current) == 0 && FdOf(current) < 0) {
      if (state.compare_exchange_weak(current, static_cast<uint32_t>(fd), std::memory_order_acq_rel)) break;
      continue;
    }
    if ((current & kClosedBit) == 0) {
      Close();  // still open: callers close first, but never leak the old one
      continue;
    }
    // Threads woken by Close are on their way out; the last one releases.
    std::this_thread::yield();
  }
}

void ZSocket::RememberPeer(uint32_t address, uint16_t peerPort) {
  peer.store(kPeerKnown | static_cast<uint64_t>(address) << 16 | peerPort, std::memory_order_release);
}

bool ZSocket::RecallPeer(uint32_t& address, uint16_t& peerPort) const {
  const uint64_t known = peer.load(std::memory_order_acquire);
  if ((known & kPeerKnown) == 0) return false;
  address = static_cast<uint32_t>(known >> 16);
  peerPort = static_cast<uint16_t>(known);
  return true;
}

bool ZSocket::IsClosing() const { return (state.load(std::memory_order_acquire) & kClosedBit) != 0; }

bool ZSocket::IsOpen() const {
  uint64_t current = state.load(std::memory_order_acquire);
  return (current & kClosedBit) == 0 && FdOf(current) >= 0;
}

int32_t ZSocket::GetHandle() const {
  uint64_t current = state.load(std::memory_order_acquire);
  return (current & kClosedBit) != 0 ? -1 : FdOf(current);
}

bool ZSocket::Close() {
  uint64_t current = state.load(std::memory_order_acquire);
  for (;;) {
    if ((current & kClosedBit) != 0 || FdOf(current) < 0) return false;
    // Mark closed and enter in one step, so the descriptor stays ours until
    // the shutdown below is done.
    if (state.compare_exchange_weak(current, (current | kClosedBit) + kOneUser, std::memory_order_acq_rel)) {
      break;
    }
  }
  // The error fields are left alone: threads woken here record Interrupted
  // there, and a failure that led to the Close stays readable. The shutdown
  // wakes threads blocked inside, and it ends a stream with a FIN even when
  // unread input would make the close alone answer with a reset. A socket
  // nobody is inside (and nobody can enter any more) needs it only for that:
  // not a datagram socket, nor a stream whose end has been read.
  const bool unreadInputPossible = streamEnds && !inputEnded.load(std::memory_order_relaxed);
  if (unreadInputPossible || UsersOf(current) != 0) zhost::ShutdownSocket(FdOf(current));
  Leave();
  return true;
}

ZSocket::~ZSocket() {
  Close();
  // Operations still inside were woken by Close; wait until the last one
  // has released the descriptor before the object goes away.
  for (;;) {
    uint64_t current = state.load(std::memory_order_acquire);
    if (UsersOf(current) == 0 && FdOf(current) < 0) break;
    std::this_thread::yield();
  }
}

void ZSocket::SetEntryFailure(Entry entry) {
  if (entry == WasClosed) {
    SetResult(Interrupted, zhost::kInterrupted);
  } else {
    SetResult(NotOpen, zhost::kBadDescriptor);
  }
}

void ZSocket::SetFailure(int osError) {
  if (IsClosing()) {
    SetResult(Interrupted, zhost::kInterrupted);
  } else {
    SetResult(osError);
  }
}

int ZSocket::WaitFor(int fd, bool forWriting, int pollMilliseconds) {
  zhost::PollEntry entry;
  entry.fd = fd;
  entry.wantRead = !forWriting;
  entry.wantWrite = forWriting;
  int error = 0;
  int ready = zhost::Poll(&entry, 1, pollMilliseconds, error);
  if (ready < 0) {
    SetFailure(error);
    return -1;
  }
  return ready > 0 ? 1 : 0;
}

// ---------------------------------------------------------------- reading and writing

void ZSocket::SetDeadline(const ZTimeInterval& span) {
  const int64_t milliseconds = span.GetMilliseconds();
  // The unlimited interval bounds nothing, as it does for the time-outs.
  if (milliseconds >= kUnlimited) {
    hasDeadline = false;
    return;
  }
  readDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds > 0 ? milliseconds : 0);
  hasDeadline = true;
  deadlineReached = false;
}

bool ZSocket::IsPastDeadline() const {
  return hasDeadline && (deadlineReached || std::chrono::steady_clock::now() >= readDeadline);
}

int64_t ZSocket::ReadWaitWithinDeadline(bool& cut) const {
  const int64_t wanted = readTimeout.GetMilliseconds();
  cut = false;
  if (!hasDeadline) return wanted;
  // Rounded up and one more, so that a wait the deadline cuts short ends
  // past it.
  const int64_t untilDeadline =
      std::chrono::ceil<std::chrono::milliseconds>(readDeadline - std::chrono::steady_clock::now()).count();
  const int64_t remaining = untilDeadline > 0 ? untilDeadline + 1 : 0;
  // -1 (a receive without a wait) and the unlimited value give way to the
  // deadline as well.
  if (wanted < 0 || wanted >= kUnlimited || wanted > remaining) {
    cut = true;
    return remaining;
  }
  return wanted;
}

long ZSocket::ReceiveWithin(int fd, void* buffer, ZIndex length, ZIPAddress* from, uint16_t* fromPort,
                            bool peekLength) {
  // A read past the deadline is a read that timed out.
  if (IsPastDeadline()) {
    SetResult(Timeout, zhost::kWouldBlock);
    return -1;
  }
  bool cutByDeadline = false;
  const int64_t timeout = ReadWaitWithinDeadline(cutByDeadline);
  const auto timedOut = [&] {
    SetResult(Timeout, zhost::kWouldBlock);
    // The wait was all that was left: the deadline has passed, even if the
    // clock reads a hair before it.
    if (cutByDeadline) deadlineReached = true;
    return -1L;
  };
  // -1 skips the wait: a plain blocking receive (Close still wakes it).
  const bool blocking = timeout == -1;
  // 0 needs no wait either: one receive that never blocks tells the same as
  // a poll in front of it, at half the system calls.
  const bool immediate = timeout == 0;
  const Deadline deadline(timeout);
  for (;;) {
    if (!blocking && !immediate) {
      int ready = WaitFor(fd, false, deadline.Remaining());
      if (ready < 0) return -1;
      if (IsClosing()) {
        SetResult(Interrupted, zhost::kInterrupted);
        return -1;
      }
      if (ready == 0) return timedOut();
    }
    int error = 0;
    long received;
    if (peekLength) {
      received = zhost::PeekDatagramLength(fd, blocking, error);
      if (received >= 0) {
        // An empty datagram is one too; a closed socket's wake-up is not.
        if (IsClosing()) {
          SetResult(Interrupted, zhost::kInterrupted);
          return -1;
        }
        SetResult(0);
        return received;
      }
    } else if (from != nullptr) {
      uint32_t address = 0;
      uint16_t port = 0;
      received = zhost::ReceiveFrom(fd, buffer, static_cast<size_t>(length), address, port, blocking, error);
      if (received >= 0) {
        from->SetValue(address);
        if (fromPort != nullptr) *fromPort = port;
      }
    } else {
      received = zhost::Receive(fd, buffer, static_cast<size_t>(length), blocking, error);
    }
    if (received > 0) {
      SetResult(0);
      return received;
    }
    if (IsClosing()) {
      SetResult(Interrupted, zhost::kInterrupted);
      return -1;
    }
    if (received == 0) {
      SetResult(0);  // the peer closed: no error
      if (streamEnds) inputEnded.store(true, std::memory_order_relaxed);
      return 0;
    }
    // Readiness can be taken away (another reader, a bad checksum): wait again.
    if ((zhost::IsWouldBlock(error) && !blocking) || error == zhost::kInterrupted) {
      if (immediate && error != zhost::kInterrupted) return timedOut();
      if (!blocking && !immediate && deadline.Expired()) return timedOut();
      continue;
    }
    SetResult(error);
    return -1;
  }
}

bool ZSocket::Read(void* buffer, ZIndex length) { return ReadInto(buffer, length, nullptr, nullptr); }

bool ZSocket::ReadInto(void* buffer, ZIndex length, ZIPAddress* from, uint16_t* fromPort) {
  SetLastReadCount(0);
  if (length <= 0 || buffer == nullptr) {
    SetResult(BadParameter, zhost::kInvalidArgument);
    return false;
  }
  Use use(*this);
  if (!use.Ok()) {
    SetEntryFailure(use.GetEntry());
    return false;
  }
  long received = ReceiveWithin(use.Fd(), buffer, length, from, fromPort);
  if (received <= 0) return false;
  SetLastReadCount(static_cast<ZIndex>(received));
  return true;
}

bool ZSocket::Write(const void* buffer, ZIndex length) {
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
  // The write time-out: 0 becomes 1 ms, -1 and 0x7fffffff no limit. Sends
  // never block in the system: a full send buffer is waited for with poll,
  // which Close wakes, under the time-out.
  const int64_t timeout = writeTimeout.GetMilliseconds();
  const Deadline deadline(timeout == 0 ? 1 : (timeout < 0 ? kUnlimited : timeout));
  int error = 0;
  const char* data = static_cast<const char*>(buffer);
  ZIndex sent = 0;
  while (sent < length) {
    long part = zhost::Send(use.Fd(), data + sent, static_cast<size_t>(length - sent), false, false, error);
    if (part < 0) {
      if (error == zhost::kInterrupted && !IsClosing()) continue;
      if (zhost::IsWouldBlock(error) && !IsClosing()) {
        const int ready = WaitFor(use.Fd(), true, deadline.Remaining());
        if (ready > 0) continue;
        if (ready == 0) SetResult(Timeout, zhost::kWouldBlock);
        return false;  // a failed wait has recorded its own outcome
      }
      SetFailure(error);
      return false;
    }
    sent += static_cast<ZIndex>(part);
    SetLastWriteCount(sent);
  }
  SetResult(0);
  return true;
}
