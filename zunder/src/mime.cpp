// ZMIMEInfo: reading and writing MIME header blocks.
#include "zunder/mime.h"

#include <algorithm>
#include <istream>
#include <ostream>
#include <string>

#include "zunder/sockets.h"

namespace {

// CR and LF inside a written name or value would end its line early.
void AppendOneLine(std::string& out, const char* text) {
  for (const char* p = text; *p != '\0'; ++p) out.push_back(*p == '\r' || *p == '\n' ? ' ' : *p);
}

// Field names compare as the caseless dictionary compares them: ASCII
// letters without regard to case.
std::string FieldKey(const ZString& name) {
  std::string key(name.Text(), static_cast<size_t>(name.GetLength()));
  for (char& c : key) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return key;
}

void AppendField(std::string& out, const char* name, const char* value) {
  AppendOneLine(out, name);
  out += ": ";
  AppendOneLine(out, value);
  out += "\r\n";
}

}  // namespace

ZMIMEInfo::ZMIMEInfo() : ZStringToString(true) {}

ZMIMEInfo::ZMIMEInfo(std::istream& in) : ZMIMEInfo() {
  ZStreamLineReader reader(in);
  ReadLines(reader);
}

bool ZMIMEInfo::ReadLines(ZLineReader& reader, const Limits& limits) {
  ZIndex blockSize = 0;
  while (true) {
    ZString line;
    // A line may not take more than what is left of the block either.
    const ZIndex room = std::min(limits.maxLineLength, limits.maxBlockSize - blockSize);
    const ZLineReader::Outcome outcome = reader.ReadLimitedLine(line, true, room < 0 ? 0 : room);
    if (outcome == ZLineReader::LineTooLong) {
      readError = room < limits.maxLineLength ? BlockTooLarge : LineTooLong;
      return false;
    }
    if (outcome != ZLineReader::LineRead) {
      readError = SourceFailed;
      return false;
    }
    if (line.IsEmpty()) {
      readError = ReadComplete;
      return true;
    }
    blockSize += line.GetLength() + 1;
    if (blockSize > limits.maxBlockSize) {
      readError = BlockTooLarge;
      return false;
    }
    if (!TakeLine(line, limits)) {
      readError = TooManyFields;
      return false;
    }
  }
}

bool ZMIMEInfo::Read(ZChannel& channel, const Limits& limits) {
  if (auto* lines = dynamic_cast<ZLineReader*>(&channel)) return ReadLines(*lines, limits);
  ZChannelLineReader reader(channel);
  return ReadLines(reader, limits);
}

bool ZMIMEInfo::Read(const void* data, ZIndex length, const Limits& limits) {
  ZBufferLineReader reader(data, length);
  return ReadLines(reader, limits);
}

bool ZMIMEInfo::TakeLine(const ZString& line, const Limits& limits) {
  const ZIndex colon = line.Find(':');
  if (colon == ZNotFound) return true;
  const ZString name = line.Left(colon).Trim();
  if (GetAt(name) == nullptr && GetSize() >= limits.maxFieldCount) return false;
  if (CountLines() >= limits.maxFieldLines) return false;
  AddAt(name, line.Mid(colon + 1).Trim());
  return true;
}

void ZMIMEInfo::DropEarlierLines(const ZString& name) {
  if (earlierCount == 0) return;
  const auto lines = earlier.find(FieldKey(name));
  if (lines == earlier.end()) return;
  earlierCount -= static_cast<ZIndex>(lines->second.size());
  earlier.erase(lines);
}

bool ZMIMEInfo::SetAt(const ZString& name, const ZString& value) {
  DropEarlierLines(name);
  return ZStringToString::SetAt(name, value);
}

bool ZMIMEInfo::RemoveAt(const ZString& name) {
  DropEarlierLines(name);
  return ZStringToString::RemoveAt(name);
}

bool ZMIMEInfo::AddAt(const ZString& name, const ZString& value) {
  if (const ZString* last = GetAt(name)) {
    earlier[FieldKey(name)].push_back(*last);
    ++earlierCount;
  }
  return ZStringToString::SetAt(name, value);
}

ZStringArray ZMIMEInfo::GetValues(const char* name) const {
  ZStringArray values;
  const ZString field(name != nullptr ? name : "");
  const ZString* last = GetAt(field);
  if (last == nullptr) return values;
  if (earlierCount > 0) {
    const auto lines = earlier.find(FieldKey(field));
    if (lines != earlier.end()) {
      for (const ZString& value : lines->second) values.Append(value);
    }
  }
  values.Append(*last);
  return values;
}

ZString ZMIMEInfo::AsString() const {
  std::string out;
  for (ZIndex i = 0; i < GetSize(); ++i) {
    const ZString& name = *GetKeyAt(i);
    if (earlierCount > 0) {
      const auto lines = earlier.find(FieldKey(name));
      if (lines != earlier.end()) {
        for (const ZString& value : lines->second) AppendField(out, name.Text(), value.Text());
      }
    }
    AppendField(out, name.Text(), GetDataAt(i)->Text());
  }
  out += "\r\n";
  return ZString(out.c_str());
}

bool ZMIMEInfo::Write(ZChannel& channel) const { return channel.WriteString(AsString()); }

ZString ZMIMEInfo::GetString(const char* name, const char* defaultValue) const {
  const ZString* value = GetAt(name);
  return value != nullptr ? *value : ZString(defaultValue != nullptr ? defaultValue : "");
}

int32_t ZMIMEInfo::GetInteger(const char* name, int32_t defaultValue) const {
  const ZString* value = GetAt(name);
  return value != nullptr ? value->AsInteger(10) : defaultValue;
}

bool ZMIMEInfo::GetTime(const char* name, ZTime& time) const {
  const ZString* value = GetAt(name);
  return value != nullptr && time.Parse(value->Text());
}

void ZMIMEInfo::SetInteger(const char* name, int32_t value) { SetAt(name, FormatText("%d", value)); }

void ZMIMEInfo::SetTime(const char* name, const ZTime& time) { SetAt(name, time.AsString(ZTime::RFC1123)); }

ZObject* ZMIMEInfo::Clone() const { return new ZMIMEInfo(*this); }

void ZMIMEInfo::Print(std::ostream& out) const {
  ZString block = AsString();
  // The block without its closing empty line.
  out << block.Left(block.GetLength() - 2).Text();
}
