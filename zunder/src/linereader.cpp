// Bounded line reading with editing characters and continuation lines.
#include "zunder/linereader.h"

#include <istream>
#include <string>

#include "zunder/sockets.h"

namespace {

constexpr int kBackspace = 8;
constexpr int kDelete = 127;

}  // namespace

ZLineReader::Outcome ZLineReader::ReadLimitedLine(ZString& line, bool allowContinuation, ZIndex maxLength) {
  std::string collected;
  // Editing characters shrink the line without ending it: every byte read
  // counts against this budget so that a line cannot go on for ever.
  const int64_t budget = 2 * static_cast<int64_t>(maxLength) + 2;
  int64_t consumed = 0;
  line = "";
  int c = ReadLineChar(true);
  if (c < 0) return ReadFailed;

  bool ended = false;
  while (true) {
    if (c == '\n') {
      ended = true;
    } else if (c == '\r') {
      // CR alone ends a line too; a byte after it that is not LF belongs to
      // the next line.
      const int next = ReadLineChar(false);
      if (next >= 0 && next != '\n') UnReadLineChar(static_cast<char>(next));
      ended = true;
    } else if (c == kBackspace || c == kDelete) {
      if (!collected.empty()) collected.pop_back();
      if (++consumed > budget) {
        line = ZString(collected.data(), static_cast<ZIndex>(collected.size()));
        return LineTooLong;
      }
    } else {
      if (static_cast<ZIndex>(collected.size()) >= maxLength) {
        line = ZString(collected.data(), static_cast<ZIndex>(collected.size()));
        return LineTooLong;
      }
      collected.push_back(static_cast<char>(c));
      ++consumed;
    }

    if (ended) {
      if (!allowContinuation || collected.empty()) break;
      const int next = ReadLineChar(false);
      if (next != ' ' && next != '\t') {
        if (next >= 0) UnReadLineChar(static_cast<char>(next));
        break;
      }
      // A continuation: the blank or tab is kept as part of the line.
      ended = false;
      c = next;
      continue;
    }
    c = ReadLineChar(false);
    if (c < 0) break;
  }
  line = ZString(collected.data(), static_cast<ZIndex>(collected.size()));
  return ended ? LineRead : ReadFailed;
}

// ---------------------------------------------------------------- buffer

ZBufferLineReader::ZBufferLineReader(const void* bytes, ZIndex byteCount)
    : data(static_cast<const unsigned char*>(bytes)), length(bytes != nullptr && byteCount > 0 ? byteCount : 0) {}

ZBufferLineReader::ZBufferLineReader(const char* text)
    : ZBufferLineReader(text, text != nullptr ? static_cast<ZIndex>(std::char_traits<char>::length(text)) : 0) {}

int ZBufferLineReader::ReadLineChar(bool) {
  if (position >= length) return -1;
  return data[position++];
}

void ZBufferLineReader::UnReadLineChar(char) {
  // Only the byte just read is ever given back, so stepping back suffices.
  if (position > 0) --position;
}

// ---------------------------------------------------------------- stream

int ZStreamLineReader::ReadLineChar(bool) {
  const std::istream::int_type c = in.get();
  if (c == std::istream::traits_type::eof()) return -1;
  return static_cast<unsigned char>(std::istream::traits_type::to_char_type(c));
}

void ZStreamLineReader::UnReadLineChar(char c) { in.putback(c); }

// ---------------------------------------------------------------- channel

bool ZChannelLineReader::TakeUnread(char& c) {
  if (unread < 0) return false;
  c = static_cast<char>(unread);
  unread = -1;
  return true;
}

int ZChannelLineReader::ReadLineChar(bool) {
  if (unread >= 0) {
    const int c = unread;
    unread = -1;
    return c;
  }
  return channel.ReadChar();
}

void ZChannelLineReader::UnReadLineChar(char c) { unread = static_cast<unsigned char>(c); }
