#include "socks_request.h"

#include <string>

void SocksRequest::SetFixedPart(const uint8_t (&bytes)[kSocksFixedSize]) {
  version = bytes[0];
  command = bytes[1];
  port = static_cast<uint16_t>((bytes[2] << 8) | bytes[3]);
  ZIPAddress value(0u);
  for (int index = 0; index < 4; ++index) value.SetByte(index, bytes[4 + index]);
  address = value;
}

SocksUserIdReader::Result SocksUserIdReader::Add(uint8_t byte) {
  if (state != Result::More) return state;
  if (byte == 0) {
    state = Result::Complete;
  } else if (length == kSocksUserIdLimit) {
    state = Result::TooLong;
  } else {
    buffer[length++] = static_cast<char>(byte);
  }
  return state;
}

SocksReply MakeSocksReply(uint8_t code, uint16_t port, const ZIPAddress& address) {
  SocksReply reply{};
  reply[0] = kSocksReplyVersion;
  reply[1] = code;
  reply[2] = static_cast<uint8_t>(port >> 8);
  reply[3] = static_cast<uint8_t>(port & 0xff);
  for (int index = 0; index < 4; ++index) reply[4 + index] = address.GetByte(index);
  return reply;
}

ZString SocksLinkDescription(const ZString& userId) {
  std::string shown(userId.Text(), static_cast<size_t>(userId.GetLength()));
  for (char& c : shown) {
    const auto code = static_cast<unsigned char>(c);
    if (code < 32 || code == 127) c = '?';
  }
  return ZString("SOCKS link by \"") + ZString(shown.data(), static_cast<ZIndex>(shown.size())) + "\"";
}

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
