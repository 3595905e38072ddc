// Waiting on several sockets: both Select forms, Wait with what each entry
// was watched for, hang-ups and failures, and descriptors above 1023.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "support/assert_capture.h"
#include "support/loopback.h"
#include "zunder/sockets.h"

namespace {

TEST(SocketSelect, TwoSocketForm) {
  LoopbackPair a;
  LoopbackPair b;
  ASSERT_TRUE(a.Open());
  ASSERT_TRUE(b.Open());
  EXPECT_EQ(ZSocket::Select(a.server, b.server, ZTimeInterval(200)), 0);
  ASSERT_TRUE(b.client.Write("x", 1));
  EXPECT_EQ(ZSocket::Select(a.server, b.server, ZTimeInterval(10000)), 2);
  ASSERT_TRUE(a.client.Write("y", 1));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(ZSocket::Select(a.server, b.server), 3);
  char c;
  ASSERT_TRUE(b.server.Read(&c, 1));
  EXPECT_EQ(ZSocket::Select(a.server, b.server, ZTimeInterval(0)), 1);

  AssertCapture capture;
  ZTCPSocket unopened;
  EXPECT_LT(ZSocket::Select(a.server, unopened, ZTimeInterval(0)), 0);
  EXPECT_EQ(AssertCapture::LastMessage(), AssertCapture::TextOf(ZAssertFileNotOpen));
}

TEST(SocketSelect, ListFormKeepsReadySocketsOnly) {
  LoopbackPair a;
  LoopbackPair b;
  ASSERT_TRUE(a.Open());
  ASSERT_TRUE(b.Open());

  ZList reads;
  ZList writes;
  ZList excepts;
  for (ZList* list : {&reads, &writes, &excepts}) list->SetDeleteObjects(false);

  // Time-out: every list is emptied.
  reads.Append(&a.server);
  reads.Append(&b.server);
  excepts.Append(&a.server);
  EXPECT_TRUE(ZSocket::Select(&reads, nullptr, &excepts, ZTimeInterval(200)));
  EXPECT_EQ(reads.GetSize(), 0);
  EXPECT_EQ(excepts.GetSize(), 0);

  // Only b is readable; a's client is always writable.
  ASSERT_TRUE(b.client.Write("x", 1));
  reads.Append(&a.server);
  reads.Append(&b.server);
  writes.Append(&a.client);
  EXPECT_TRUE(ZSocket::Select(&reads, &writes, nullptr, ZTimeInterval(10000)));
  ASSERT_EQ(reads.GetSize(), 1);
  EXPECT_EQ(reads.GetAt(0), &b.server);
  ASSERT_EQ(writes.GetSize(), 1);
  EXPECT_EQ(writes.GetAt(0), &a.client);
  EXPECT_TRUE(a.server.IsOpen());  // unlinked, never deleted

  AssertCapture capture;
  // An owning list would delete what it unlinks: refused.
  ZList owning;
  owning.Append(new ZTCPSocket());
  EXPECT_FALSE(ZSocket::Select(&owning, nullptr, nullptr, ZTimeInterval(0)));
  EXPECT_EQ(AssertCapture::Count(), 1u);
  // More than 64 sockets do not fit in one wait; the list stays as it was.
  ZList many;
  many.SetDeleteObjects(false);
  for (int i = 0; i < 65; ++i) many.Append(&a.server);
  EXPECT_FALSE(ZSocket::Select(&many, nullptr, nullptr, ZTimeInterval(0)));
  EXPECT_EQ(many.GetSize(), 65);
  // Waiting on a socket that was never opened is misuse.
  ZTCPSocket unopened;
  ZList withUnopened;
  withUnopened.SetDeleteObjects(false);
  withUnopened.Append(&unopened);
  EXPECT_FALSE(ZSocket::Select(&withUnopened, nullptr, nullptr, ZTimeInterval(0)));
  EXPECT_EQ(AssertCapture::LastMessage(), AssertCapture::TextOf(ZAssertFileNotOpen));
  EXPECT_EQ(withUnopened.GetSize(), 1);
}

TEST(SocketSelect, WaitReportsWhatEachEntryWasWatchedFor) {
  LoopbackPair a;
  LoopbackPair b;
  ASSERT_TRUE(a.Open());
  ASSERT_TRUE(b.Open());

  // Time-out: nothing found.
  ZSocket::WaitEntry entries[5];
  entries[0].socket = &a.server;
  entries[0].wantRead = true;
  entries[1].socket = &b.server;
  entries[1].wantRead = true;
  entries[1].readable = true;  // stale answers are cleared
  EXPECT_TRUE(ZSocket::Wait(entries, 2, ZTimeInterval(200)));
  EXPECT_FALSE(entries[0].readable || entries[1].readable);

  // Readable and writable, each only where asked for.
  ASSERT_TRUE(b.client.Write("x", 1));
  entries[2].socket = &a.client;
  entries[2].wantWrite = true;
  EXPECT_TRUE(ZSocket::Wait(entries, 3, ZTimeInterval(0, 10)));
  EXPECT_FALSE(entries[0].readable);
  EXPECT_TRUE(entries[1].readable);
  EXPECT_FALSE(entries[1].writable);
  EXPECT_TRUE(entries[2].writable);
  EXPECT_FALSE(entries[2].readable);

  // More entries than the small table, one socket both ways.
  entries[3].socket = &b.client;
  entries[3].wantExcept = true;
  entries[4].socket = &b.server;
  entries[4].wantRead = true;
  entries[4].wantWrite = true;
  EXPECT_TRUE(ZSocket::Wait(entries, 5, ZTimeInterval(0, 10)));
  EXPECT_TRUE(entries[1].readable);
  EXPECT_TRUE(entries[2].writable);
  EXPECT_FALSE(entries[3].exceptional);
  EXPECT_TRUE(entries[4].readable);
  EXPECT_TRUE(entries[4].writable);

  // Watched for trouble only: a reset is found. Closing with unread data
  // resets the connection.
  ZSocket::WaitEntry watch;
  watch.socket = &b.client;
  watch.wantExcept = true;
  b.server.Close();
  EXPECT_TRUE(ZSocket::Wait(&watch, 1, ZTimeInterval(0, 10)));
  EXPECT_TRUE(watch.exceptional);
  EXPECT_FALSE(watch.readable || watch.writable);

  // A socket closed by the service ends the wait with Interrupted.
  a.server.Close();
  EXPECT_FALSE(ZSocket::Wait(entries, 1, ZTimeInterval(0)));
  EXPECT_EQ(a.server.GetErrorCode(), ZChannel::Interrupted);

  AssertCapture capture;
  ZSocket::WaitEntry many[ZSocket::kMaxSelect + 1];
  EXPECT_FALSE(ZSocket::Wait(many, ZSocket::kMaxSelect + 1, ZTimeInterval(0)));
  EXPECT_EQ(AssertCapture::Count(), 1u);
  ZSocket::WaitEntry missing;
  EXPECT_FALSE(ZSocket::Wait(&missing, 1, ZTimeInterval(0)));
  EXPECT_EQ(AssertCapture::LastMessage(), AssertCapture::TextOf(ZAssertNullPointer));
  ZTCPSocket unopened;
  ZSocket::WaitEntry never;
  never.socket = &unopened;
  never.wantRead = true;
  EXPECT_FALSE(ZSocket::Wait(&never, 1, ZTimeInterval(0)));
  EXPECT_EQ(AssertCapture::LastMessage(), AssertCapture::TextOf(ZAssertFileNotOpen));
}

TEST(SocketSelect, WaitTellsHangUpsAndFailuresWhateverWasWanted) {
  LoopbackPair pair;
  ASSERT_TRUE(pair.Open());
  // Watched for nothing: nothing is found until the time runs out.
  ZSocket::WaitEntry quiet;
  quiet.socket = &pair.server;
  EXPECT_TRUE(ZSocket::Wait(&quiet, 1, ZTimeInterval(100)));
  EXPECT_FALSE(quiet.hungUp || quiet.failed || quiet.readable || quiet.writable || quiet.exceptional);

  // Both directions over: a hang-up, found at once however long the wait,
  // and told apart from a failure.
  ASSERT_TRUE(pair.server.ShutdownWrite());
  ASSERT_TRUE(pair.client.ShutdownWrite());
  ZSocket::WaitEntry over;
  over.socket = &pair.server;
  over.wantExcept = true;
  EXPECT_TRUE(ZSocket::Wait(&over, 1, ZTimeInterval(0, 30)));
  EXPECT_TRUE(over.hungUp);
  EXPECT_FALSE(over.failed || over.exceptional || over.readable || over.writable);
  // The lists keep it where it was watched for trouble.
  ZList excepts;
  excepts.SetDeleteObjects(false);
  excepts.Append(&pair.server);
  EXPECT_TRUE(ZSocket::Select(nullptr, nullptr, &excepts, ZTimeInterval(0, 30)));
  EXPECT_EQ(excepts.GetSize(), 1);

  // A reset (closing with unread data) is a failure.
  LoopbackPair reset;
  ASSERT_TRUE(reset.Open());
  ASSERT_TRUE(reset.client.Write("unread", 6));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  reset.server.Close();
  ZSocket::WaitEntry broken;
  broken.socket = &reset.client;
  EXPECT_TRUE(ZSocket::Wait(&broken, 1, ZTimeInterval(0, 30)));
  EXPECT_TRUE(broken.failed);
}

// Occupies every descriptor number up to a limit so that the next sockets
// get numbers above it.
class HighDescriptors {
 public:
  explicit HighDescriptors(int above) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    if (limit.rlim_cur < static_cast<rlim_t>(above + 100)) {
      limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, static_cast<rlim_t>(above + 200));
      setrlimit(RLIMIT_NOFILE, &limit);
    }
    for (int i = 0; i < above + 10; ++i) {
      int fd = dup(0);
      if (fd < 0) break;
      held.push_back(fd);
      if (fd > above) break;
    }
  }
  ~HighDescriptors() {
    for (int fd : held) close(fd);
  }
  bool Reached(int above) const { return !held.empty() && held.back() > above; }

 private:
  std::vector<int> held;
};

TEST(SocketSelect, DescriptorsAbove1023Work) {
  HighDescriptors filler(1030);
  if (!filler.Reached(1030)) GTEST_SKIP() << "cannot raise the descriptor limit past 1030";
  LoopbackPair a;
  LoopbackPair b;
  ASSERT_TRUE(a.Open());
  ASSERT_TRUE(b.Open());
  EXPECT_GT(a.server.GetHandle(), 1023);
  EXPECT_GT(b.server.GetHandle(), 1023);

  a.server.SetReadTimeout(ZTimeInterval(200));
  char buffer[8];
  EXPECT_FALSE(a.server.Read(buffer, sizeof buffer));
  EXPECT_EQ(a.server.GetErrorCode(), ZChannel::Timeout);

  ASSERT_TRUE(b.client.Write("hi", 2));
  EXPECT_EQ(ZSocket::Select(a.server, b.server, ZTimeInterval(10000)), 2);
  ZList reads;
  reads.SetDeleteObjects(false);
  reads.Append(&a.server);
  reads.Append(&b.server);
  EXPECT_TRUE(ZSocket::Select(&reads, nullptr, nullptr, ZTimeInterval(10000)));
  ASSERT_EQ(reads.GetSize(), 1);
  EXPECT_EQ(reads.GetAt(0), &b.server);
  b.server.SetReadTimeout(ZTimeInterval(10000));
  EXPECT_TRUE(b.server.Read(buffer, sizeof buffer));
  EXPECT_EQ(b.server.GetLastReadCount(), 2);
}

}  // namespace
