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
