// ZChannel: the parts every channel shares (character and string transfers,
// the stream buffer, error codes and texts).
#include <vector>

#include "host_error.h"
#include "host_socket.h"
#include "zunder/sockets.h"

// ---------------------------------------------------------------- ZChannelBuffer

ZChannelBuffer::ZChannelBuffer(ZChannel& wrapped) : channel(wrapped) {
  setg(input, input, input);
  setp(output, output + kSize);
}

ZChannelBuffer::int_type ZChannelBuffer::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  if (!channel.Read(input, kSize)) return traits_type::eof();
  setg(input, input, input + channel.GetLastReadCount());
  return traits_type::to_int_type(*gptr());
}

ZChannelBuffer::int_type ZChannelBuffer::overflow(int_type c) {
  if (!Drain()) return traits_type::eof();
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
  }
  return traits_type::not_eof(c);
}

int ZChannelBuffer::sync() { return Drain() ? 0 : -1; }

bool ZChannelBuffer::Drain() {
  ZIndex pending = static_cast<ZIndex>(pptr() - pbase());
  bool sent = pending == 0 || channel.Write(pbase(), pending);
  // What could not be written is dropped: the stream reports the failure.
  setp(output, output + kSize);
  return sent;
}

// ---------------------------------------------------------------- ZChannel

namespace {

uint64_t PackResult(ZChannel::Error code, int osError) {
  return (static_cast<uint64_t>(code) << 32) | static_cast<uint32_t>(osError);
}

}  // namespace

ZChannel::ZChannel() : std::iostream(nullptr), streamBuffer(*this) { rdbuf(&streamBuffer); }

ZChannel::~ZChannel() = default;

bool ZChannel::IsOpen() const { return handle >= 0; }

ZString ZChannel::GetName() const { return ZString(); }

bool ZChannel::Read(void*, ZIndex) {
  SetLastReadCount(0);
  SetResult(NotOpen, zhost::kBadDescriptor);
  return false;
}

int ZChannel::ReadChar() {
  unsigned char byte = 0;
  if (!Read(&byte, 1) || GetLastReadCount() != 1) return -1;
  return byte;
}

bool ZChannel::ReadAsync(void* buffer, ZIndex length) {
  bool success = Read(buffer, length);
  OnReadComplete(buffer, GetLastReadCount(), success);
  return success;
}

void ZChannel::OnReadComplete(void*, ZIndex, bool) {}

bool ZChannel::Write(const void*, ZIndex) {
  SetLastWriteCount(0);
  SetResult(NotOpen, zhost::kBadDescriptor);
  return false;
}

bool ZChannel::WriteAsync(const void* buffer, ZIndex length) {
  bool success = Write(buffer, length);
  OnWriteComplete(buffer, GetLastWriteCount(), success);
  return success;
}

void ZChannel::OnWriteComplete(const void*, ZIndex, bool) {}

bool ZChannel::Close() {
  handle = -1;
  SetResult(0);
  return true;
}

ZString ZChannel::ReadString(ZIndex length) {
  if (length <= 0) return ZString();
  std::vector<char> arrived(static_cast<size_t>(length));
  ZIndex received = 0;
  while (received < length && Read(arrived.data() + received, length - received)) {
    received += GetLastReadCount();
  }
  // A string ends at its first NUL: bytes after one are not part of the text.
  return ZString(arrived.data(), received);
}

bool ZChannel::WriteChar(int value) {
  if (value < 0 || value > 255) {
    Z_ASSERT_CODE(ZAssertInvalidParameter);
    return false;
  }
  unsigned char byte = static_cast<unsigned char>(value);
  return Write(&byte, 1);
}

bool ZChannel::WriteString(const ZString& text) {
  const char* data = text.Text();
  ZIndex length = text.GetLength();
  ZIndex sent = 0;
  while (sent < length) {
    if (!Write(data + sent, length - sent) || GetLastWriteCount() <= 0) return false;
    sent += GetLastWriteCount();
  }
  return true;
}

ZChannel::Error ZChannel::GetErrorCode() const {
  return static_cast<Error>(result.load(std::memory_order_acquire) >> 32);
}

int32_t ZChannel::GetOSError() const {
  return static_cast<int32_t>(static_cast<uint32_t>(result.load(std::memory_order_acquire)));
}

ZString ZChannel::GetErrorText() const { return ErrorText(GetOSError()); }

ZChannel::Error ZChannel::ErrorFromOS(int osError) { return zhost::ChannelErrorOf(osError); }

int32_t ZChannel::OSErrorOf(Condition condition) { return zhost::ErrorNumberOf(condition); }

ZString ZChannel::ErrorText(Condition condition) { return ErrorText(OSErrorOf(condition)); }

ZString ZChannel::ErrorText(int osError) {
  if (osError == 0) return ZString();
  // Numbers with bit 30 come from another host's system calls; this host
  // stores only C library numbers, but keep them readable all the same.
  constexpr int kSystemBit = 0x40000000;
  if ((osError & kSystemBit) != 0) {
    struct Known {
      int number;
      const char* text;
    };
    static const Known known[] = {
        {2, "File not found"},
        {3, "Path not found"},
        {5, "Access denied"},
        {8, "Not enough memory"},
        {1, "Invalid function"},
        {10048, "Address in use"},
        {10050, "Network subsystem failed"},
        {10056, "Socket is already connected"},
        {10051, "Network unreachable"},
        {10065, "Host unreachable"},
        {10061, "Connection refused"},
        {10022, "Invalid operation"},
        {10057, "Socket not connected"},
        {10054, "Connection reset"},
        {10058, "Connection shutdown"},
        {10060, "Timed out"},
        {10035, "Would block"},
    };
    int number = osError & ~kSystemBit;
    for (const Known& entry : known) {
      if (entry.number == number) return ZString(entry.text);
    }
    return FormatText("WIN32 error %u", static_cast<unsigned>(number));
  }
  ZString text;
  if (zhost::ErrorText(osError, text) && !text.IsEmpty()) return text;
  return FormatText("C runtime error %u", static_cast<unsigned>(osError));
}

void ZChannel::SetResult(int osError) { SetResult(ErrorFromOS(osError), osError); }

void ZChannel::SetResult(Error code, int osError) {
  result.store(PackResult(code, osError), std::memory_order_release);
}
