// ZObject defaults and the assertion call.
#include "zunder/object.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ostream>

namespace {

const char* const kAssertTexts[] = {
    "Out of memory",          "Null pointer reference", "Invalid cast to non-descendant class",
    "Invalid array index",    "Invalid array element",  "Stack empty",
    "Unimplemented function", "Invalid parameter",      "Operating System error",
    "File not open",          "Unsupported feature",    "Invalid or closed operating system window",
};

void DefaultAssertHandler(const char* source, unsigned line, const char* message) {
  std::fprintf(stderr, "Assertion fail: File %s, Line %u\n", source, line);
  if (message != nullptr && *message != '\0') std::fprintf(stderr, "%s\n", message);
  std::abort();
}

std::atomic<ZAssertHandler> assertHandler{&DefaultAssertHandler};

// "/path/to/containers.cpp" -> "containers" (written into buffer).
const char* SourceBaseName(const char* file, char* buffer, size_t size) {
  const char* base = file;
  for (const char* p = file; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  size_t length = 0;
  while (base[length] != '\0' && base[length] != '.' && length + 1 < size) {
    buffer[length] = base[length];
    ++length;
  }
  buffer[length] = '\0';
  return buffer;
}

}  // namespace

ZAssertHandler ZSetAssertHandler(ZAssertHandler handler) {
  return assertHandler.exchange(handler != nullptr ? handler : &DefaultAssertHandler);
}

const char* ZAssertText(int code, char* buffer, size_t size) {
  constexpr int count = sizeof(kAssertTexts) / sizeof(kAssertTexts[0]);
  if (code >= 1 && code <= count) {
    std::snprintf(buffer, size, "%s", kAssertTexts[code - 1]);
  } else {
    std::snprintf(buffer, size, "Error code: %i", code);
  }
  return buffer;
}

void ZAssertCodeAt(const char* file, unsigned line, int code) {
  char text[64];
  ZAssertMessageAt(file, line, ZAssertText(code, text, sizeof(text)));
}

void ZAssertMessageAt(const char* file, unsigned line, const char* message) {
  char source[64];
  assertHandler.load()(SourceBaseName(file != nullptr ? file : "", source, sizeof(source)), line,
                       message != nullptr ? message : "");
}

// ---------------------------------------------------------------- ZObject

const char* ZObject::GetClass(int) const { return "ZObject"; }

bool ZObject::IsClass(const char* name) const { return name != nullptr && std::strcmp(name, "ZObject") == 0; }

bool ZObject::IsDescendant(const char* name) const { return ZObject::IsClass(name); }

ZComparison ZObject::Compare(const ZObject& other) const { return CompareBytes(other); }

ZComparison ZObject::CompareBytes(const ZObject& other) const {
  size_t mine = ObjectSize();
  size_t theirs = other.ObjectSize();
  // The whole memory, the class's table pointer included: objects of two
  // classes differ even when their fields agree.
  int result =
      std::memcmp(static_cast<const void*>(this), static_cast<const void*>(&other), mine < theirs ? mine : theirs);
  if (result == 0) return ZSign(static_cast<long long>(mine) - static_cast<long long>(theirs));
  return ZSign(result);
}

ZObject* ZObject::Clone() const {
  Z_ASSERT_CODE(ZAssertUnimplemented);
  return nullptr;
}

uint32_t ZObject::Hash() const { return 0; }

void ZObject::Print(std::ostream& out) const { out << GetClass(); }

void ZObject::ReadFrom(std::istream&) {}

std::ostream& operator<<(std::ostream& out, const ZObject& object) {
  object.Print(out);
  return out;
}

std::istream& operator>>(std::istream& in, ZObject& object) {
  object.ReadFrom(in);
  return in;
}
