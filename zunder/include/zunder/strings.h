// ZString: the one text type of the library. An 8-bit NUL-terminated
// character array that shares its buffer by reference and separates itself
// before any change (copy on write). The length is the position of the first
// NUL and is counted afresh whenever it is needed.
#pragma once

#include <cstdarg>
#include <iostream>
#include <memory>
#include <streambuf>

#include "zunder/containers.h"

class ZStringArray;

class ZString : public ZBaseArray {
  Z_CLASS(ZString, ZBaseArray)
 public:
  // Numbers of the conversion constructor's types.
  enum Conversion : int {
    LengthPrefixed = 0,    // (const unsigned char* buffer): first byte is the length
    LengthPrefixed16 = 1,  // (const unsigned char* buffer): two-byte little-endian length
    Literal = 2,           // (const char* text): C-literal notation
    Signed = 3,            // (int32_t value, int base)
    Unsigned = 4,          // (uint32_t value, int base)
    Decimal = 5,           // (double value, int places): "%0.*f"
    Exponent = 6,          // (double value, int places): "%0.*e"
    Printf = 7,            // (const char* format, ...)
  };

  ZString();
  ZString(const char* text);  // NOLINT: implicit on purpose, texts are strings
  ZString(const char* text, ZIndex length);
  ZString(const char16_t* text);
  ZString(const char16_t* text, ZIndex length);
  // The conversion's arguments follow the type, as for printf.
  template <typename... Arguments>
  ZString(Conversion type, Arguments... arguments) : ZString(ConversionTag{}, static_cast<int>(type), arguments...) {}
  ZString(const ZString& other) = default;
  ZString& operator=(const ZString& other) = default;
  ZString& operator=(const char* text);

  // ---- access
  ZIndex GetLength() const;
  const char* Text() const;
  operator const char*() const { return Text(); }
  // The character at i, or NUL at and past the end (negative i is reported).
  char operator[](ZIndex i) const;
  char operator[](int64_t i) const { return (*this)[static_cast<ZIndex>(i)]; }
  // A writable buffer of at least minimumSize bytes, separated from other
  // holders first. The caller keeps a terminator inside it.
  char* GetBuffer(ZIndex minimumSize = 0);
  // Writes one character (separating first; grows when needed).
  void SetCharAt(ZIndex i, char c);
  bool IsEmpty() const override;

  // ---- text operations (new strings; the operand is unchanged)
  friend ZString operator+(const ZString& left, const ZString& right);
  friend ZString operator+(const ZString& left, const char* right);
  friend ZString operator+(const char* left, const ZString& right);
  friend ZString operator+(const ZString& left, char right);
  ZString& operator+=(const char* text);
  ZString& operator+=(const ZString& text) { return *this += text.Text(); }
  ZString& operator+=(char c);
  // Joins with one blank between the parts (see Join).
  friend ZString operator&(const ZString& left, const char* right);
  friend ZString operator&(const ZString& left, const ZString& right);
  ZString& operator&=(const char* text);

  // Characters start..end inclusive; end is clipped to the last character.
  // A negative start is reported; counts of 0 or less give an empty string,
  // and Left/Right/SubString of the whole text share its buffer.
  ZString SubString(ZIndex start, ZIndex end) const;
  ZString Left(ZIndex count) const;
  ZString Right(ZIndex count) const;
  ZString Mid(ZIndex start, ZIndex count = ZToEnd) const;
  ZString Trim() const;
  ZString LeftTrim() const;
  ZString RightTrim() const;
  ZString ToLower() const;
  ZString ToUpper() const;
  ZStringArray Tokenise(const char* separators, bool eachSeparator = false) const;
  ZStringArray Lines() const;

  // ---- in-place changes
  bool Delete(ZIndex start, ZIndex count = ZToEnd);
  ZString& Splice(const char* text, ZIndex position, ZIndex length);
  // Answers the number of replacements made.
  ZIndex Replace(const char* target, const char* substitute, bool all = false, ZIndex offset = 0);

  // ---- searches (ZNotFound when nothing is found)
  ZIndex Find(char c, ZIndex offset = 0) const;
  ZIndex Find(const char* text, ZIndex offset = 0) const;
  ZIndex FindLast(char c, ZIndex offset = ZToEnd) const;
  ZIndex FindOneOf(const char* set, ZIndex offset = 0) const;

  // ---- comparison primitives; every comparison and search goes through them.
  // At most length characters from offset against text (strncmp rules,
  // unsigned bytes); an offset behind the buffer compares the empty text.
  virtual ZComparison CompareAt(ZIndex offset, ZIndex length, const char* text) const;
  // The byte at offset against c, as signed 8-bit values. Searches call it
  // for positions inside the text only, so it reads the byte without first
  // counting the length (behind the buffer it reads NUL).
  virtual ZComparison CompareAt(ZIndex offset, char c) const;

  ZComparison Compare(const ZObject& other) const override;
  bool operator==(const ZString& other) const { return CompareAt(0, ZToEnd, other.Text()) == EqualTo; }
  bool operator!=(const ZString& other) const { return CompareAt(0, ZToEnd, other.Text()) != EqualTo; }
  bool operator<(const ZString& other) const { return CompareAt(0, ZToEnd, other.Text()) == LessThan; }
  bool operator>(const ZString& other) const { return CompareAt(0, ZToEnd, other.Text()) == GreaterThan; }
  bool operator<=(const ZString& other) const { return CompareAt(0, ZToEnd, other.Text()) != GreaterThan; }
  bool operator>=(const ZString& other) const { return CompareAt(0, ZToEnd, other.Text()) != LessThan; }
  bool operator==(const char* text) const { return CompareAt(0, ZToEnd, text) == EqualTo; }
  bool operator!=(const char* text) const { return CompareAt(0, ZToEnd, text) != EqualTo; }
  bool operator<(const char* text) const { return CompareAt(0, ZToEnd, text) == LessThan; }
  bool operator>(const char* text) const { return CompareAt(0, ZToEnd, text) == GreaterThan; }
  bool operator<=(const char* text) const { return CompareAt(0, ZToEnd, text) != GreaterThan; }
  bool operator>=(const char* text) const { return CompareAt(0, ZToEnd, text) != LessThan; }
  // Caseless equality with a C text, whatever this string's class.
  bool operator*=(const char* text) const;
  // Three characters, upper-cased, summed, modulo 23.
  uint32_t Hash() const override;

  // ---- numbers
  int32_t AsInteger(int base = 10) const;
  double AsReal() const;

  // ---- formatting: appends in place; one call must leave the string below
  // 1000 characters ("Single sprintf() too large" otherwise).
  ZString& sprintf(const char* format, ...) __attribute__((format(printf, 2, 3)));
  ZString& vsprintf(const char* format, va_list arguments);

  // ---- conversions out
  ZBaseArray ToPascal() const;
  ZString ToLiteral() const;

  // ---- ZObject / ZContainer
  ZObject* Clone() const override;
  void Print(std::ostream& out) const override;
  // Reads up to a line feed or the end of the stream; the line feed is not
  // stored.
  void ReadFrom(std::istream& in) override;
  // Copy on write: a shared buffer is separated before it is resized.
  bool SetSize(ZIndex size) override;

 protected:
  // Replaces the text with a copy of length bytes of text (which may lie in
  // this string's own buffer).
  void Assign(const char* text, ZIndex length);
  void ConvertV(Conversion type, va_list arguments);
  // SetSize, reporting "Out of memory" when it fails.
  bool Resize(ZIndex size);
  // The unshared buffer of at least minimumSize bytes (grown through SetSize,
  // never shrunk), or null when memory runs out.
  char* Writable(ZIndex minimumSize);
  // True when text points into this string's buffer, which a change may move.
  bool PointsInto(const char* text) const;
  // The bytes from offset on and how many of them lie inside the buffer;
  // an offset behind the buffer gives the empty text (a negative one is
  // reported and taken as 0).
  const char* TextAt(ZIndex offset, ZIndex& available) const;

 private:
  // A C variable argument list must follow a parameter that is not promoted
  // (an enum is): the conversion type travels as an int.
  struct ConversionTag {};
  ZString(ConversionTag, int type, ...);

  void ConvertNumber(uint32_t magnitude, bool negative, int base);
  void DecodeLiteral(const char* text);
};

ZString FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));
ZString FormatTextV(const char* format, va_list arguments);

// A string whose comparisons and searches ignore ASCII letter case.
class ZCaselessString : public ZString {
  Z_CLASS(ZCaselessString, ZString)
 public:
  ZCaselessString() = default;
  ZCaselessString(const char* text) : ZString(text) {}  // NOLINT
  ZCaselessString(const char* text, ZIndex length) : ZString(text, length) {}
  ZCaselessString(const ZString& other) : ZString(other) {}  // NOLINT
  ZCaselessString& operator=(const char* text) {
    ZString::operator=(text);
    return *this;
  }

  ZComparison CompareAt(ZIndex offset, ZIndex length, const char* text) const override;
  ZComparison CompareAt(ZIndex offset, char c) const override;
  ZObject* Clone() const override;
};

// ---------------------------------------------------------------- collections

// An owning array of strings. Writing through an index grows the array and
// fills empty slots with empty strings, so every index below the size reads
// as a string.
class ZStringArray : public ZArray {
  Z_CLASS(ZStringArray, ZArray)
 public:
  ZStringArray() = default;
  ZStringArray(ZIndex count, const char* const texts[], bool caseless = false);

  ZString& operator[](ZIndex index);
  // Reading past the size answers an empty string.
  const ZString& operator[](ZIndex index) const;
  ZString* GetAt(ZIndex index) const override { return static_cast<ZString*>(ZArray::GetAt(index)); }
  ZIndex Append(const ZString& text) { return ZArray::Append(text.Clone()); }
  ZIndex Append(const char* text) { return ZArray::Append(new ZString(text)); }
  using ZArray::Append;
  ZObject* Clone() const override;
};

class ZStringList : public ZList {
  Z_CLASS(ZStringList, ZList)
 public:
  ZStringList() = default;
  ZString* GetAt(ZIndex index) const override { return static_cast<ZString*>(ZList::GetAt(index)); }
  ZString* operator[](ZIndex index) const { return GetAt(index); }
  ZIndex Append(const ZString& text) { return ZList::Append(text.Clone()); }
  ZIndex Append(const char* text) { return ZList::Append(new ZString(text)); }
  using ZList::Append;
  ZObject* Clone() const override;
};

class ZSortedStringList : public ZSortedList {
  Z_CLASS(ZSortedStringList, ZSortedList)
 public:
  ZSortedStringList() = default;
  ZString* GetAt(ZIndex index) const override { return static_cast<ZString*>(ZSortedList::GetAt(index)); }
  ZString* operator[](ZIndex index) const { return GetAt(index); }
  ZIndex Append(const ZString& text) { return ZSortedList::Append(text.Clone()); }
  ZIndex Append(const char* text) { return ZSortedList::Append(new ZString(text)); }
  using ZSortedList::Append;
  ZObject* Clone() const override;
};

class ZStringSet : public ZSet {
  Z_CLASS(ZStringSet, ZSet)
 public:
  ZStringSet() = default;
  bool Append(const ZString& text) { return ZSet::Append(text.Clone()); }
  bool Append(const char* text) { return ZSet::Append(new ZString(text)); }
  using ZSet::Append;
  bool Contains(const char* text) const { return ZSet::Contains(ZString(text)); }
  using ZSet::Contains;
  ZString* GetAt(ZIndex index) const { return static_cast<ZString*>(ZSet::GetAt(index)); }
  ZObject* Clone() const override;
};

// Dictionary from string keys to objects.
class ZStringDictionary : public ZAbstractDictionary {
  Z_CLASS(ZStringDictionary, ZAbstractDictionary)
 public:
  ZStringDictionary() = default;
  bool SetAt(const char* key, ZObject* data) { return ZAbstractDictionary::SetAt(ZString(key), data); }
  ZObject* GetAt(const char* key) const { return ZAbstractDictionary::GetAt(ZString(key)); }
  using ZAbstractDictionary::GetAt;
  using ZAbstractDictionary::SetAt;
  ZString* GetKeyAt(ZIndex index) const { return static_cast<ZString*>(KeyAt(index)); }
  ZObject* Clone() const override;
};

// Dictionary from strings to strings. Keys (and values) are caseless when
// the dictionary was made so.
class ZStringToString : public ZAbstractDictionary {
  Z_CLASS(ZStringToString, ZAbstractDictionary)
 public:
  struct Pair {
    const char* key;
    const char* value;
  };
  explicit ZStringToString(bool keysIgnoreCase = false, bool valuesIgnoreCase = false);
  ZStringToString(ZIndex count, const Pair pairs[], bool keysIgnoreCase = false, bool valuesIgnoreCase = false);

  // Stores a new string sharing the value's buffer.
  bool SetAt(const ZString& key, const ZString& value);
  bool RemoveAt(const ZString& key);
  ZString* GetAt(const ZString& key) const;
  // Reading form: a missing key is reported and answers an empty string.
  const ZString& operator[](const ZString& key) const;
  ZString* GetKeyAt(ZIndex index) const { return static_cast<ZString*>(KeyAt(index)); }
  ZString* GetDataAt(ZIndex index) const { return static_cast<ZString*>(DataAt(index)); }
  bool HasCaselessKeys() const { return caselessKeys; }
  ZObject* Clone() const override;

 private:
  bool caselessKeys;
  bool caselessValues;
};

// Dictionary from strings to integers.
class ZStringToOrdinal : public ZAbstractDictionary {
  Z_CLASS(ZStringToOrdinal, ZAbstractDictionary)
 public:
  struct Pair {
    const char* key;
    int32_t value;
  };
  explicit ZStringToOrdinal(bool keysIgnoreCase = false);
  ZStringToOrdinal(ZIndex count, const Pair pairs[], bool keysIgnoreCase = false);

  bool SetAt(const ZString& key, int32_t value);
  bool RemoveAt(const ZString& key);
  // False when the key is absent.
  bool Lookup(const ZString& key, int32_t& value) const;
  // Reading form: a missing key is reported and answers 0.
  int32_t operator[](const ZString& key) const;
  ZString* GetKeyAt(ZIndex index) const { return static_cast<ZString*>(KeyAt(index)); }
  int32_t GetValueAt(ZIndex index) const;
  ZObject* Clone() const override;

 private:
  bool caselessKeys;
};

// Dictionary from integers to strings.
class ZOrdinalToString : public ZAbstractDictionary {
  Z_CLASS(ZOrdinalToString, ZAbstractDictionary)
 public:
  struct Pair {
    int32_t key;
    const char* value;
  };
  ZOrdinalToString() = default;
  ZOrdinalToString(ZIndex count, const Pair pairs[]);

  bool SetAt(int32_t key, const ZString& value);
  bool RemoveAt(int32_t key) { return Erase(ZOrdinalKey(key)); }
  ZString* GetAt(int32_t key) const;
  // Reading form: a missing key is reported and answers an empty string.
  const ZString& operator[](int32_t key) const;
  int32_t GetKeyAt(ZIndex index) const;
  ZString* GetDataAt(ZIndex index) const { return static_cast<ZString*>(DataAt(index)); }
  ZObject* Clone() const override;
};

// ---------------------------------------------------------------- ZStringStream

// A string that is also a stream: writing appends at the write position,
// reading starts at the beginning. The text of the stream is the string.
class ZStringStream : public ZString, public std::iostream {
  Z_CLASS(ZStringStream, ZString)
 public:
  enum SeekMode { SeekRead = 1, SeekWrite = 2, SeekBoth = 3 };

  ZStringStream();
  explicit ZStringStream(const char* text);
  ZStringStream(const ZStringStream&) = delete;
  ZStringStream& operator=(const ZStringStream&) = delete;
  ~ZStringStream() override;

  // origin: 0 begin, 1 current, 2 end (anything else is reported); the
  // position is clamped to the text. Answers the new position.
  ZIndex Seek(ZIndex offset, int origin, int mode = SeekBoth);
  ZIndex GetReadPosition() const;
  ZIndex GetWritePosition() const;

 private:
  class Buffer;
  std::unique_ptr<Buffer> buffer;
};
