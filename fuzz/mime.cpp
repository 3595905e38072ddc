// ZMIMEInfo reading from a byte buffer through the line reader, with the
// default bounds and with small ones taken from the input. Properties: the
// bounds hold, the verdict matches the error, and a block read completely
// is written back in a form that reads back to the same fields, with every
// line of a repeated field in its order.
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "zunder/mime.h"

namespace {

bool HasControlCharacters(const ZString& text) {
  for (const char* p = text.Text(); *p != '\0'; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c < 32 || c == 127) return true;
  }
  return false;
}

void CheckBounds(const ZMIMEInfo& info, bool complete, const ZMIMELimits& limits) {
  FUZZ_CHECK(complete == (info.GetReadError() == ZMIMEInfo::ReadComplete), "verdict matches the error");
  FUZZ_CHECK(info.GetSize() <= limits.maxFieldCount, "field count bound");
  ZIndex lines = 0;
  for (ZIndex i = 0; i < info.GetSize(); ++i) {
    FUZZ_CHECK(info.GetKeyAt(i)->GetLength() <= limits.maxLineLength, "name length bound");
    const ZStringArray values = info.GetValues(info.GetKeyAt(i)->Text());
    FUZZ_CHECK(values.GetSize() >= 1 && values[values.GetSize() - 1] == *info.GetDataAt(i),
               "the last line is the dictionary's value");
    for (ZIndex v = 0; v < values.GetSize(); ++v) {
      FUZZ_CHECK(values[v].GetLength() <= limits.maxLineLength, "value length bound");
    }
    lines += values.GetSize();
  }
  FUZZ_CHECK(lines <= limits.maxFieldLines, "field line bound");
}

// Names and values free of editing and line-end characters are written as
// lines that read back to the same fields, every line of each in its order.
void CheckRewrite(const ZMIMEInfo& info) {
  for (ZIndex i = 0; i < info.GetSize(); ++i) {
    if (HasControlCharacters(*info.GetKeyAt(i))) return;
    const ZStringArray values = info.GetValues(info.GetKeyAt(i)->Text());
    for (ZIndex v = 0; v < values.GetSize(); ++v) {
      if (HasControlCharacters(values[v])) return;
    }
  }
  const ZString written = info.AsString();
  ZMIMEInfo back;
  ZMIMELimits roomy;
  roomy.maxBlockSize = 0x7fffffff;
  roomy.maxLineLength = 0x7fffffff;
  roomy.maxFieldCount = 0x7fffffff;
  roomy.maxFieldLines = 0x7fffffff;
  FUZZ_CHECK(back.Read(written.Text(), written.GetLength(), roomy), "a written block reads back");
  FUZZ_CHECK(back.GetSize() == info.GetSize(), "same number of fields");
  for (ZIndex i = 0; i < info.GetSize(); ++i) {
    const ZString* value = back.GetAt(*info.GetKeyAt(i));
    FUZZ_CHECK(value != nullptr, "every field reads back");
    FUZZ_CHECK(*value == *info.GetDataAt(i), "every value reads back");
    const ZStringArray lines = info.GetValues(info.GetKeyAt(i)->Text());
    const ZStringArray linesBack = back.GetValues(info.GetKeyAt(i)->Text());
    FUZZ_CHECK(linesBack.GetSize() == lines.GetSize(), "every line of a field reads back");
    for (ZIndex v = 0; v < lines.GetSize() && v < linesBack.GetSize(); ++v) {
      FUZZ_CHECK(linesBack[v] == lines[v], "the lines of a field keep their order");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto length = static_cast<ZIndex>(size);

  ZMIMEInfo info;
  const ZMIMELimits defaults;
  const bool complete = info.Read(data, length);
  CheckBounds(info, complete, defaults);
  if (complete) CheckRewrite(info);
  ZTime date;
  (void)info.GetTime("Date", date);
  (void)info.GetInteger("Content-Length", -1);

  // Small bounds chosen by the input, and every block of the buffer in turn
  // through one line reader, as a socket reads one header after another.
  if (size >= 3) {
    ZMIMELimits small;
    small.maxLineLength = data[0] % 64;
    small.maxBlockSize = data[1] % 256;
    small.maxFieldCount = data[2] % 8;
    small.maxFieldLines = data[2] / 8 % 16;
    ZBufferLineReader reader(data + 3, length - 3);
    for (int block = 0; block < 64 && reader.GetRemaining() > 0; ++block) {
      ZMIMEInfo part;
      const bool ended = part.ReadLines(reader, small);
      CheckBounds(part, ended, small);
      if (!ended) break;
    }
  }
  return 0;
}
