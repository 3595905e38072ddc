// ZCaselessString: the two comparison primitives with ASCII letters
// upper-cased on both sides, compared as signed 8-bit codes.
#include "zunder/strings.h"

namespace {

signed char CaselessCode(char c) { return static_cast<signed char>((c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c); }

}  // namespace

ZComparison ZCaselessString::CompareAt(ZIndex offset, ZIndex length, const char* text) const {
  if (text == nullptr) {
    Z_ASSERT_CODE(ZAssertNullPointer);
    return GreaterThan;
  }
  ZIndex available = 0;
  const char* mine = TextAt(offset, available);
  // The first difference decides; equal when the length is used up or both
  // texts end together.
  for (ZIndex i = 0; i < length; ++i) {
    const signed char a = CaselessCode(i < available ? mine[i] : '\0');
    const signed char b = CaselessCode(text[i]);
    if (a != b) return a < b ? LessThan : GreaterThan;
    if (a == 0) break;
  }
  return EqualTo;
}

ZComparison ZCaselessString::CompareAt(ZIndex offset, char c) const {
  ZIndex available = 0;
  const char* mine = TextAt(offset, available);
  return ZSign(int{CaselessCode(available > 0 ? mine[0] : '\0')} - int{CaselessCode(c)});
}

ZObject* ZCaselessString::Clone() const {
  auto* copy = new ZCaselessString(*this);
  copy->MakeUnique();
  return copy;
}
