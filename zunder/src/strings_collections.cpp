// The string collections and dictionaries: typed views over the object
// collections that create their string (and integer) objects themselves.
#include "zunder/strings.h"

namespace {

// What reading forms answer for a missing entry; never changed.
const ZString& EmptyString() {
  static const ZString empty;
  return empty;
}

}  // namespace

// ---------------------------------------------------------------- ZStringArray

ZStringArray::ZStringArray(ZIndex count, const char* const texts[], bool caseless) {
  if (count > 0 && texts == nullptr) {
    Z_ASSERT_CODE(ZAssertNullPointer);
    return;
  }
  for (ZIndex i = 0; i < count; ++i) {
    if (texts[i] == nullptr) {
      Z_ASSERT_CODE(ZAssertNullPointer);
      continue;
    }
    ZArray::Append(caseless ? new ZCaselessString(texts[i]) : new ZString(texts[i]));
  }
}

ZString& ZStringArray::operator[](ZIndex index) {
  // Where a misused index leaves the caller something harmless to write to.
  static thread_local ZString scratch;
  if (index < 0 || index == ZToEnd) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    scratch = ZString();
    return scratch;
  }
  // Grow with empty strings, so every index below the size reads as one.
  while (GetSize() <= index) {
    if (ZArray::Append(new ZString) == ZNotFound) {
      scratch = ZString();
      return scratch;
    }
  }
  ZObject* slot = ZArray::GetAt(index);
  if (slot == nullptr) {
    slot = new ZString;
    ZArray::SetAt(index, slot);
  }
  ZString* text = ZCast<ZString>(slot);
  if (text == nullptr) {
    scratch = ZString();
    return scratch;
  }
  return *text;
}

const ZString& ZStringArray::operator[](ZIndex index) const {
  if (index < 0) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    return EmptyString();
  }
  if (index >= GetSize()) return EmptyString();
  const ZString* text = ZCast<ZString>(ZArray::GetAt(index));
  return text != nullptr ? *text : EmptyString();
}

ZObject* ZStringArray::Clone() const {
  auto* copy = new ZStringArray(*this);
  copy->MakeUnique();
  return copy;
}

// ---------------------------------------------------------------- lists and sets

ZObject* ZStringList::Clone() const {
  auto* copy = new ZStringList(*this);
  copy->MakeUnique();
  return copy;
}

ZObject* ZSortedStringList::Clone() const {
  auto* copy = new ZSortedStringList(*this);
  copy->MakeUnique();
  return copy;
}

ZObject* ZStringSet::Clone() const {
  auto* copy = new ZStringSet(*this);
  copy->MakeUnique();
  return copy;
}

ZObject* ZStringDictionary::Clone() const {
  auto* copy = new ZStringDictionary(*this);
  copy->MakeUnique();
  return copy;
}

// ---------------------------------------------------------------- ZStringToString

ZStringToString::ZStringToString(bool keysIgnoreCase, bool valuesIgnoreCase)
    : caselessKeys(keysIgnoreCase), caselessValues(valuesIgnoreCase) {}

ZStringToString::ZStringToString(ZIndex count, const Pair pairs[], bool keysIgnoreCase, bool valuesIgnoreCase)
    : caselessKeys(keysIgnoreCase), caselessValues(valuesIgnoreCase) {
  if (count > 0 && pairs == nullptr) {
    Z_ASSERT_CODE(ZAssertNullPointer);
    return;
  }
  for (ZIndex i = 0; i < count; ++i) {
    if (pairs[i].key == nullptr || pairs[i].value == nullptr) {
      Z_ASSERT_CODE(ZAssertNullPointer);
      continue;
    }
    SetAt(pairs[i].key, pairs[i].value);
  }
}

bool ZStringToString::SetAt(const ZString& key, const ZString& value) {
  // The stored key is a clone of this one, so it keeps its class; lookups
  // use the same class, so both sides of a comparison agree.
  ZString* data = caselessValues ? new ZCaselessString(value) : new ZString(value);
  if (caselessKeys) return ZAbstractDictionary::SetAt(ZCaselessString(key), data);
  return ZAbstractDictionary::SetAt(ZString(key), data);
}

bool ZStringToString::RemoveAt(const ZString& key) {
  return caselessKeys ? Erase(ZCaselessString(key)) : Erase(ZString(key));
}

ZString* ZStringToString::GetAt(const ZString& key) const {
  ZObject* data = caselessKeys ? ZAbstractDictionary::GetAt(ZCaselessString(key))
                               : ZAbstractDictionary::GetAt(ZString(key));
  return static_cast<ZString*>(data);
}

const ZString& ZStringToString::operator[](const ZString& key) const {
  const ZString* value = GetAt(key);
  if (value != nullptr) return *value;
  Z_ASSERT_CODE(ZAssertNullPointer);
  return EmptyString();
}

ZObject* ZStringToString::Clone() const {
  auto* copy = new ZStringToString(*this);
  copy->MakeUnique();
  return copy;
}

// ---------------------------------------------------------------- ZStringToOrdinal

ZStringToOrdinal::ZStringToOrdinal(bool keysIgnoreCase) : caselessKeys(keysIgnoreCase) {}

ZStringToOrdinal::ZStringToOrdinal(ZIndex count, const Pair pairs[], bool keysIgnoreCase)
    : caselessKeys(keysIgnoreCase) {
  if (count > 0 && pairs == nullptr) {
    Z_ASSERT_CODE(ZAssertNullPointer);
    return;
  }
  for (ZIndex i = 0; i < count; ++i) {
    if (pairs[i].key == nullptr) {
      Z_ASSERT_CODE(ZAssertNullPointer);
      continue;
    }
    SetAt(pairs[i].key, pairs[i].value);
  }
}

bool ZStringToOrdinal::SetAt(const ZString& key, int32_t value) {
  auto* data = new ZOrdinalKey(value);
  if (caselessKeys) return ZAbstractDictionary::SetAt(ZCaselessString(key), data);
  return ZAbstractDictionary::SetAt(ZString(key), data);
}

bool ZStringToOrdinal::RemoveAt(const ZString& key) {
  return caselessKeys ? Erase(ZCaselessString(key)) : Erase(ZString(key));
}

bool ZStringToOrdinal::Lookup(const ZString& key, int32_t& value) const {
  const ZObject* data = caselessKeys ? ZAbstractDictionary::GetAt(ZCaselessString(key))
                                     : ZAbstractDictionary::GetAt(ZString(key));
  if (data == nullptr) return false;
  value = static_cast<const ZOrdinalKey*>(data)->GetValue();
  return true;
}

int32_t ZStringToOrdinal::operator[](const ZString& key) const {
  int32_t value = 0;
  if (!Lookup(key, value)) Z_ASSERT_CODE(ZAssertNullPointer);
  return value;
}

int32_t ZStringToOrdinal::GetValueAt(ZIndex index) const {
  const auto* data = static_cast<const ZOrdinalKey*>(DataAt(index));
  return data != nullptr ? data->GetValue() : 0;
}

ZObject* ZStringToOrdinal::Clone() const {
  auto* copy = new ZStringToOrdinal(*this);
  copy->MakeUnique();
  return copy;
}

// ---------------------------------------------------------------- ZOrdinalToString

ZOrdinalToString::ZOrdinalToString(ZIndex count, const Pair pairs[]) {
  if (count > 0 && pairs == nullptr) {
    Z_ASSERT_CODE(ZAssertNullPointer);
    return;
  }
  for (ZIndex i = 0; i < count; ++i) {
    if (pairs[i].value == nullptr) {
      Z_ASSERT_CODE(ZAssertNullPointer);
      continue;
    }
    SetAt(pairs[i].key, pairs[i].value);
  }
}

bool ZOrdinalToString::SetAt(int32_t key, const ZString& value) {
  return ZAbstractDictionary::SetAt(ZOrdinalKey(key), new ZString(value));
}

ZString* ZOrdinalToString::GetAt(int32_t key) const {
  return static_cast<ZString*>(ZAbstractDictionary::GetAt(ZOrdinalKey(key)));
}

const ZString& ZOrdinalToString::operator[](int32_t key) const {
  const ZString* value = GetAt(key);
  if (value != nullptr) return *value;
  Z_ASSERT_CODE(ZAssertNullPointer);
  return EmptyString();
}

int32_t ZOrdinalToString::GetKeyAt(ZIndex index) const {
  const auto* key = static_cast<const ZOrdinalKey*>(KeyAt(index));
  return key != nullptr ? key->GetValue() : 0;
}

ZObject* ZOrdinalToString::Clone() const {
  auto* copy = new ZOrdinalToString(*this);
  copy->MakeUnique();
  return copy;
}
