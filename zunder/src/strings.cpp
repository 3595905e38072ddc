// ZString: construction, the copy-on-write buffer, text operations,
// searches and comparisons. Numbers, formatting and the literal notation are
// strings_conversions.cpp.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <istream>
#include <new>
#include <ostream>
#include <string>

#include "strings_text.h"
#include "zunder/strings.h"

namespace zstrings {

bool Present(const char* text) {
  if (text != nullptr) return true;
  Z_ASSERT_CODE(ZAssertNullPointer);
  return false;
}

}  // namespace zstrings

using zstrings::Present;

namespace {

// ReadFrom grows its buffer in steps of this many bytes.
constexpr ZIndex kReadStep = 100;

unsigned char UpperCase(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c; }
unsigned char LowerCase(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; }

ZIndex TextLength(const char* text) { return static_cast<ZIndex>(std::strlen(text)); }

// A new string holding left, an optional blank, and right. Lengths beyond
// the index range count as running out of memory.
ZString Joined(const char* left, ZIndex leftLength, bool blank, const char* right, ZIndex rightLength) {
  ZString result;
  const int64_t total = int64_t{leftLength} + (blank ? 1 : 0) + rightLength;
  if (total >= ZToEnd) {
    Z_ASSERT_CODE(ZAssertOutOfMemory);
    return result;
  }
  char* buffer = result.GetBuffer(static_cast<ZIndex>(total + 1));
  if (buffer == nullptr) return result;
  std::memcpy(buffer, left, static_cast<size_t>(leftLength));
  if (blank) buffer[leftLength] = ' ';
  std::memcpy(buffer + leftLength + (blank ? 1 : 0), right, static_cast<size_t>(rightLength));
  buffer[total] = '\0';
  return result;
}

// The join rule of '&': a blank goes between the parts unless the left part
// is empty or ends in a blank, or the right part starts with one. An empty
// right part still gets the blank (its first character is the terminator).
bool NeedsBlank(const char* left, ZIndex leftLength, const char* right) {
  return leftLength > 0 && left[leftLength - 1] != ' ' && right[0] != ' ';
}

}  // namespace

// ---------------------------------------------------------------- construction

ZString::ZString() : ZBaseArray(1) { Resize(1); }

ZString::ZString(const char* text) : ZBaseArray(1) {
  if (!Present(text)) {
    Resize(1);
    return;
  }
  Assign(text, TextLength(text));
}

ZString::ZString(const char* text, ZIndex length) : ZBaseArray(1) {
  if (!Present(text)) {
    Resize(1);
    return;
  }
  Assign(text, length);
}

ZString::ZString(const char16_t* text) : ZBaseArray(1) {
  if (!Present(reinterpret_cast<const char*>(text))) {
    Resize(1);
    return;
  }
  ZIndex length = 0;
  while (text[length] != 0) ++length;
  *this = ZString(text, length);
}

ZString::ZString(const char16_t* text, ZIndex length) : ZBaseArray(1) {
  if (!Present(reinterpret_cast<const char*>(text)) || length < 0) {
    if (length < 0) Z_ASSERT_CODE(ZAssertInvalidIndex);
    Resize(1);
    return;
  }
  char* buffer = Writable(length + 1);
  if (buffer == nullptr) return;
  // Each 16-bit unit contributes its low byte.
  for (ZIndex i = 0; i < length; ++i) buffer[i] = static_cast<char>(text[i] & 0xff);
  buffer[length] = '\0';
}

ZString::ZString(ConversionTag, int type, ...) : ZBaseArray(1) {
  Resize(1);
  va_list arguments;
  va_start(arguments, type);
  ConvertV(static_cast<Conversion>(type), arguments);
  va_end(arguments);
}

ZString& ZString::operator=(const char* text) {
  if (Present(text)) Assign(text, TextLength(text));
  return *this;
}

void ZString::Assign(const char* text, ZIndex length) {
  if (length < 0 || length >= ZToEnd) {
    Z_ASSERT_CODE(length < 0 ? ZAssertInvalidIndex : ZAssertOutOfMemory);
    length = 0;
  }
  if (length > 0 && PointsInto(text)) {
    // The source would move or vanish while this buffer changes.
    ZString copy(text, length);
    *this = copy;
    return;
  }
  if (GetReferenceCount() > 1) {
    // Other holders keep the old text; nothing of it is needed here.
    auto* fresh = new (std::nothrow) ZArrayRecord;
    if (fresh == nullptr) {
      Z_ASSERT_CODE(ZAssertOutOfMemory);
      return;
    }
    Adopt(fresh);
  }
  if (!Resize(length + 1)) return;
  char* buffer = array()->buffer;
  if (length > 0) std::memcpy(buffer, text, static_cast<size_t>(length));
  buffer[length] = '\0';
}

// ---------------------------------------------------------------- buffer

bool ZString::SetSize(ZIndex size) {
  ZArrayRecord* shared = array();
  if (shared == nullptr) return false;
  if (size < 0) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    return false;
  }
  if (shared->count.load(std::memory_order_acquire) <= 1) return ZAbstractArray::SetSize(size);

  // Copy on write: a private buffer of the new size keeps what fits.
  auto* fresh = new (std::nothrow) ZArrayRecord;
  if (fresh == nullptr) return false;
  if (size > 0) {
    fresh->buffer = static_cast<char*>(std::malloc(static_cast<size_t>(size)));
    if (fresh->buffer == nullptr) {
      delete fresh;
      return false;
    }
    const ZIndex kept = std::min(shared->size, size);
    if (kept > 0) std::memcpy(fresh->buffer, shared->buffer, static_cast<size_t>(kept));
    std::memset(fresh->buffer + kept, 0, static_cast<size_t>(size - kept));
    fresh->size = size;
    fresh->capacity = size;
  }
  Adopt(fresh);
  return true;
}

bool ZString::Resize(ZIndex size) {
  if (SetSize(size)) return true;
  Z_ASSERT_CODE(ZAssertOutOfMemory);
  return false;
}

char* ZString::Writable(ZIndex minimumSize) {
  if (GetSize() < minimumSize) {
    if (!Resize(minimumSize)) return nullptr;
  } else {
    MakeUnique();
  }
  // A failed separation leaves the buffer shared: it must not be written.
  if (array() == nullptr || GetReferenceCount() > 1) return nullptr;
  return array()->buffer;
}

bool ZString::PointsInto(const char* text) const {
  const ZArrayRecord* a = array();
  if (a == nullptr || a->buffer == nullptr || text == nullptr) return false;
  const auto start = reinterpret_cast<uintptr_t>(a->buffer);
  const auto address = reinterpret_cast<uintptr_t>(text);
  return address >= start && address < start + static_cast<uintptr_t>(a->size);
}

const char* ZString::TextAt(ZIndex offset, ZIndex& available) const {
  if (offset < 0) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    offset = 0;
  }
  const ZArrayRecord* a = array();
  if (a == nullptr || a->buffer == nullptr || offset >= a->size) {
    available = 0;
    return "";
  }
  available = a->size - offset;
  return a->buffer + offset;
}

// ---------------------------------------------------------------- access

ZIndex ZString::GetLength() const {
  const ZArrayRecord* a = array();
  if (a == nullptr || a->buffer == nullptr) return 0;
  return static_cast<ZIndex>(strnlen(a->buffer, static_cast<size_t>(a->size)));
}

const char* ZString::Text() const {
  const ZArrayRecord* a = array();
  return (a != nullptr && a->buffer != nullptr) ? a->buffer : "";
}

char ZString::operator[](ZIndex i) const {
  if (i < 0) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    return '\0';
  }
  const ZArrayRecord* a = array();
  if (a == nullptr || a->buffer == nullptr || i >= a->size) return '\0';
  // Only a character in front of the first terminator belongs to the text.
  return strnlen(a->buffer, static_cast<size_t>(i) + 1) > static_cast<size_t>(i) ? a->buffer[i] : '\0';
}

char* ZString::GetBuffer(ZIndex minimumSize) { return Writable(std::max<ZIndex>(minimumSize, 1)); }

void ZString::SetCharAt(ZIndex i, char c) {
  if (i < 0 || i >= ZToEnd - 1) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    return;
  }
  // Room for the character and a terminator behind it.
  char* buffer = Writable(i + 2);
  if (buffer != nullptr) buffer[i] = c;
}

bool ZString::IsEmpty() const { return Text()[0] == '\0'; }

// ---------------------------------------------------------------- joining

ZString operator+(const ZString& left, const ZString& right) {
  return Joined(left.Text(), left.GetLength(), false, right.Text(), right.GetLength());
}

ZString operator+(const ZString& left, const char* right) {
  if (!Present(right)) return left;
  return Joined(left.Text(), left.GetLength(), false, right, TextLength(right));
}

ZString operator+(const char* left, const ZString& right) {
  if (!Present(left)) return right;
  return Joined(left, TextLength(left), false, right.Text(), right.GetLength());
}

ZString operator+(const ZString& left, char right) {
  return Joined(left.Text(), left.GetLength(), false, &right, right != '\0' ? 1 : 0);
}

ZString& ZString::operator+=(const char* text) {
  if (!Present(text)) return *this;
  if (PointsInto(text)) {
    const ZString copy(text);
    return *this += copy.Text();
  }
  const ZIndex length = GetLength();
  const ZIndex added = TextLength(text);
  if (added == 0) return *this;
  if (int64_t{length} + added >= ZToEnd) {
    Z_ASSERT_CODE(ZAssertOutOfMemory);
    return *this;
  }
  char* buffer = Writable(length + added + 1);
  if (buffer == nullptr) return *this;
  std::memcpy(buffer + length, text, static_cast<size_t>(added));
  buffer[length + added] = '\0';
  return *this;
}

ZString& ZString::operator+=(char c) {
  const char text[2] = {c, '\0'};
  return *this += text;
}

ZString operator&(const ZString& left, const char* right) {
  if (!Present(right)) return left;
  const ZIndex length = left.GetLength();
  return Joined(left.Text(), length, NeedsBlank(left.Text(), length, right), right, TextLength(right));
}

ZString operator&(const ZString& left, const ZString& right) { return left & right.Text(); }

ZString& ZString::operator&=(const char* text) {
  if (!Present(text)) return *this;
  if (PointsInto(text)) {
    const ZString copy(text);
    return *this &= copy.Text();
  }
  if (NeedsBlank(Text(), GetLength(), text)) *this += ' ';
  return *this += text;
}

// ---------------------------------------------------------------- sub-ranges

ZString ZString::SubString(ZIndex start, ZIndex end) const {
  if (start < 0) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    return ZString();
  }
  const ZIndex length = GetLength();
  if (start >= length || end < start) return ZString();
  end = std::min(end, length - 1);
  if (start == 0 && end == length - 1) return *this;
  return ZString(Text() + start, end - start + 1);
}

ZString ZString::Left(ZIndex count) const {
  if (count <= 0) return ZString();
  if (count >= GetLength()) return *this;
  return ZString(Text(), count);
}

ZString ZString::Right(ZIndex count) const {
  const ZIndex length = GetLength();
  if (count <= 0) return ZString();
  if (count >= length) return *this;
  return ZString(Text() + length - count, count);
}

ZString ZString::Mid(ZIndex start, ZIndex count) const {
  if (count <= 0) return ZString();
  // A count reaching past the index range means "to the end".
  const int64_t end = int64_t{start} + count - 1;
  return SubString(start, end >= ZToEnd ? ZToEnd : static_cast<ZIndex>(end));
}

ZString ZString::LeftTrim() const {
  const char* text = Text();
  ZIndex start = 0;
  while (text[start] == ' ') ++start;
  if (start == 0) return *this;
  return ZString(text + start);
}

ZString ZString::RightTrim() const {
  const char* text = Text();
  const ZIndex length = GetLength();
  ZIndex end = length;
  while (end > 0 && text[end - 1] == ' ') --end;
  if (end == length) return *this;
  return ZString(text, end);
}

ZString ZString::Trim() const {
  const char* text = Text();
  const ZIndex length = GetLength();
  ZIndex start = 0;
  while (text[start] == ' ') ++start;
  ZIndex end = length;
  while (end > start && text[end - 1] == ' ') --end;
  if (start == 0 && end == length) return *this;
  return ZString(text + start, end - start);
}

ZString ZString::ToLower() const {
  ZString result(Text(), GetLength());
  char* buffer = result.GetBuffer();
  if (buffer != nullptr) {
    for (char* p = buffer; *p != '\0'; ++p) *p = static_cast<char>(LowerCase(static_cast<unsigned char>(*p)));
  }
  return result;
}

ZString ZString::ToUpper() const {
  ZString result(Text(), GetLength());
  char* buffer = result.GetBuffer();
  if (buffer != nullptr) {
    for (char* p = buffer; *p != '\0'; ++p) *p = static_cast<char>(UpperCase(static_cast<unsigned char>(*p)));
  }
  return result;
}

// ---------------------------------------------------------------- splitting

ZStringArray ZString::Tokenise(const char* separators, bool eachSeparator) const {
  ZStringArray tokens;
  if (!Present(separators)) return tokens;
  const ZIndex length = GetLength();
  if (length == 0) return tokens;

  ZIndex index = 0;
  ZIndex start = 0;
  ZIndex separator = FindOneOf(separators, 0);
  if (separator == 0 && eachSeparator) {
    // A leading separator ends an empty first token.
    index = 1;
    start = 1;
    separator = FindOneOf(separators, 1);
  }
  while (separator != ZNotFound) {
    if (separator > start) tokens[index] = SubString(start, separator - 1);
    ++index;
    start = separator + 1;
    separator = FindOneOf(separators, start);
    // Without eachSeparator a run of separators counts as one.
    while (!eachSeparator && separator != ZNotFound && separator == start) {
      start = separator + 1;
      separator = FindOneOf(separators, start);
    }
  }
  if (start < length || eachSeparator) tokens[index] = Mid(start);
  return tokens;
}

ZStringArray ZString::Lines() const {
  ZStringArray lines;
  const char* text = Text();
  const ZIndex length = GetLength();
  ZIndex start = 0;
  while (start < length) {
    ZIndex end = FindOneOf("\r\n", start);
    if (end == ZNotFound) {
      lines.Append(Mid(start));
      break;
    }
    lines.Append(Mid(start, end - start));
    // CR LF is one line end.
    if (text[end] == '\r' && text[end + 1] == '\n') ++end;
    start = end + 1;
  }
  return lines;
}

// ---------------------------------------------------------------- in-place changes

bool ZString::Delete(ZIndex start, ZIndex count) {
  if (start < 0) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    return false;
  }
  const ZIndex length = GetLength();
  if (start > length) return false;
  if (count <= 0 || start == length) return true;
  char* buffer = Writable(0);
  if (buffer == nullptr) return false;
  if (count >= length - start) {
    // Cut at start; the bytes left behind are cleared.
    std::memset(buffer + start, 0, static_cast<size_t>(length - start));
  } else {
    std::memmove(buffer + start, buffer + start + count, static_cast<size_t>(length - start - count) + 1);
    std::memset(buffer + length - count + 1, 0, static_cast<size_t>(count));
  }
  return true;
}

ZString& ZString::Splice(const char* text, ZIndex position, ZIndex length) {
  if (!Present(text)) return *this;
  if (position < 0 || length < 0) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    return *this;
  }
  const ZIndex current = GetLength();
  if (position >= current) return *this += text;
  const ZIndex tail = int64_t{position} + length >= current ? current : position + length;
  const ZIndex inserted = TextLength(text);
  const int64_t total = int64_t{position} + inserted + (current - tail);
  if (total >= ZToEnd) {
    Z_ASSERT_CODE(ZAssertOutOfMemory);
    return *this;
  }
  // Built in a new buffer, so the text may come from this string.
  ZString result;
  char* buffer = result.GetBuffer(static_cast<ZIndex>(total + 1));
  if (buffer == nullptr) return *this;
  std::memcpy(buffer, Text(), static_cast<size_t>(position));
  std::memcpy(buffer + position, text, static_cast<size_t>(inserted));
  std::memcpy(buffer + position + inserted, Text() + tail, static_cast<size_t>(current - tail));
  buffer[total] = '\0';
  *this = result;
  return *this;
}

ZIndex ZString::Replace(const char* target, const char* substitute, bool all, ZIndex offset) {
  if (!Present(target) || !Present(substitute)) return 0;
  if (offset < 0) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    return 0;
  }
  // Private copies: the first splice replaces the buffer they might live in.
  const ZString sought(target);
  const ZString replacement(substitute);
  const ZIndex targetLength = sought.GetLength();
  if (targetLength == 0) return 0;
  const ZIndex substituteLength = replacement.GetLength();
  ZIndex count = 0;
  ZIndex position = Find(sought.Text(), offset);
  while (position != ZNotFound) {
    Splice(replacement.Text(), position, targetLength);
    ++count;
    if (!all) break;
    position = Find(sought.Text(), position + substituteLength);
  }
  return count;
}

// ---------------------------------------------------------------- searches

ZIndex ZString::Find(char c, ZIndex offset) const {
  if (offset < 0) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    return ZNotFound;
  }
  const ZIndex length = GetLength();
  for (ZIndex i = offset; i < length; ++i) {
    if (CompareAt(i, c) == EqualTo) return i;
  }
  return ZNotFound;
}

ZIndex ZString::Find(const char* text, ZIndex offset) const {
  if (!Present(text)) return ZNotFound;
  if (offset < 0) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    return ZNotFound;
  }
  const ZIndex sought = TextLength(text);
  const ZIndex length = GetLength();
  if (sought > length || offset > length - sought) return ZNotFound;
  const ZIndex last = length - sought;  // last position where the text fits

  if (last < 10) {
    for (ZIndex position = offset; position <= last; ++position) {
      if (CompareAt(position, sought, text) == EqualTo) return position;
    }
    return ZNotFound;
  }

  // Rolling sum of upper-cased codes as a pre-filter: only windows whose sum
  // matches are compared. Upper-casing keeps it valid for caseless strings.
  const auto* window = reinterpret_cast<const unsigned char*>(Text());
  const auto* wanted = reinterpret_cast<const unsigned char*>(text);
  uint64_t wantedSum = 0;
  uint64_t windowSum = 0;
  for (ZIndex i = 0; i < sought; ++i) {
    wantedSum += UpperCase(wanted[i]);
    windowSum += UpperCase(window[offset + i]);
  }
  for (ZIndex position = offset;; ++position) {
    if (windowSum == wantedSum && CompareAt(position, sought, text) == EqualTo) return position;
    if (position == last) return ZNotFound;
    windowSum += UpperCase(window[position + sought]);
    windowSum -= UpperCase(window[position]);
  }
}

ZIndex ZString::FindLast(char c, ZIndex offset) const {
  const ZIndex length = GetLength();
  if (length == 0 || offset < 0) return ZNotFound;
  for (ZIndex i = std::min(offset, length - 1); i >= 0; --i) {
    if (CompareAt(i, c) == EqualTo) return i;
  }
  return ZNotFound;
}

ZIndex ZString::FindOneOf(const char* set, ZIndex offset) const {
  if (!Present(set)) return ZNotFound;
  if (offset < 0) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    return ZNotFound;
  }
  const ZIndex length = GetLength();
  for (ZIndex i = offset; i < length; ++i) {
    for (const char* member = set; *member != '\0'; ++member) {
      if (CompareAt(i, *member) == EqualTo) return i;
    }
  }
  return ZNotFound;
}

// ---------------------------------------------------------------- comparison

ZComparison ZString::CompareAt(ZIndex offset, ZIndex length, const char* text) const {
  if (!Present(text)) return GreaterThan;
  ZIndex available = 0;
  const auto* mine = reinterpret_cast<const unsigned char*>(TextAt(offset, available));
  const auto* theirs = reinterpret_cast<const unsigned char*>(text);
  // strncmp with unsigned bytes; the end of the buffer acts as a terminator.
  for (ZIndex i = 0; i < length; ++i) {
    const unsigned char a = i < available ? mine[i] : 0;
    const unsigned char b = theirs[i];
    if (a != b) return a < b ? LessThan : GreaterThan;
    if (a == 0) break;
  }
  return EqualTo;
}

ZComparison ZString::CompareAt(ZIndex offset, char c) const {
  ZIndex available = 0;
  const char* mine = TextAt(offset, available);
  const auto a = static_cast<signed char>(available > 0 ? mine[0] : '\0');
  const auto b = static_cast<signed char>(c);
  return ZSign(int{a} - int{b});
}

ZComparison ZString::Compare(const ZObject& other) const {
  const ZString* that = ZCast<ZString>(&other);
  if (that == nullptr) return GreaterThan;
  return CompareAt(0, ZToEnd, that->Text());
}

bool ZString::operator*=(const char* text) const {
  if (!Present(text)) return false;
  const auto* mine = reinterpret_cast<const unsigned char*>(Text());
  const auto* theirs = reinterpret_cast<const unsigned char*>(text);
  for (;; ++mine, ++theirs) {
    if (UpperCase(*mine) != UpperCase(*theirs)) return false;
    if (*mine == 0) return true;
  }
}

uint32_t ZString::Hash() const {
  // Three characters, upper-cased, so that letter case never changes the
  // bucket; at most 23 buckets.
  const auto* text = reinterpret_cast<const unsigned char*>(Text());
  uint32_t sum = 0;
  for (int i = 0; i < 3 && text[i] != 0; ++i) sum += UpperCase(text[i]);
  return sum % 23;
}

// ---------------------------------------------------------------- ZObject

ZObject* ZString::Clone() const {
  auto* copy = new ZString(*this);
  copy->MakeUnique();
  return copy;
}

void ZString::Print(std::ostream& out) const { out.write(Text(), GetLength()); }

void ZString::ReadFrom(std::istream& in) {
  ZString line;
  std::istream::sentry ready(in, true);
  if (!ready) {
    *this = line;
    return;
  }
  char* buffer = line.Writable(kReadStep);
  ZIndex length = 0;
  std::streambuf* source = in.rdbuf();
  bool ended = false;
  while (buffer != nullptr) {
    const int c = source->sbumpc();
    if (c == std::char_traits<char>::eof()) {
      ended = true;
      break;
    }
    if (c == '\n') break;
    if (length + 1 >= line.GetSize()) buffer = line.Writable(line.GetSize() + kReadStep);
    if (buffer != nullptr) buffer[length++] = static_cast<char>(c);
  }
  if (buffer != nullptr) buffer[length] = '\0';
  // As with getline: the end of the stream fails only an empty read.
  if (ended) in.setstate(length == 0 ? std::ios::eofbit | std::ios::failbit : std::ios::eofbit);
  *this = line;
}
