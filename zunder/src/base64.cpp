// ZBase64: Base64 coding one byte or character at a time.
#include "zunder/base64.h"

#include <cstring>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The decoder's output grows in steps of this many bytes.
constexpr ZIndex kDecodeStep = 256;

int AlphabetValue(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

// ---------------------------------------------------------------- encoding

void ZBase64::StartEncoding(bool crlf) {
  encoded.clear();
  waitingCount = 0;
  groupsOnLine = 0;
  crlfLines = crlf;
}

void ZBase64::PutChar(char c) { encoded.push_back(c); }

void ZBase64::ProcessEncoding(const void* bytes, ZIndex count) {
  const auto* in = static_cast<const uint8_t*>(bytes);
  if (in == nullptr || count <= 0) return;
  for (ZIndex i = 0; i < count; ++i) {
    if (waitingCount < 2) {
      waiting[waitingCount++] = in[i];
      continue;
    }
    const uint32_t group = (uint32_t{waiting[0]} << 16) | (uint32_t{waiting[1]} << 8) | in[i];
    waitingCount = 0;
    PutChar(kAlphabet[(group >> 18) & 63]);
    PutChar(kAlphabet[(group >> 12) & 63]);
    PutChar(kAlphabet[(group >> 6) & 63]);
    PutChar(kAlphabet[group & 63]);
    if (++groupsOnLine == kGroupsPerLine) {
      if (crlfLines) PutChar('\r');
      PutChar('\n');
      groupsOnLine = 0;
    }
  }
}

ZString ZBase64::CompleteEncoding() {
  if (waitingCount > 0) {
    const uint32_t group = (uint32_t{waiting[0]} << 16) | (waitingCount == 2 ? uint32_t{waiting[1]} << 8 : 0);
    PutChar(kAlphabet[(group >> 18) & 63]);
    PutChar(kAlphabet[(group >> 12) & 63]);
    PutChar(waitingCount == 2 ? kAlphabet[(group >> 6) & 63] : '=');
    PutChar('=');
    waitingCount = 0;
  }
  ZString text(encoded.c_str());
  encoded.clear();
  groupsOnLine = 0;
  return text;
}

ZString ZBase64::EncodeBuffer(const void* bytes, ZIndex count, bool crlf) {
  ZBase64 coder;
  coder.StartEncoding(crlf);
  coder.ProcessEncoding(bytes, count);
  return coder.CompleteEncoding();
}

ZString ZBase64::Encode(const char* text, bool crlf) {
  return EncodeBuffer(text, text != nullptr ? static_cast<ZIndex>(std::strlen(text)) : 0, crlf);
}

ZString ZBase64::Encode(const ZBaseArray& bytes, bool crlf) {
  return EncodeBuffer(bytes.GetPointer(), bytes.GetSize() * bytes.GetElementSize(), crlf);
}

// ---------------------------------------------------------------- decoding

void ZBase64::StartDecoding() {
  decoded = ZBaseArray(1);
  decodedCount = 0;
  groupPosition = 0;
  bits = 0;
  perfect = true;
  ended = false;
  padPending = false;
}

void ZBase64::PutByte(uint8_t byte) {
  if (decodedCount >= decoded.GetSize() && !decoded.SetSize(decoded.GetSize() + kDecodeStep)) {
    Z_ASSERT_CODE(ZAssertOutOfMemory);
    return;
  }
  decoded.Set<uint8_t>(decodedCount++, byte);
}

bool ZBase64::ProcessDecoding(const char* text) {
  return ProcessDecoding(text, text != nullptr ? static_cast<ZIndex>(std::strlen(text)) : 0);
}

bool ZBase64::ProcessDecoding(const char* data, ZIndex length) {
  if (ended) return true;
  if (data == nullptr) return false;
  for (ZIndex i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(data[i]);
    if (padPending) {
      padPending = false;
      if (c == '=') {
        ended = true;
        return true;
      }
      perfect = false;  // the "=" before this character was out of place
    }
    const int value = AlphabetValue(c);
    if (value >= 0) {
      // Each character adds six bits; a byte is complete after the second,
      // third and fourth character of a group.
      bits = (bits << 6) | static_cast<uint32_t>(value);
      switch (groupPosition) {
        case 1: PutByte(static_cast<uint8_t>(bits >> 4)); break;
        case 2: PutByte(static_cast<uint8_t>(bits >> 2)); break;
        case 3: PutByte(static_cast<uint8_t>(bits)); break;
        default: break;
      }
      groupPosition = (groupPosition + 1) & 3;
      if (groupPosition == 0) bits = 0;
    } else if (c == '=') {
      if (groupPosition == 3) {
        ended = true;
        return true;
      }
      if (groupPosition == 2) {
        padPending = true;  // ends the data only when another "=" follows
      } else {
        perfect = false;
      }
    } else if (c != '\r' && c != '\n') {
      perfect = false;
    }
  }
  return false;
}

ZBaseArray ZBase64::GetDecodedData() {
  ZBaseArray bytes = decoded;
  const ZIndex count = decodedCount;
  StartDecoding();  // the decoder lets go of the bytes before they are trimmed
  bytes.SetSize(count);
  return bytes;
}

ZString ZBase64::Decode(const char* text) {
  ZBaseArray bytes(1);
  Decode(text, bytes);
  const auto* data = static_cast<const char*>(bytes.GetPointer());
  return data != nullptr ? ZString(data, bytes.GetSize()) : ZString();
}

bool ZBase64::Decode(const char* text, ZBaseArray& bytes) {
  ZBase64 coder;
  coder.StartDecoding();
  coder.ProcessDecoding(text);
  const bool perfect = coder.IsPerfect();
  bytes = coder.GetDecodedData();
  return perfect;
}
