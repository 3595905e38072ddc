// ZMIMEInfo: a MIME header block as a dictionary from field names (compared
// without regard to case) to values, read up to the blank line that ends
// the block and written back in the same form.
//
// Reading is bounded: a line longer than the line limit, a block larger
// than the block limit or more distinct fields than the field limit stop
// the reading with an error (GetReadError), so a peer cannot make the
// dictionary grow without end. The input comes through a ZLineReader: a
// socket that reads lines itself, a channel, a stream or a byte buffer.
#pragma once

#include <cstdint>
#include <iosfwd>

#include "zunder/linereader.h"
#include "zunder/strings.h"
#include "zunder/time.h"

class ZChannel;

// Bounds of one header block.
struct ZMIMELimits {
  static constexpr ZIndex kMaxLineLength = 8 * 1024;  // one field line, continuations joined
  static constexpr ZIndex kMaxBlockSize = 64 * 1024;  // every line with one byte for its end
  static constexpr ZIndex kMaxFieldCount = 512;       // distinct field names

  ZIndex maxLineLength = kMaxLineLength;
  ZIndex maxBlockSize = kMaxBlockSize;
  ZIndex maxFieldCount = kMaxFieldCount;
};

class ZMIMEInfo : public ZStringToString {
  Z_CLASS(ZMIMEInfo, ZStringToString)
 public:
  using Limits = ZMIMELimits;

  enum ReadError {
    ReadComplete = 0,   // the block ended with an empty line
    SourceFailed = 1,   // the source failed or ended first
    LineTooLong = 2,
    BlockTooLarge = 3,
    TooManyFields = 4,
  };

  ZMIMEInfo();
  // Reads a block from a standard stream, as Read does.
  explicit ZMIMEInfo(std::istream& in);
  ZMIMEInfo(const ZMIMEInfo& other) = default;
  ZMIMEInfo& operator=(const ZMIMEInfo& other) = default;

  // Reads lines with continuation up to an empty line. A line with a ":"
  // gives a field: the name before the first ":", the value after it, both
  // trimmed of blanks; a later field of the same name replaces the earlier
  // one; a line without ":" is ignored. True when the empty line was read;
  // on false the fields read so far stay and GetReadError tells why.
  bool ReadLines(ZLineReader& reader, const Limits& limits);
  bool ReadLines(ZLineReader& reader) { return ReadLines(reader, Limits()); }
  // From a channel, as ReadLines: through the channel's own line reading
  // when it is a ZLineReader too, else one byte at a time.
  bool Read(ZChannel& channel, const Limits& limits);
  bool Read(ZChannel& channel) { return Read(channel, Limits()); }
  // From length bytes of a buffer.
  bool Read(const void* data, ZIndex length, const Limits& limits);
  bool Read(const void* data, ZIndex length) { return Read(data, length, Limits()); }
  ReadError GetReadError() const { return readError; }

  // Every field as name, ": ", value and CR LF, then one CR LF. CR and LF
  // inside a name or value are written as blanks, so a value can never
  // start a field or a body of its own.
  ZString AsString() const;
  bool Write(ZChannel& channel) const;

  // ---- typed fields
  ZString GetString(const char* name, const char* defaultValue = "") const;
  // The value converted in base 10, or the default when the field is absent.
  int32_t GetInteger(const char* name, int32_t defaultValue = 0) const;
  // True and the time when the field is present and is a date.
  bool GetTime(const char* name, ZTime& time) const;
  void SetInteger(const char* name, int32_t value);
  // The RFC 1123 form in the local zone.
  void SetTime(const char* name, const ZTime& time);

  // ---- ZObject
  ZObject* Clone() const override;
  // The field lines, without the empty line that ends a block.
  void Print(std::ostream& out) const override;

 private:
  // Stores the field of one header line; false when the field limit is hit.
  bool TakeLine(const ZString& line, ZIndex maxFieldCount);

  ReadError readError = ReadComplete;
};
