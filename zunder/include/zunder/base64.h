// ZBase64: streaming Base64 encoding and decoding with the standard
// alphabet. Encoding breaks lines after every 77 groups (308 characters).
// Decoding never fails: malformed input clears the perfect flag and the
// bytes of the valid characters remain.
#pragma once

#include <cstdint>
#include <string>

#include "zunder/strings.h"

class ZBase64 : public ZObject {
  Z_CLASS(ZBase64, ZObject)
 public:
  // Groups of four characters on one output line.
  static constexpr int kGroupsPerLine = 77;

  ZBase64() = default;

  // ---- encoding
  // crlf: lines end with CR LF, otherwise with LF.
  void StartEncoding(bool crlf = true);
  void ProcessEncoding(const void* bytes, ZIndex count);
  // Writes the last partial group with its "=" padding and answers the text.
  ZString CompleteEncoding();
  static ZString Encode(const char* text, bool crlf = true);
  static ZString Encode(const ZBaseArray& bytes, bool crlf = true);
  static ZString EncodeBuffer(const void* bytes, ZIndex count, bool crlf = true);
  // A buffer and a count would silently pick the text form (the count
  // taken as the flag): use EncodeBuffer.
  static ZString Encode(const void* bytes, ZIndex count, bool crlf = true) = delete;

  // ---- decoding
  void StartDecoding();
  // Decodes characters up to the end of the text (or length bytes of a
  // buffer). Answers true when the padding ended the data (later input is
  // then ignored), false when more data may follow.
  bool ProcessDecoding(const char* text);
  bool ProcessDecoding(const char* data, ZIndex length);
  // True while nothing malformed was seen since StartDecoding (a single "="
  // at the third place of a group counts as malformed until a second one
  // arrives).
  bool IsPerfect() const { return perfect && !padPending; }
  // Hands over the bytes decoded so far (an array of one-byte elements)
  // and starts decoding afresh.
  ZBaseArray GetDecodedData();
  // The decoded bytes as a string, for texts such as credentials (a NUL
  // byte ends the string).
  static ZString Decode(const char* text);
  // The decoded bytes into bytes; answers the perfect flag.
  static bool Decode(const char* text, ZBaseArray& bytes);

 private:
  void PutChar(char c);
  void PutByte(uint8_t byte);

  // encoding
  std::string encoded;  // its size is the count of output characters
  uint8_t waiting[2] = {0, 0};
  int waitingCount = 0;
  int groupsOnLine = 0;
  bool crlfLines = true;
  // decoding
  ZBaseArray decoded{1};
  ZIndex decodedCount = 0;
  int groupPosition = 0;  // characters of the current group seen (0-3)
  uint32_t bits = 0;      // bits of the current group
  bool perfect = true;
  bool ended = false;       // the padding ended the data
  bool padPending = false;  // "=" at the third position: another "=" ends
};
