// ZMIMEInfo: a MIME header block as a dictionary from field names (compared
// without regard to case) to values, read up to the blank line that ends
// the block and written back in the same form.
//
// A field may come on several lines (Set-Cookie must, Via and others may).
// The dictionary holds the last value of each field, as every reader of one
// value wants it; the earlier lines are kept beside it and written back
// before it, each on its own line, so that a block passed on loses none.
//
// Reading is bounded: a line longer than the line limit, a block larger
// than the block limit, more distinct fields than the field limit or more
// lines than the line count limit stop the reading with an error
// (GetReadError), so a peer cannot make the dictionary grow without end. The input comes through a ZLineReader: a
// socket that reads lines itself, a channel, a stream or a byte buffer.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <unordered_map>
#include <vector>

#include "zunder/linereader.h"
#include "zunder/strings.h"
#include "zunder/time.h"

class ZChannel;

// Bounds of one header block.
struct ZMIMELimits {
  static constexpr ZIndex kMaxLineLength = 8 * 1024;  // one field line, continuations joined
  static constexpr ZIndex kMaxBlockSize = 64 * 1024;  // every line with one byte for its end
  static constexpr ZIndex kMaxFieldCount = 512;       // distinct field names
  static constexpr ZIndex kMaxFieldLines = 2048;      // field lines, repeated names too

  ZIndex maxLineLength = kMaxLineLength;
  ZIndex maxBlockSize = kMaxBlockSize;
  ZIndex maxFieldCount = kMaxFieldCount;
  ZIndex maxFieldLines = kMaxFieldLines;
};

class ZMIMEInfo : public ZStringToString {
  Z_CLASS(ZMIMEInfo, ZStringToString)
 public:
  using Limits = ZMIMELimits;

  enum ReadError {
    ReadComplete = 0,  // the block ended with an empty line
    SourceFailed = 1,  // the source failed or ended first
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
  // trimmed of blanks; a later line of the same name adds a value (AddAt);
  // a line without ":" is ignored. True when the empty line was read;
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

  // Every field line as name, ": ", value and CR LF (the lines of one field
  // together, in their order), then one CR LF. CR and LF inside a name or
  // value are written as blanks, so a value can never start a field or a
  // body of its own.
  ZString AsString() const;
  bool Write(ZChannel& channel) const;

  // ---- fields of several lines
  // These hide the dictionary's own: through a ZStringToString only the
  // last value of a field is set or removed.
  // The field has this one value: earlier lines of it are dropped.
  bool SetAt(const ZString& name, const ZString& value);
  // Every line of the field goes.
  bool RemoveAt(const ZString& name);
  // One more line of the field, after those it has; GetAt answers it from
  // now on.
  bool AddAt(const ZString& name, const ZString& value);
  // Every value of the field in the order of its lines; empty when absent.
  ZStringArray GetValues(const char* name) const;

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
  // Stores the field of one header line; false when a field limit is hit.
  bool TakeLine(const ZString& line, const Limits& limits);
  void DropEarlierLines(const ZString& name);
  // The number of field lines held.
  ZIndex CountLines() const { return GetSize() + earlierCount; }

  ReadError readError = ReadComplete;
  // The values of a field before its last line, by the field's name in
  // upper case.
  std::unordered_map<std::string, std::vector<ZString>> earlier;
  ZIndex earlierCount = 0;
};
