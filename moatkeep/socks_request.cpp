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

bool SocksRequest::NamesHost() const {
  return address.GetByte(0) == 0 && address.GetByte(1) == 0 && address.GetByte(2) == 0 && address.GetByte(3) != 0;
}

SocksUserIdReader::Result SocksUserIdReader::Add(uint8_t byte) {
  if (state != Result::More) return state;
  if (byte == 0) {
    state = Result::Complete;
  } else if (length == bound) {
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

ZString SocksShownText(const ZString& text) {
  std::string shown(text.Text(), static_cast<size_t>(text.GetLength()));
  for (char& c : shown) {
    const auto code = static_cast<unsigned char>(c);
    if (code < 32 || code == 127) c = '?';
  }
  return ZString(shown.data(), static_cast<ZIndex>(shown.size()));
}

ZString SocksLinkDescription(const ZString& userId) {
  return ZString("SOCKS link by \"") + SocksShownText(userId) + "\"";
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

// Collects a field up to its 0 byte, one byte at a time: whatever the
// client sends after the request belongs to the link and must stay unread.
// False when a read failed; reader tells whether the field fitted.
bool ReadTerminated(ZSocket& client, SocksUserIdReader& reader) {
  for (SocksUserIdReader::Result result = SocksUserIdReader::Result::More; result == SocksUserIdReader::Result::More;) {
    uint8_t byte = 0;
    if (!ReadExactly(client, &byte, 1)) return false;
    result = reader.Add(byte);
  }
  return true;
}

}  // namespace

bool ReadSocksBytes(ZSocket& client, uint8_t* buffer, ZIndex length) { return ReadExactly(client, buffer, length); }

bool ReadSocksVersion(ZSocket& client, uint8_t& version) { return ReadExactly(client, &version, 1); }

SocksReadResult ReadSocks4Request(ZSocket& client, uint8_t version, SocksRequest& request) {
  uint8_t fixed[kSocksFixedSize] = {version};
  // Command, port, address.
  static constexpr ZIndex kFields[] = {1, 2, 4};
  ZIndex offset = 1;
  for (ZIndex size : kFields) {
    if (!ReadExactly(client, fixed + offset, size)) return SocksReadResult::Failed;
    offset += size;
  }
  request.SetFixedPart(fixed);
  if (request.version != kSocksVersion) return SocksReadResult::WrongVersion;

  SocksUserIdReader userId;
  if (!ReadTerminated(client, userId)) return SocksReadResult::Failed;
  if (userId.Add(0) == SocksUserIdReader::Result::TooLong) return SocksReadResult::UserIdTooLong;
  request.userId = userId.GetUserId();
  if (request.NamesHost()) {
    SocksUserIdReader hostName(kSocksHostNameLimit);
    if (!ReadTerminated(client, hostName)) return SocksReadResult::Failed;
    if (hostName.Add(0) == SocksUserIdReader::Result::TooLong) return SocksReadResult::HostNameTooLong;
    request.hostName = hostName.GetUserId();
  }
  return SocksReadResult::Read;
}

SocksReadResult ReadSocksRequest(ZSocket& client, const ZTimeInterval& total, SocksRequest& request) {
  // The link that follows has no time limit: the deadline ends here.
  const ZSocketDeadline bound(client, total);
  uint8_t version = 0;
  if (!ReadSocksVersion(client, version)) return SocksReadResult::Failed;
  // Another version is told only once the whole fixed part is in.
  return ReadSocks4Request(client, version, request);
}
