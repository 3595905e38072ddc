// The root of the class library: run-time class names, three-way comparison,
// hashing, printing, and the one assertion call through which library misuse
// is reported.
#pragma once

#include <cstdint>
#include <cstring>
#include <iosfwd>

// Sizes, counts and indexes are signed 32-bit; the largest index means
// "not found" for searches and "to the end" for ranges.
using ZIndex = int32_t;
constexpr ZIndex ZNotFound = 0x7fffffff;
constexpr ZIndex ZToEnd = 0x7fffffff;

enum ZComparison { LessThan = -1, EqualTo = 0, GreaterThan = 1 };

// Maps any integer to -1, 0 or 1.
inline ZComparison ZSign(long long value) { return value < 0 ? LessThan : (value > 0 ? GreaterThan : EqualTo); }

// ---------------------------------------------------------------- assertions

enum ZAssertCode {
  ZAssertOutOfMemory = 1,
  ZAssertNullPointer = 2,
  ZAssertInvalidCast = 3,
  ZAssertInvalidIndex = 4,
  ZAssertInvalidElement = 5,
  ZAssertStackEmpty = 6,
  ZAssertUnimplemented = 7,
  ZAssertInvalidParameter = 8,
  ZAssertOSError = 9,
  ZAssertFileNotOpen = 10,
  ZAssertUnsupported = 11,
  ZAssertInvalidWindow = 12,
};

// The handler receives the base name of the source file (without extension),
// the line and the message text. It may return: library code then carries on
// as safely as it can (a failed operation answers false or null).
using ZAssertHandler = void (*)(const char* source, unsigned line, const char* message);

// Installs a handler and answers the previous one; null restores the default,
// which prints the report to standard error and aborts.
ZAssertHandler ZSetAssertHandler(ZAssertHandler handler);

// Writes the fixed text of an assertion code into buffer ("Error code: %i"
// for codes without a text of their own) and answers buffer.
const char* ZAssertText(int code, char* buffer, size_t size);

// The two forms of the assertion call: with a numbered code and with a text.
void ZAssertCodeAt(const char* file, unsigned line, int code);
void ZAssertMessageAt(const char* file, unsigned line, const char* message);

#define Z_ASSERT_CODE(code) ZAssertCodeAt(__FILE__, __LINE__, (code))
#define Z_ASSERT_MESSAGE(message) ZAssertMessageAt(__FILE__, __LINE__, (message))

// ---------------------------------------------------------------- ZObject

// Every class declares its name and parent with Z_CLASS so that the run-time
// class queries answer the whole ancestor chain.
#define Z_CLASS(Class, Parent)                                           \
 public:                                                                 \
  static constexpr const char* ClassName() { return #Class; }            \
  const char* GetClass(int ancestor = 0) const override {                \
    return ancestor <= 0 ? #Class : Parent::GetClass(ancestor - 1);      \
  }                                                                      \
  bool IsClass(const char* className) const override {                   \
    return className != nullptr && std::strcmp(className, #Class) == 0;  \
  }                                                                      \
  bool IsDescendant(const char* className) const override {              \
    return Class::IsClass(className) || Parent::IsDescendant(className); \
  }                                                                      \
                                                                         \
 private:

class ZObject {
 public:
  ZObject() = default;
  virtual ~ZObject() = default;

  static constexpr const char* ClassName() { return "ZObject"; }
  // The class name of this object (0) or of its n-th ancestor; past the root
  // it answers "ZObject".
  virtual const char* GetClass(int ancestor = 0) const;
  virtual bool IsClass(const char* name) const;
  virtual bool IsDescendant(const char* name) const;

  virtual ZComparison Compare(const ZObject& other) const;
  // Unsigned byte comparison of the two objects' own memory.
  virtual ZComparison CompareBytes(const ZObject& other) const;
  // Reports "Unimplemented function" and answers null unless overridden.
  virtual ZObject* Clone() const;
  virtual uint32_t Hash() const;
  virtual void Print(std::ostream& out) const;
  virtual void ReadFrom(std::istream& in);

 protected:
  // Size of the most derived object, for CompareBytes.
  virtual size_t ObjectSize() const { return sizeof(ZObject); }
};

std::ostream& operator<<(std::ostream& out, const ZObject& object);
std::istream& operator>>(std::istream& in, ZObject& object);

// Checked down-cast: a cast to a class the object does not descend from is
// reported as "Invalid cast to non-descendant class" and answers null.
template <class T>
T* ZCast(ZObject* object) {
  if (object == nullptr) return nullptr;
  if (!object->IsDescendant(T::ClassName())) {
    Z_ASSERT_CODE(ZAssertInvalidCast);
    return nullptr;
  }
  return static_cast<T*>(object);
}

template <class T>
const T* ZCast(const ZObject* object) {
  return ZCast<T>(const_cast<ZObject*>(object));
}
