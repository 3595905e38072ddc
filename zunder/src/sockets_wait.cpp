// Waits on several sockets at once: the two-socket Select, the list form
// and the entry table under both.
#include <optional>

#include "host_error.h"
#include "host_socket.h"
#include "sockets_timing.h"
#include "zunder/sockets.h"

using zsockets::Deadline;

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
      socket->SetResult(Interrupted, zhost::kInterrupted);
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
      entries[i].socket->SetResult(Interrupted, zhost::kInterrupted);
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

bool ZSocket::Select(ZList* readList, ZList* writeList, ZList* exceptList, const ZTimeInterval& timeout) {
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
