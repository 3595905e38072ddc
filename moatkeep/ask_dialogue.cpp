#include "ask_dialogue.h"

namespace {

constexpr char kBackspace = 8;
constexpr char kDelete = 127;
// What the prompt swallows at most before going on regardless: a client that
// never stops sending must not hold the dialogue forever, neither by sending
// fast (the byte limit) nor by sending a byte just inside every quiet period
// (the time limit, in quiet periods; terminal negotiation takes far less).
constexpr ZIndex kSwallowLimit = 64 * 1024;
constexpr int64_t kSwallowPeriods = 5;
// The longest host line kept; longer input is not echoed.
constexpr ZIndex kLineLimit = 255;
// Characters read for one line before the client is given up on.
constexpr ZIndex kReadLimit = 4096;

bool IsPrintable(unsigned char c) { return c >= 32 && c < 127; }

}  // namespace

HostLineResult ReadHostLine(ZSocket& client, ZString& line, const ZTimeInterval& swallowTime,
                            const ZTimeInterval& lineTime) {
  line = ZString();
  char buffer[256];
  client.SetReadTimeout(swallowTime);
  {
    // Running out of time here, as a quiet period does, ends the swallowing.
    const ZSocketDeadline swallowBound(client, ZTimeInterval(swallowTime.GetMilliseconds() * kSwallowPeriods));
    for (ZIndex swallowed = 0; swallowed < kSwallowLimit;) {
      if (!client.Read(buffer, sizeof buffer)) {
        if (client.GetErrorCode() == ZChannel::Timeout) break;
        return HostLineResult::Failed;
      }
      swallowed += client.GetLastReadCount();
    }
  }

  if (!client.WriteString("host> ")) return HostLineResult::Failed;
  client.SetReadTimeout(lineTime);
  // The whole line, not only each character, must come within lineTime.
  const ZSocketDeadline lineBound(client, lineTime);
  for (ZIndex received = 0; received < kReadLimit; ++received) {
    unsigned char c = 0;
    if (!client.Read(&c, 1)) return HostLineResult::Failed;
    if (c == kBackspace || c == kDelete) {
      if (!line.IsEmpty()) line = line.Left(line.GetLength() - 1);
      // Erased on the terminal even when there was nothing to erase.
      static const char erase[] = {kBackspace, ' ', kBackspace};
      if (!client.Write(erase, sizeof erase)) return HostLineResult::Failed;
    } else if (c == '\n' || c == '\r') {
      if (!client.WriteString("\r\n")) return HostLineResult::Failed;
      return HostLineResult::Read;
    } else if (IsPrintable(c) && line.GetLength() < kLineLimit) {
      line += ZString(reinterpret_cast<const char*>(&c), 1);
      if (!client.Write(&c, 1)) return HostLineResult::Failed;
    }
  }
  return HostLineResult::TooLong;
}
