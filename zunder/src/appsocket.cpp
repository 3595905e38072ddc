// Line reading and writing, commands and numbered responses of the
// line-oriented protocol socket.
#include "zunder/appsocket.h"

#include <cstring>
#include <string>

#include "host_error.h"

namespace {

// What one read takes from the socket while a line is assembled; bytes past
// the line's end stay in the un-read buffer for the next read.
constexpr ZIndex kChunk = 4096;

bool HasLineEnd(const ZString& text) { return text.FindOneOf("\r\n") != ZNotFound; }

bool AllDigits(const char* text, ZIndex length) {
  if (length <= 0) return false;
  for (ZIndex i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

}  // namespace

ZApplicationSocket::ZApplicationSocket(ZIndex commandCount, const char* const names[], uint16_t portNumber)
    : ZTCPSocket(portNumber) {
  SetUp(commandCount, names);
}

ZApplicationSocket::ZApplicationSocket(ZIndex commandCount, const char* const names[], const char* service)
    : ZTCPSocket(service) {
  SetUp(commandCount, names);
}

ZApplicationSocket::ZApplicationSocket(ZIndex commandCount, const char* const names[], const char* host,
                                       uint16_t portNumber)
    : ZTCPSocket(portNumber) {
  SetUp(commandCount, names);
  Connect(host);
}

ZApplicationSocket::ZApplicationSocket(ZIndex commandCount, const char* const names[], const char* host,
                                       const char* service)
    : ZTCPSocket(service) {
  SetUp(commandCount, names);
  Connect(host);
}

ZApplicationSocket::ZApplicationSocket(ZIndex commandCount, const char* const names[], ZIPSocket& listener) {
  SetUp(commandCount, names);
  Accept(listener);
}

void ZApplicationSocket::SetUp(ZIndex commandCount, const char* const names[]) {
  for (ZIndex i = 0; i < commandCount; ++i) AppendCommandName(names[i]);
  SetReadTimeout(ZTimeInterval(0, 0, 10));
  readLineTimeout = ZTimeInterval(0, 10);
}

ZIndex ZApplicationSocket::AppendCommandName(const char* name) { return commandNames.Append(ZCaselessString(name)); }

ZString ZApplicationSocket::GetCommandName(ZIndex number) const {
  if (number < 0 || number >= commandNames.GetSize()) return ZString();
  return *commandNames.GetAt(number);
}

// ---------------------------------------------------------------- raw bytes

bool ZApplicationSocket::Read(void* buffer, ZIndex length) {
  if (!HasBufferedInput() || length <= 0 || buffer == nullptr) return ZTCPSocket::Read(buffer, length);
  const size_t available = unread.size() - unreadStart;
  const size_t taken = available < static_cast<size_t>(length) ? available : static_cast<size_t>(length);
  std::memcpy(buffer, unread.data() + unreadStart, taken);
  unreadStart += taken;
  if (unreadStart == unread.size()) {
    unread.clear();
    unreadStart = 0;
  }
  SetLastReadCount(static_cast<ZIndex>(taken));
  SetResult(0);
  return true;
}

bool ZApplicationSocket::Write(const void* buffer, ZIndex length) { return ZTCPSocket::Write(buffer, length); }

void ZApplicationSocket::UnRead(char c) { unread.push_back(c); }

void ZApplicationSocket::UnRead(const ZString& text) {
  unread.append(text.Text(), static_cast<size_t>(text.GetLength()));
}

void ZApplicationSocket::UnReadFirst(const ZString& text) {
  unread.insert(unreadStart, text.Text(), static_cast<size_t>(text.GetLength()));
}

std::string ZApplicationSocket::TakeBufferedInput() {
  std::string taken = unread.substr(unreadStart);
  unread.clear();
  unreadStart = 0;
  return taken;
}

// ---------------------------------------------------------------- waits

bool ZApplicationSocket::ReadWithin(void* buffer, ZIndex length, ZTimeInterval timeout) {
  // By value: the time-out given may be the socket's own, which changes below.
  const ZTimeInterval saved = GetReadTimeout();
  SetReadTimeout(timeout);
  const bool read = ZTCPSocket::Read(buffer, length);
  SetReadTimeout(saved);
  return read;
}

// ---------------------------------------------------------------- bytes for lines

int ZApplicationSocket::NextByte(const ZTimeInterval& timeout) {
  if (HasBufferedInput()) return static_cast<unsigned char>(unread[unreadStart++]);
  unread.clear();
  unreadStart = 0;
  char chunk[kChunk];
  const bool read = ReadWithin(chunk, kChunk, timeout);
  if (!read) return -1;
  unread.assign(chunk, static_cast<size_t>(GetLastReadCount()));
  unreadStart = 1;
  return static_cast<unsigned char>(chunk[0]);
}

void ZApplicationSocket::PutBack(char c) {
  // The byte given back is the one just taken, still in the buffer.
  if (unreadStart > 0 && unread[unreadStart - 1] == c) {
    --unreadStart;
  } else {
    unread.insert(unreadStart, 1, c);
  }
}

int ZApplicationSocket::ReadLineChar(bool first) {
  if (first) {
    const int c = NextByte(GetReadTimeout());
    lineBegun = std::chrono::steady_clock::now();
    return c;
  }
  const int64_t limit = lineTimeLimit.GetMilliseconds();
  // Buffered bytes cost no wait; an unlimited line waits as each byte may.
  if (HasBufferedInput() || limit < 0 || limit == 0x7fffffff) return NextByte(readLineTimeout);
  const int64_t spent =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - lineBegun).count();
  const int64_t remaining = limit - spent;
  if (remaining <= 0) {
    SetResult(Timeout, zhost::kWouldBlock);
    return -1;
  }
  const int64_t perByte = readLineTimeout.GetMilliseconds();
  const bool cut = perByte < 0 || perByte == 0x7fffffff || perByte > remaining;
  return NextByte(cut ? ZTimeInterval(remaining) : readLineTimeout);
}

void ZApplicationSocket::UnReadLineChar(char c) { PutBack(c); }

// ---------------------------------------------------------------- lines

bool ZApplicationSocket::ReadLine(ZString& line, bool allowContinuation) {
  lineTooLong = false;
  switch (ReadLimitedLine(line, allowContinuation, maximumLineLength)) {
    case LineRead: return true;
    case LineTooLong:
      lineTooLong = true;
      line = ZString();
      SetResult(BadParameter, zhost::kMessageTooLong);
      return false;
    case ReadFailed: break;
  }
  return false;
}

bool ZApplicationSocket::WriteLine(const ZString& text) {
  std::string output;
  if (!HasLineEnd(text)) {
    output.assign(text.Text(), static_cast<size_t>(text.GetLength()));
    output += "\r\n";
  } else {
    const ZStringArray lines = text.Lines();
    for (ZIndex i = 0; i < lines.GetSize(); ++i) {
      output += lines[i].Text();
      output += "\r\n";
    }
  }
  // One write for the whole text: a response goes out in one segment.
  return Write(output.data(), static_cast<ZIndex>(output.size()));
}

// ---------------------------------------------------------------- commands

namespace {

// Telnet's command bytes (RFC 854).
constexpr unsigned char kIAC = 255;
constexpr unsigned char kSB = 250;
constexpr unsigned char kSE = 240;
constexpr unsigned char kWILL = 251;

}  // namespace

ZString ZApplicationSocket::DropTelnetCommands(const ZString& line) {
  if (line.Find(static_cast<char>(kIAC)) == ZNotFound) return line;
  std::string kept;
  const ZIndex length = line.GetLength();
  for (ZIndex i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    if (c != kIAC) {
      kept.push_back(static_cast<char>(c));
      continue;
    }
    if (i + 1 >= length) break;  // an IAC cut off at the end of the line
    const auto command = static_cast<unsigned char>(line[++i]);
    if (command == kIAC) {
      kept.push_back(static_cast<char>(kIAC));
    } else if (command >= kWILL) {
      ++i;  // the option
    } else if (command == kSB) {
      // Up to and including IAC SE.
      while (i + 1 < length &&
             !(static_cast<unsigned char>(line[i]) == kIAC && static_cast<unsigned char>(line[i + 1]) == kSE)) {
        ++i;
      }
      ++i;
    }
  }
  return ZString(kept.data(), static_cast<ZIndex>(kept.size()));
}

bool ZApplicationSocket::ReadCommand(ZIndex& number, ZString& arguments) {
  number = kUnknownCommand;
  arguments = ZString();
  ZString line;
  if (!ReadLine(line, false)) return false;
  if (telnetCommandsDropped) line = DropTelnetCommands(line);
  const ZIndex blank = line.Find(' ');
  const ZString word = blank == ZNotFound ? line : line.Left(blank);
  for (ZIndex i = 0; i < commandNames.GetSize(); ++i) {
    if (*commandNames.GetAt(i) == word) {
      number = i;
      break;
    }
  }
  if (number == kUnknownCommand) {
    arguments = line;
  } else if (blank != ZNotFound) {
    arguments = line.Mid(blank + 1);
  }
  return true;
}

bool ZApplicationSocket::WriteCommand(ZIndex number, const ZString& parameter) {
  if (number < 0 || number >= commandNames.GetSize()) return false;
  // A parameter never carries a second command along with it.
  if (HasLineEnd(parameter)) {
    SetResult(BadParameter, zhost::kInvalidArgument);
    return false;
  }
  const ZString& name = *commandNames.GetAt(number);
  return WriteLine(parameter.IsEmpty() ? ZString(name.Text()) : ZString(name.Text()) & parameter);
}

int32_t ZApplicationSocket::ExecuteCommand(ZIndex number, const ZString& parameter) {
  if (!WriteCommand(number, parameter) || !ReadResponse()) return -1;
  return lastResponseCode;
}

// ---------------------------------------------------------------- responses

bool ZApplicationSocket::WriteResponse(int32_t code, const ZString& info) {
  return WriteResponse(FormatText("%03u", static_cast<unsigned>(code)), info);
}

bool ZApplicationSocket::WriteResponse(const ZString& code, const ZString& info) {
  if (!HasLineEnd(info)) return WriteLine(code & info);
  // Every line but the last carries the code and '-', whatever line ends
  // the info came with, so the response is well formed on the wire.
  const ZStringArray lines = info.Lines();
  std::string output;
  for (ZIndex i = 0; i + 1 < lines.GetSize(); ++i) {
    output += code.Text();
    output += '-';
    output += lines[i].Text();
    output += "\r\n";
  }
  const ZString last = lines.GetSize() > 0 ? code & lines[lines.GetSize() - 1] : code;
  output += last.Text();
  output += "\r\n";
  return Write(output.data(), static_cast<ZIndex>(output.size()));
}

ZIndex ZApplicationSocket::ParseResponse(const ZString& line) {
  const ZIndex at = line.FindOneOf(" -");
  if (at == ZNotFound || !AllDigits(line.Text(), at)) {
    lastResponseCode = -1;
    lastResponseInfo = line;
    return 0;
  }
  lastResponseCode = line.Left(at).AsInteger();
  lastResponseInfo = line.Mid(at + 1);
  return line[at] == ' ' ? 0 : at;
}

bool ZApplicationSocket::ReadResponse() {
  ZString line;
  if (!ReadLine(line, false)) return false;
  const ZIndex at = ParseResponse(line);
  if (at == 0) return true;

  // A multi-line response ends with the line that carries the first line's
  // code followed by a blank. Lines in between that repeat the code with '-'
  // or ' ' lose that prefix; other lines are kept whole.
  const ZString code = line.Left(at);
  std::string info(lastResponseInfo.Text(), static_cast<size_t>(lastResponseInfo.GetLength()));
  for (;;) {
    ZString next;
    if (!ReadLine(next, false)) return false;
    const char* text = next.Text();
    const bool prefixed = next.GetLength() >= at && std::strncmp(text, code.Text(), static_cast<size_t>(at)) == 0;
    const char mark = prefixed ? text[at] : '\0';
    const bool last = prefixed && (mark == ' ' || mark == '\0');
    const char* part = text;
    if (prefixed && mark == '\0') {
      part = "";
    } else if (prefixed && (mark == ' ' || mark == '-')) {
      part = text + at + 1;
    }
    info += '\n';
    info += part;
    if (static_cast<ZIndex>(info.size()) > kMaximumResponseLength) {
      SetResult(BadParameter, zhost::kMessageTooLong);
      return false;
    }
    if (last) break;
  }
  lastResponseInfo = ZString(info.data(), static_cast<ZIndex>(info.size()));
  return true;
}

bool ZApplicationSocket::ReadResponse(int32_t& code, ZString& info) {
  const bool read = ReadResponse();
  code = lastResponseCode;
  info = lastResponseInfo;
  return read;
}
