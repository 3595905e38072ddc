// Reading bounded text lines from any byte source: a socket, a standard
// stream or a plain byte buffer. Header blocks (ZMIMEInfo) are read through
// this interface, so a line-protocol socket feeds them by supplying its
// characters, and a parser can be driven from memory (tests, fuzzing).
#pragma once

#include <iosfwd>

#include "zunder/strings.h"

class ZLineReader {
 public:
  enum Outcome {
    LineRead = 0,     // a line end was seen; the line is complete
    ReadFailed = 1,   // the source failed or ended before a line end
    LineTooLong = 2,  // more characters than allowed; the rest is left unread
  };

  ZLineReader() = default;
  ZLineReader(const ZLineReader&) = delete;
  ZLineReader& operator=(const ZLineReader&) = delete;
  virtual ~ZLineReader() = default;

  // Reads one line into line, without its end. CR LF, LF or CR end a line;
  // backspace (8) and DEL (127) remove the last collected character. With
  // allowContinuation, a line of at least one character that is followed by
  // a blank or a tab goes on (the line break is dropped, the blank kept).
  // At most maxLength characters are collected: one more answers
  // LineTooLong with the characters collected so far. Editing characters
  // count too: a line that takes more than twice maxLength bytes (line ends
  // aside) is too long even when editing kept it short.
  virtual Outcome ReadLimitedLine(ZString& line, bool allowContinuation, ZIndex maxLength);

 protected:
  // The next byte (0-255), or -1 when the source failed or ended. first is
  // true for the first character of a line (a socket waits longer for it).
  virtual int ReadLineChar(bool first) = 0;
  // Gives one byte back; the next ReadLineChar answers it.
  virtual void UnReadLineChar(char c) = 0;
};

// Lines from a byte buffer that the caller keeps alive while reading.
class ZBufferLineReader : public ZLineReader {
 public:
  ZBufferLineReader(const void* bytes, ZIndex byteCount);
  explicit ZBufferLineReader(const char* text);
  // Bytes not yet read.
  ZIndex GetRemaining() const { return length - position; }

 protected:
  int ReadLineChar(bool first) override;
  void UnReadLineChar(char c) override;

 private:
  const unsigned char* data;
  ZIndex length;
  ZIndex position = 0;
};

// Lines from a standard input stream.
class ZStreamLineReader : public ZLineReader {
 public:
  explicit ZStreamLineReader(std::istream& stream) : in(stream) {}

 protected:
  int ReadLineChar(bool first) override;
  void UnReadLineChar(char c) override;

 private:
  std::istream& in;
};

class ZChannel;

// Lines from a channel, read one byte at a time. A byte given back stays in
// this reader (the channel has no way to take it back), so keep one reader
// for the whole conversation. A line-protocol socket with its own un-read
// buffer should rather derive from ZLineReader itself.
class ZChannelLineReader : public ZLineReader {
 public:
  explicit ZChannelLineReader(ZChannel& input) : channel(input) {}
  // True and the byte when one was given back and not read again.
  bool TakeUnread(char& c);

 protected:
  int ReadLineChar(bool first) override;
  void UnReadLineChar(char c) override;

 private:
  ZChannel& channel;
  int unread = -1;
};
