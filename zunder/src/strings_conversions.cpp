// ZString's conversions: numbers, printf formatting, the conversion
// constructors and the literal notation ("a\tb" with C escapes) both ways.
#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "strings_text.h"
#include "zunder/strings.h"

using zstrings::Present;

namespace {

// One formatting call must leave the string shorter than this.
constexpr ZIndex kFormatLimit = 1000;
// Number conversions start with a buffer this large.
constexpr ZIndex kNumberBuffer = 100;

const char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
const char kEscapeLetters[] = "abfnrtv";
const char kEscapeCodes[] = "\a\b\f\n\r\t\v";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsOctal(char c) { return c >= '0' && c <= '7'; }

}  // namespace

// ---------------------------------------------------------------- numbers

int32_t ZString::AsInteger(int base) const {
  if (base < 2 || base > 36) {
    Z_ASSERT_CODE(ZAssertInvalidParameter);
    return 0;
  }
  // A 32-bit strtol saturates out of range; long is wider here, so clamp.
  const long value = std::strtol(Text(), nullptr, base);
  return static_cast<int32_t>(std::clamp<long>(value, INT32_MIN, INT32_MAX));
}

double ZString::AsReal() const { return std::strtod(Text(), nullptr); }

// ---------------------------------------------------------------- formatting

ZString& ZString::sprintf(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  vsprintf(format, arguments);
  va_end(arguments);
  return *this;
}

ZString& ZString::vsprintf(const char* format, va_list arguments) {
  if (!Present(format)) return *this;
  const ZIndex length = GetLength();
  // The formatter may fill the buffer up to this bound and never further.
  const ZIndex bound = std::max(kFormatLimit, length + 1);
  char* buffer = Writable(bound);
  if (buffer == nullptr) return *this;
  int written = std::vsnprintf(buffer + length, static_cast<size_t>(bound - length), format, arguments);
  if (written < 0) {
    // A format the C library refuses appends nothing.
    buffer[length] = '\0';
    written = 0;
  }
  if (int64_t{length} + written >= kFormatLimit) {
    // Too long: the text keeps what fit below the bound (at most 999
    // characters, or the old text when that was already longer).
    Z_ASSERT_MESSAGE("Single sprintf() too large");
  }
  Resize(GetLength() + 1);
  return *this;
}

ZString FormatText(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  ZString result = FormatTextV(format, arguments);
  va_end(arguments);
  return result;
}

ZString FormatTextV(const char* format, va_list arguments) {
  ZString result;
  result.vsprintf(format, arguments);
  return result;
}

// ---------------------------------------------------------------- conversions in

void ZString::ConvertV(Conversion type, va_list arguments) {
  switch (type) {
    case LengthPrefixed: {
      const auto* bytes = va_arg(arguments, const unsigned char*);
      if (Present(reinterpret_cast<const char*>(bytes))) {
        Assign(reinterpret_cast<const char*>(bytes + 1), bytes[0]);
      }
      break;
    }
    case LengthPrefixed16: {
      const auto* bytes = va_arg(arguments, const unsigned char*);
      if (Present(reinterpret_cast<const char*>(bytes))) {
        Assign(reinterpret_cast<const char*>(bytes + 2), bytes[0] | (bytes[1] << 8));
      }
      break;
    }
    case Literal: {
      const char* text = va_arg(arguments, const char*);
      if (Present(text)) DecodeLiteral(text);
      break;
    }
    case Signed: {
      const int32_t value = va_arg(arguments, int32_t);
      const int base = va_arg(arguments, int);
      // The magnitude in unsigned arithmetic, so the most negative value fits.
      const uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
      ConvertNumber(magnitude, value < 0, base);
      break;
    }
    case Unsigned: {
      const uint32_t value = va_arg(arguments, uint32_t);
      const int base = va_arg(arguments, int);
      ConvertNumber(value, false, base);
      break;
    }
    case Decimal: {
      const double value = va_arg(arguments, double);
      const int places = va_arg(arguments, int);
      sprintf("%0.*f", places, value);
      break;
    }
    case Exponent: {
      const double value = va_arg(arguments, double);
      const int places = va_arg(arguments, int);
      sprintf("%0.*e", places, value);
      break;
    }
    case Printf: {
      const char* format = va_arg(arguments, const char*);
      vsprintf(format, arguments);
      break;
    }
    default: Z_ASSERT_CODE(ZAssertInvalidParameter); break;
  }
}

void ZString::ConvertNumber(uint32_t magnitude, bool negative, int base) {
  if (base < 2 || base > 36) {
    Z_ASSERT_CODE(ZAssertInvalidParameter);
    return;
  }
  char* buffer = Writable(kNumberBuffer);
  if (buffer == nullptr) return;
  char digits[32];  // base 2 needs the most: 32 digits
  int count = 0;
  do {
    digits[count++] = kDigits[magnitude % static_cast<uint32_t>(base)];
    magnitude /= static_cast<uint32_t>(base);
  } while (magnitude != 0);
  ZIndex length = 0;
  if (negative) buffer[length++] = '-';
  while (count > 0) buffer[length++] = digits[--count];
  buffer[length] = '\0';
  Resize(length + 1);
}

void ZString::DecodeLiteral(const char* text) {
  const char* p = text;
  const char* end = text + std::strlen(text);
  // The decoded text is never longer than the notation.
  char* out = Writable(static_cast<ZIndex>(end - text) + 1);
  if (out == nullptr) return;
  ZIndex length = 0;
  if (p < end && *p == '"') ++p;
  while (p < end) {
    const char c = *p++;
    if (c == '"' && p == end) break;  // the closing quote
    if (c != '\\') {
      out[length++] = c;
      continue;
    }
    if (p == end) break;  // a lone backslash at the very end stands for nothing
    const char escaped = *p++;
    if (const char* letter = std::strchr(kEscapeLetters, escaped)) {
      out[length++] = kEscapeCodes[letter - kEscapeLetters];
    } else if (escaped == 'x' && p < end && HexValue(*p) >= 0) {
      int value = 0;
      for (int digits = 0; digits < 2 && p < end && HexValue(*p) >= 0; ++digits) value = value * 16 + HexValue(*p++);
      out[length++] = static_cast<char>(value);
    } else if (IsOctal(escaped)) {
      // Three digits would pass 0377 when the first is 4-7, so two at most.
      const int maximum = escaped <= '3' ? 3 : 2;
      int value = escaped - '0';
      for (int digits = 1; digits < maximum && p < end && IsOctal(*p); ++digits) value = value * 8 + (*p++ - '0');
      out[length++] = static_cast<char>(value);
    } else {
      out[length++] = escaped;
    }
  }
  out[length] = '\0';
  Resize(length + 1);
}

// ---------------------------------------------------------------- conversions out

ZBaseArray ZString::ToPascal() const {
  ZBaseArray pascal(1);
  const ZIndex length = GetLength();
  if (length >= 256) {
    // Answers an empty array: a length byte cannot describe the text.
    Z_ASSERT_MESSAGE("Cannot convert to PASCAL string");
    return pascal;
  }
  auto* bytes = static_cast<unsigned char*>(pascal.GetPointer(length + 1));
  if (bytes == nullptr) return pascal;
  bytes[0] = static_cast<unsigned char>(length);
  std::memcpy(bytes + 1, Text(), static_cast<size_t>(length));
  return pascal;
}

ZString ZString::ToLiteral() const {
  std::string literal = "\"";
  for (const char* p = Text(); *p != '\0'; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == '"') {
      literal += "\\\"";
    } else if (c >= 0x20 && c < 0x7f) {
      literal += static_cast<char>(c);  // the backslash too, unescaped
    } else if (const char* code = std::strchr(kEscapeCodes, c); code != nullptr && c != 0) {
      literal += '\\';
      literal += kEscapeLetters[code - kEscapeCodes];
    } else {
      char octal[8];
      std::snprintf(octal, sizeof(octal), "\\%03o", c);
      literal += octal;
    }
  }
  literal += '"';
  return ZString(literal.data(), static_cast<ZIndex>(literal.size()));
}
