// Sockets: the descriptor guard that lets any thread close a socket while
// others are blocked in it, reads and writes under time-outs, TCP and UDP,
// look-ups and waits on several sockets.
#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <thread>

#include "host_socket.h"
#include "zunder/sockets.h"

namespace {

// Layout of ZSocket::state.
constexpr uint64_t kFdMask = 0xffffffffull;
constexpr uint64_t kOneUser = 1ull << 32;
constexpr uint64_t kUserMask = ((1ull << 30) - 1) << 32;
constexpr uint64_t kClosedBit = 1ull << 62;
constexpr uint64_t kNoFd = kFdMask;

int FdOf(uint64_t state) { return static_cast<int32_t>(static_cast<uint32_t>(state & kFdMask)); }
uint64_t UsersOf(uint64_t state) { return (state & kUserMask) >> 32; }

constexpr int64_t kUnlimited = 0x7fffffff;
constexpr int kLingerSeconds = 10;

// The end of a wait with a time-out; 0x7fffffff ms and more never ends.
class Deadline {
 public:
  explicit Deadline(int64_t milliseconds)
      : unlimited(milliseconds >= kUnlimited),
        end(Clock::now() + std::chrono::milliseconds(milliseconds > 0 && !unlimited ? milliseconds : 0)) {}

  // Milliseconds for poll: -1 without limit, 0 once expired.
  int Remaining() const {
    if (unlimited) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) return 0;
    return left > kUnlimited - 1 ? static_cast<int>(kUnlimited - 1) : static_cast<int>(left);
  }
  bool Expired() const { return !unlimited && Clock::now() >= end; }

 private:
  using Clock = std::chrono::steady_clock;
  bool unlimited;
  Clock::time_point end;
};

bool IsWouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

}  // namespace

// ---------------------------------------------------------------- ZIPAddress

ZIPAddress::ZIPAddress() : value(zhost::HostToNetwork(0x7f000001)) {}

ZIPAddress::ZIPAddress(uint8_t first, uint8_t second, uint8_t third, uint8_t fourth)
    : value(zhost::HostToNetwork((uint32_t{first} << 24) | (uint32_t{second} << 16) |
                                 (uint32_t{third} << 8) | fourth)) {}

uint32_t ZIPAddress::GetHostOrder() const { return zhost::NetworkToHost(value); }

uint8_t ZIPAddress::GetByte(int index) const {
  if (index < 0 || index > 3) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    return 0;
  }
  return static_cast<uint8_t>(GetHostOrder() >> (24 - 8 * index));
}

void ZIPAddress::SetByte(int index, uint8_t byte) {
  if (index < 0 || index > 3) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    return;
  }
  int shift = 24 - 8 * index;
  uint32_t host = (GetHostOrder() & ~(0xffu << shift)) | (uint32_t{byte} << shift);
  value = zhost::HostToNetwork(host);
}

ZString ZIPAddress::GetDotted() const {
  return FormatText("%u.%u.%u.%u", GetByte(0), GetByte(1), GetByte(2), GetByte(3));
}

bool ZIPAddress::Parse(const char* text) {
  if (text == nullptr) return false;
  uint32_t host = 0;
  const char* p = text;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && *p++ != '.') return false;
    if (*p < '0' || *p > '9') return false;
    uint32_t number = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9') {
      number = number * 10 + static_cast<uint32_t>(*p++ - '0');
      if (++digits > 3 || number > 255) return false;
    }
    host = (host << 8) | number;
  }
  if (*p != '\0') return false;
  value = zhost::HostToNetwork(host);
  return true;
}

ZComparison ZIPAddress::Compare(const ZObject& other) const {
  const ZIPAddress* address = ZCast<ZIPAddress>(&other);
  if (address == nullptr) return GreaterThan;
  uint32_t mine = GetHostOrder();
  uint32_t theirs = address->GetHostOrder();
  return mine < theirs ? LessThan : (mine > theirs ? GreaterThan : EqualTo);
}

ZObject* ZIPAddress::Clone() const { return new ZIPAddress(*this); }

uint32_t ZIPAddress::Hash() const { return GetHostOrder() % 23; }

void ZIPAddress::Print(std::ostream& out) const { out << GetDotted().Text(); }

// ---------------------------------------------------------------- the guard

ZSocket::Use::Use(const ZSocket& socket) : socket(socket), entry(socket.Enter(fd)) {}

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
    if (state.compare_exchange_weak(current, (current | kClosedBit) + kOneUser,
                                     std::memory_order_acq_rel)) {
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
    SetResult(Interrupted, EINTR);
  } else {
    SetResult(NotOpen, EBADF);
  }
}

void ZSocket::SetFailure(int osError) {
  if (IsClosing()) {
    SetResult(Interrupted, EINTR);
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
  const int64_t left =
      std::chrono::ceil<std::chrono::milliseconds>(readDeadline - std::chrono::steady_clock::now()).count();
  const int64_t remaining = left > 0 ? left + 1 : 0;
  // -1 (a receive without a wait) and the unlimited value give way to the
  // deadline as well.
  if (wanted < 0 || wanted >= kUnlimited || wanted > remaining) {
    cut = true;
    return remaining;
  }
  return wanted;
}

long ZSocket::ReceiveWithin(int fd, void* buffer, ZIndex length, ZIPAddress* from,
                            uint16_t* fromPort, bool peekLength) {
  // A read past the deadline is a read that timed out.
  if (IsPastDeadline()) {
    SetResult(Timeout, EAGAIN);
    return -1;
  }
  bool cutByDeadline = false;
  const int64_t timeout = ReadWaitWithinDeadline(cutByDeadline);
  const auto timedOut = [&] {
    SetResult(Timeout, EAGAIN);
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
        SetResult(Interrupted, EINTR);
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
          SetResult(Interrupted, EINTR);
          return -1;
        }
        SetResult(0);
        return received;
      }
    } else if (from != nullptr) {
      uint32_t address = 0;
      uint16_t port = 0;
      received = zhost::ReceiveFrom(fd, buffer, static_cast<size_t>(length), address, port,
                                    blocking, error);
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
      SetResult(Interrupted, EINTR);
      return -1;
    }
    if (received == 0) {
      SetResult(0);  // the peer closed: no error
      if (streamEnds) inputEnded.store(true, std::memory_order_relaxed);
      return 0;
    }
    // Readiness can be taken away (another reader, a bad checksum): wait again.
    if ((IsWouldBlock(error) && !blocking) || error == EINTR) {
      if (immediate && error != EINTR) return timedOut();
      if (!blocking && !immediate && deadline.Expired()) return timedOut();
      continue;
    }
    SetResult(error);
    return -1;
  }
}

bool ZSocket::Read(void* buffer, ZIndex length) {
  SetLastReadCount(0);
  if (length <= 0 || buffer == nullptr) {
    SetResult(BadParameter, EINVAL);
    return false;
  }
  Use use(*this);
  if (!use.Ok()) {
    SetEntryFailure(use.GetEntry());
    return false;
  }
  long received = ReceiveWithin(use.Fd(), buffer, length, nullptr, nullptr);
  if (received <= 0) return false;
  SetLastReadCount(static_cast<ZIndex>(received));
  return true;
}

bool ZSocket::Write(const void* buffer, ZIndex length) {
  SetLastWriteCount(0);
  if (length < 0 || (buffer == nullptr && length > 0)) {
    SetResult(BadParameter, EINVAL);
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
      if (error == EINTR && !IsClosing()) continue;
      if (IsWouldBlock(error) && !IsClosing()) {
        const int ready = WaitFor(use.Fd(), true, deadline.Remaining());
        if (ready > 0) continue;
        if (ready == 0) SetResult(Timeout, EAGAIN);
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

// ---------------------------------------------------------------- look-ups

ZString ZSocket::GetHostName() {
  ZString name;
  if (!zhost::LocalHostName(name) || name.IsEmpty()) return ZString("localhost");
  return name.Left(50);
}

ZString ZSocket::GetHostName(const char* host) {
  if (host == nullptr) return ZString();
  ZIPAddress address;
  if (address.Parse(host)) return GetHostName(address);
  uint32_t found = 0;
  ZString official;
  if (host[0] != '\0' && zhost::LookupHost(host, found, &official) && !official.IsEmpty()) {
    return official;
  }
  return ZString(host);
}

ZString ZSocket::GetHostName(const ZIPAddress& address) {
  ZString name;
  if (zhost::LookupAddressName(address.GetValue(), name) && !name.IsEmpty()) return name;
  return address.GetDotted();
}

bool ZSocket::GetHostAddress(const char* host, ZIPAddress& address) {
  if (host == nullptr || host[0] == '\0') return false;
  if (address.Parse(host)) return true;
  uint32_t found = 0;
  if (!zhost::LookupHost(host, found, nullptr)) return false;
  address.SetValue(found);
  return true;
}

bool ZSocket::GetHostAddress(ZIPAddress& address) { return GetHostAddress(GetHostName(), address); }

uint16_t ZSocket::GetPortByService(const char* protocol, const char* service) {
  if (service == nullptr) return 0;
  ZString text(service);
  ZIndex split = text.FindOneOf(" \t\r\n");
  ZString name = split == ZNotFound ? text : text.Left(split);
  uint16_t port = 0;
  if (!name.IsEmpty() && zhost::LookupServicePort(name.Text(), protocol, port)) return port;
  if (split != ZNotFound) return static_cast<uint16_t>(text.Mid(split + 1).Trim().AsInteger());
  if (text[0] >= '0' && text[0] <= '9') return static_cast<uint16_t>(text.AsInteger());
  return 0;
}

ZString ZSocket::GetServiceByPort(const char* protocol, uint16_t port) {
  // Every accepted connection names its relay: remember the answers rather
  // than parse the services database each time. Ports and protocols are
  // few, so the cache stays small.
  static std::mutex cacheMutex;
  using Key = std::tuple<bool, std::string, uint16_t>;  // no protocol is not ""
  static auto* cache = new std::map<Key, std::string>;
  const Key key(protocol != nullptr, protocol != nullptr ? protocol : "", port);
  {
    std::lock_guard<std::mutex> lock(cacheMutex);
    auto found = cache->find(key);
    if (found != cache->end()) return ZString(found->second.c_str());
  }
  ZString name;
  if (!zhost::LookupServiceName(port, protocol, name) || name.IsEmpty()) {
    name = FormatText("%u", static_cast<unsigned>(port));
  }
  std::lock_guard<std::mutex> lock(cacheMutex);
  cache->emplace(key, std::string(name.Text()));
  return name;
}

// ---------------------------------------------------------------- waits

namespace {

// The poll time-out of a Select: 0x7fffffff ms without limit.
int SelectTimeout(const ZTimeInterval& timeout) { return Deadline(timeout.GetMilliseconds()).Remaining(); }

}  // namespace

int ZSocket::Select(ZSocket& first, ZSocket& second, const ZTimeInterval& timeout) {
  Use one(first);
  Use two(second);
  if (!one.Ok() || !two.Ok()) {
    if (one.GetEntry() == NeverOpened || two.GetEntry() == NeverOpened) {
      Z_ASSERT_CODE(ZAssertFileNotOpen);
    }
    if (!one.Ok()) first.SetEntryFailure(one.GetEntry());
    if (!two.Ok()) second.SetEntryFailure(two.GetEntry());
    return -1;
  }
  zhost::PollEntry entries[2];
  entries[0].fd = one.Fd();
  entries[0].wantRead = true;
  entries[1].fd = two.Fd();
  entries[1].wantRead = true;
  int error = 0;
  int ready = zhost::Poll(entries, 2, SelectTimeout(timeout), error);
  bool closed = false;
  for (ZSocket* socket : {&first, &second}) {
    if (socket->IsClosing()) {
      socket->SetResult(Interrupted, EINTR);
      closed = true;
    }
  }
  if (closed) return -1;
  if (ready < 0) {
    first.SetResult(error);
    second.SetResult(error);
    return -1;
  }
  return (entries[0].readable ? 1 : 0) | (entries[1].readable ? 2 : 0);
}

template <ZIndex Capacity>
bool ZSocket::WaitUpTo(WaitEntry* entries, ZIndex count, const ZTimeInterval& timeout) {
  std::optional<Use> uses[Capacity];
  zhost::PollEntry polls[Capacity];
  for (ZIndex i = 0; i < count; ++i) {
    WaitEntry& entry = entries[i];
    entry.readable = entry.writable = entry.exceptional = entry.hungUp = entry.failed = false;
    if (entry.socket == nullptr) {
      Z_ASSERT_CODE(ZAssertNullPointer);
      return false;
    }
    uses[i].emplace(*entry.socket);
    if (!uses[i]->Ok()) {
      if (uses[i]->GetEntry() == NeverOpened) Z_ASSERT_CODE(ZAssertFileNotOpen);
      entry.socket->SetEntryFailure(uses[i]->GetEntry());
      return false;
    }
    polls[i].fd = uses[i]->Fd();
    polls[i].wantRead = entry.wantRead;
    polls[i].wantWrite = entry.wantWrite;
    polls[i].wantExcept = entry.wantExcept;
  }

  int error = 0;
  int ready = zhost::Poll(polls, count, SelectTimeout(timeout), error);
  bool closed = false;
  for (ZIndex i = 0; i < count; ++i) {
    if (entries[i].socket->IsClosing()) {
      entries[i].socket->SetResult(Interrupted, EINTR);
      closed = true;
    }
  }
  if (closed) return false;
  if (ready < 0) {
    for (ZIndex i = 0; i < count; ++i) entries[i].socket->SetResult(error);
    return false;
  }
  if (ready == 0) return true;
  for (ZIndex i = 0; i < count; ++i) {
    entries[i].readable = polls[i].readable;
    entries[i].writable = polls[i].writable;
    entries[i].exceptional = polls[i].exceptional;
    entries[i].hungUp = polls[i].hungUp;
    entries[i].failed = polls[i].failed;
  }
  return true;
}

bool ZSocket::Wait(WaitEntry* entries, ZIndex count, const ZTimeInterval& timeout) {
  if (count < 0 || count > kMaxSelect || (entries == nullptr && count > 0)) {
    Z_ASSERT_CODE(ZAssertInvalidParameter);
    return false;
  }
  // Most waits are on a socket or two: spare them setting up the full table.
  if (count <= 4) return WaitUpTo<4>(entries, count, timeout);
  return WaitUpTo<kMaxSelect>(entries, count, timeout);
}

bool ZSocket::Select(ZList* readList, ZList* writeList, ZList* exceptList,
                     const ZTimeInterval& timeout) {
  ZList* lists[3] = {readList, writeList, exceptList};
  ZIndex total = 0;
  for (ZList* list : lists) {
    if (list == nullptr) continue;
    // Unlinking must never delete a socket.
    if (list->GetDeleteObjects()) {
      Z_ASSERT_CODE(ZAssertInvalidParameter);
      return false;
    }
    total += list->GetSize();
  }
  if (total > kMaxSelect) {
    Z_ASSERT_CODE(ZAssertInvalidParameter);
    return false;
  }

  WaitEntry entries[kMaxSelect];
  ZIndex count = 0;
  for (int which = 0; which < 3; ++which) {
    ZList* list = lists[which];
    if (list == nullptr) continue;
    for (ZIndex i = 0; i < list->GetSize(); ++i) {
      ZSocket* socket = ZCast<ZSocket>(list->GetAt(i));
      if (socket == nullptr) {
        Z_ASSERT_CODE(ZAssertNullPointer);
        return false;
      }
      entries[count].socket = socket;
      entries[count].wantRead = which == 0;
      entries[count].wantWrite = which == 1;
      entries[count].wantExcept = which == 2;
      ++count;
    }
  }
  if (!Wait(entries, count, timeout)) return false;

  // Walk the entries back to front so each list can unlink by index.
  ZIndex entry = count;
  for (int which = 2; which >= 0; --which) {
    ZList* list = lists[which];
    if (list == nullptr) continue;
    for (ZIndex i = list->GetSize() - 1; i >= 0; --i) {
      const WaitEntry& result = entries[--entry];
      // A hang-up wakes every wait: where it was watched for trouble only,
      // it is the trouble (it would otherwise read as a time-out).
      const bool troubled = result.wantExcept && result.hungUp;
      if (!(result.readable || result.writable || result.exceptional || troubled)) list->RemoveAt(i);
    }
  }
  return true;
}

// ---------------------------------------------------------------- ZIPSocket

ZIPSocket::ZIPSocket(const char* protocol, const char* service)
    : port(ZSocket::GetPortByService(protocol, service)) {}

uint16_t ZIPSocket::GetPortByService(const char* service) {
  return ZSocket::GetPortByService(GetProtocol(), service);
}

ZString ZIPSocket::GetServiceByPort(uint16_t number) {
  return ZSocket::GetServiceByPort(GetProtocol(), number);
}

bool ZIPSocket::SetPort(uint16_t newPort) {
  if (IsOpen()) {
    Z_ASSERT_MESSAGE("Cannot change port number of opened socket");
    return false;
  }
  port = newPort;
  return true;
}

bool ZIPSocket::SetPort(const char* service) {
  if (IsOpen()) {
    Z_ASSERT_MESSAGE("Cannot change port number of opened socket");
    return false;
  }
  port = GetPortByService(service);
  return true;
}

ZString ZIPSocket::GetService() { return GetServiceByPort(port); }

ZString ZIPSocket::GetName() const {
  Use use(*this);
  if (!use.Ok()) return ZString();
  uint32_t address = 0;
  uint16_t peerPort = 0;
  int error = 0;
  if (!RecallPeer(address, peerPort) && !zhost::GetPeer(use.Fd(), address, peerPort, error)) return ZString();
  return GetHostName(ZIPAddress(address)) + FormatText(" %u", static_cast<unsigned>(peerPort));
}

bool ZIPSocket::GetPeerAddress(ZIPAddress& address) {
  uint16_t ignored = 0;
  return GetPeerAddress(address, ignored);
}

bool ZIPSocket::GetPeerAddress(ZIPAddress& address, uint16_t& peerPort) {
  Use use(*this);
  if (!use.Ok()) {
    SetEntryFailure(use.GetEntry());
    return false;
  }
  uint32_t value = 0;
  int error = 0;
  if (!RecallPeer(value, peerPort) && !zhost::GetPeer(use.Fd(), value, peerPort, error)) {
    SetFailure(error);
    return false;
  }
  address.SetValue(value);
  SetResult(0);
  return true;
}

bool ZIPSocket::GetLocalAddress(ZIPAddress& address, uint16_t& localPort) {
  Use use(*this);
  if (!use.Ok()) {
    SetEntryFailure(use.GetEntry());
    return false;
  }
  uint32_t value = 0;
  int error = 0;
  if (!zhost::GetLocal(use.Fd(), value, localPort, error)) {
    SetFailure(error);
    return false;
  }
  address.SetValue(value);
  SetResult(0);
  return true;
}

ZString ZIPSocket::GetPeerHostName() {
  ZIPAddress address;
  if (!GetPeerAddress(address)) return ZString();
  return GetHostName(address);
}

bool ZIPSocket::PrepareConnect() {
  Close();
  if (port == 0) {
    Z_ASSERT_MESSAGE("Cannot connect socket without setting port");
    SetResult(BadParameter, EINVAL);
    return false;
  }
  return true;
}

bool ZIPSocket::ListenAs(bool stream, int queueSize, uint16_t newPort, bool exclusive) {
  Close();
  if (newPort != 0) port = newPort;
  int error = 0;
  int fd = zhost::CreateSocket(stream ? zhost::SocketKind::Stream : zhost::SocketKind::Datagram, error);
  if (fd < 0) {
    SetResult(error);
    return false;
  }
  uint16_t bound = 0;
  bool done = zhost::SetAddressReuse(fd, !exclusive, error) && zhost::BindAny(fd, port, error) &&
              (!stream || (zhost::ListenSocket(fd, queueSize, error) &&
                           // accept must never block once poll said ready
                           zhost::SetNonBlocking(fd, error))) &&
              zhost::GetLocalPort(fd, bound, error);
  if (!done) {
    zhost::CloseSocket(fd);
    SetResult(error);
    return false;
  }
  // Set on the listener once rather than on every accepted socket.
  const bool linger = stream && zhost::SetLinger(fd, kLingerSeconds, error);
  port = bound;
  Attach(fd);
  SetLingerInherited(linger);
  SetResult(0);
  return true;
}

// ---------------------------------------------------------------- ZTCPSocket

bool ZTCPSocket::Connect(const char* host) {
  if (!PrepareConnect()) return false;
  ZIPAddress address;
  if (!GetHostAddress(host, address)) {
    SetResult(Miscellaneous, EHOSTUNREACH);
    return false;
  }
  int error = 0;
  int fd = zhost::CreateSocket(zhost::SocketKind::Stream, error);
  if (fd < 0) {
    SetResult(error);
    return false;
  }
  // Attached before connecting, so that Close from another thread can end
  // a slow connect.
  Attach(fd);
  bool connected = false;
  Error code = NoError;
  {
    Use use(*this);
    if (!use.Ok()) {
      SetEntryFailure(use.GetEntry());
      return false;
    }
    connected = zhost::ConnectSocket(use.Fd(), address.GetValue(), port, error);
    if (connected) {
      int ignored = 0;
      zhost::SetLinger(use.Fd(), kLingerSeconds, ignored);
      RememberPeer(address.GetValue(), port);
    } else if (IsClosing()) {
      code = Interrupted;
      error = EINTR;
    } else {
      code = ErrorFromOS(error);
    }
  }
  if (!connected) {
    Close();
    SetResult(code, error);
    return false;
  }
  SetResult(0);
  return true;
}

bool ZTCPSocket::Listen(int queueSize, uint16_t newPort, bool exclusive) {
  return ListenAs(true, queueSize, newPort, exclusive);
}

bool ZTCPSocket::Accept(ZIPSocket& listener) {
  Close();
  Use listening(listener);
  if (!listening.Ok()) {
    // A listener closed by another thread is the normal way to stop
    // accepting; only one that was never opened is misuse.
    if (listening.GetEntry() == NeverOpened) Z_ASSERT_CODE(ZAssertFileNotOpen);
    SetEntryFailure(listening.GetEntry());
    RecordOn(listener, GetErrorCode(), GetOSError());
    return false;
  }
  const Deadline deadline(listener.GetReadTimeout().GetMilliseconds());
  int fd = -1;
  uint32_t peerAddress = 0;
  uint16_t peerPort = 0;
  // Under load connections are already queued: the first try takes one
  // without waiting, which saves a poll each; when none is there it costs
  // one quick call, small beside the wait that follows.
  for (bool wait = false;; wait = true) {
    if (wait) {
      int ready = WaitFor(listening.Fd(), false, deadline.Remaining());
      bool closing = listener.IsOpen() == false;
      if (closing) {
        SetResult(Interrupted, EINTR);
      } else if (ready == 0) {
        SetResult(Timeout, EAGAIN);
      }
      if (closing || ready <= 0) {
        RecordOn(listener, GetErrorCode(), GetOSError());
        return false;
      }
    }
    int error = 0;
    fd = zhost::AcceptSocket(listening.Fd(), peerAddress, peerPort, error);
    if (fd >= 0) break;
    // Someone else took the connection, or it was reset before we came.
    if (IsWouldBlock(error) || error == EINTR || error == ECONNABORTED) {
      if (wait && deadline.Expired()) {
        SetResult(Timeout, EAGAIN);
        RecordOn(listener, Timeout, EAGAIN);
        return false;
      }
      continue;
    }
    if (!listener.IsOpen()) {
      SetResult(Interrupted, EINTR);
    } else {
      SetResult(error);
    }
    RecordOn(listener, GetErrorCode(), GetOSError());
    return false;
  }
  TakeAccepted(listener, fd, peerAddress, peerPort);
  RecordOn(listener, NoError, 0);
  return true;
}

bool ZTCPSocket::AcceptQueued(ZIPSocket& listener) {
  Close();
  Use listening(listener);
  if (!listening.Ok()) {
    SetEntryFailure(listening.GetEntry());
    return false;
  }
  uint32_t peerAddress = 0;
  uint16_t peerPort = 0;
  int error = 0;
  // The listener's own thread records its results on it; a taker that
  // found nothing leaves them alone.
  const int fd = zhost::AcceptSocket(listening.Fd(), peerAddress, peerPort, error);
  if (fd < 0) {
    if (IsWouldBlock(error) || error == EINTR || error == ECONNABORTED) {
      SetResult(Timeout, EAGAIN);
    } else {
      SetResult(error);
    }
    return false;
  }
  TakeAccepted(listener, fd, peerAddress, peerPort);
  return true;
}

void ZTCPSocket::TakeAccepted(ZIPSocket& listener, int fd, uint32_t peerAddress, uint16_t peerPort) {
  // Our own listeners carry the linger option, and accepted sockets inherit it.
  if (!LingerInherited(listener)) {
    int ignored = 0;
    zhost::SetLinger(fd, kLingerSeconds, ignored);
  }
  port = listener.GetPort();
  Attach(fd);
  RememberPeer(peerAddress, peerPort);
  SetResult(0);
}

bool ZTCPSocket::WriteOutOfBand(const void* buffer, ZIndex length) {
  SetLastWriteCount(0);
  if (length < 0 || (buffer == nullptr && length > 0)) {
    SetResult(BadParameter, EINVAL);
    return false;
  }
  Use use(*this);
  if (!use.Ok()) {
    SetEntryFailure(use.GetEntry());
    return false;
  }
  int error = 0;
  long sent = zhost::Send(use.Fd(), buffer, static_cast<size_t>(length), true, true, error);
  if (sent < 0) {
    SetFailure(error);
    return false;
  }
  SetLastWriteCount(static_cast<ZIndex>(sent));
  SetResult(0);
  return true;
}

void ZTCPSocket::OnOutOfBand(const void*, ZIndex) {}

bool ZTCPSocket::SetUrgentInline(bool on) {
  Use use(*this);
  if (!use.Ok()) {
    SetEntryFailure(use.GetEntry());
    return false;
  }
  int error = 0;
  if (!zhost::SetUrgentInline(use.Fd(), on, error)) {
    SetFailure(error);
    return false;
  }
  SetResult(0);
  return true;
}

bool ZTCPSocket::ShutdownWrite() {
  Use use(*this);
  if (!use.Ok()) {
    SetEntryFailure(use.GetEntry());
    return false;
  }
  int error = 0;
  if (!zhost::ShutdownSend(use.Fd(), error)) {
    SetFailure(error);
    return false;
  }
  SetResult(0);
  return true;
}

// ---------------------------------------------------------------- ZUDPSocket

bool ZUDPSocket::Connect(const char* host) {
  if (!PrepareConnect()) return false;
  ZIPAddress address;
  if (!GetHostAddress(host, address)) {
    SetResult(Miscellaneous, EHOSTUNREACH);
    return false;
  }
  int error = 0;
  int fd = zhost::CreateSocket(zhost::SocketKind::Datagram, error);
  if (fd < 0) {
    SetResult(error);
    return false;
  }
  // A datagram connect only fixes the destination: it never blocks.
  if (!zhost::ConnectSocket(fd, address.GetValue(), port, error)) {
    zhost::CloseSocket(fd);
    SetResult(error);
    return false;
  }
  Attach(fd);
  SetResult(0);
  return true;
}

bool ZUDPSocket::Listen(int queueSize, uint16_t newPort, bool exclusive) {
  return ListenAs(false, queueSize, newPort, exclusive);
}

bool ZUDPSocket::Accept(ZIPSocket&) {
  Z_ASSERT_MESSAGE("Illegal operation.");
  SetResult(BadParameter, EINVAL);
  return false;
}

bool ZUDPSocket::ReadFrom(void* buffer, ZIndex length, ZIPAddress& address, uint16_t& fromPort) {
  SetLastReadCount(0);
  if (length <= 0 || buffer == nullptr) {
    SetResult(BadParameter, EINVAL);
    return false;
  }
  Use use(*this);
  if (!use.Ok()) {
    SetEntryFailure(use.GetEntry());
    return false;
  }
  long received = ReceiveWithin(use.Fd(), buffer, length, &address, &fromPort);
  if (received <= 0) return false;
  SetLastReadCount(static_cast<ZIndex>(received));
  return true;
}

bool ZUDPSocket::PeekDatagramLength(ZIndex& length) {
  length = 0;
  Use use(*this);
  if (!use.Ok()) {
    SetEntryFailure(use.GetEntry());
    return false;
  }
  const long whole = ReceiveWithin(use.Fd(), nullptr, 0, nullptr, nullptr, true);
  if (whole < 0) return false;
  length = static_cast<ZIndex>(whole);
  return true;
}

bool ZUDPSocket::WriteTo(const void* buffer, ZIndex length, const ZIPAddress& address,
                         uint16_t toPort) {
  SetLastWriteCount(0);
  if (length < 0 || (buffer == nullptr && length > 0)) {
    SetResult(BadParameter, EINVAL);
    return false;
  }
  Use use(*this);
  if (!use.Ok()) {
    SetEntryFailure(use.GetEntry());
    return false;
  }
  int error = 0;
  long sent = zhost::SendTo(use.Fd(), buffer, static_cast<size_t>(length), address.GetValue(),
                            toPort, error);
  if (sent < 0) {
    SetFailure(error);
    return false;
  }
  SetLastWriteCount(static_cast<ZIndex>(sent));
  SetResult(0);
  return sent == length;
}
