#include "socks_read.h"

namespace {

// Reads exactly length bytes (a field may arrive in pieces).
bool ReadExactly(ZSocket& socket, uint8_t* buffer, ZIndex length) {
  for (ZIndex done = 0; done < length;) {
    if (!socket.Read(buffer + done, length - done)) return false;
    done += socket.GetLastReadCount();
  }
  return true;
}

}  // namespace

SocksReadResult ReadSocksRequest(ZSocket& client, const ZTimeInterval& total, SocksRequest& request) {
  // The link that follows has no time limit: the deadline ends here.
  const ZSocketDeadline bound(client, total);
  uint8_t fixed[kSocksFixedSize] = {};
  // Version, command, port, address.
  static constexpr ZIndex kFields[] = {1, 1, 2, 4};
  ZIndex offset = 0;
  for (ZIndex size : kFields) {
    if (!ReadExactly(client, fixed + offset, size)) return SocksReadResult::Failed;
    offset += size;
  }
  request.SetFixedPart(fixed);
  if (request.version != kSocksVersion) return SocksReadResult::WrongVersion;

  // Byte by byte: whatever the client sends after the request belongs to
  // the link and must stay unread.
  SocksUserIdReader userId;
  for (SocksUserIdReader::Result result = SocksUserIdReader::Result::More;
       result != SocksUserIdReader::Result::Complete;) {
    uint8_t byte = 0;
    if (!ReadExactly(client, &byte, 1)) return SocksReadResult::Failed;
    result = userId.Add(byte);
    if (result == SocksUserIdReader::Result::TooLong) return SocksReadResult::UserIdTooLong;
  }
  request.userId = userId.GetUserId();
  return SocksReadResult::Read;
}
