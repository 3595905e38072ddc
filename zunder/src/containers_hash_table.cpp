// Hash tables (sets and dictionaries) and the integer key. The key's own
// Hash is the bucket number; buckets are circular rings in insertion order.
#include <cstdlib>
#include <new>
#include <ostream>

#include "containers_cursor.h"
#include "zunder/containers.h"

namespace {
// A bucket is the pointer to its first element.
constexpr size_t kBucketSize = sizeof(ZHashElement*);  // NOLINT(bugprone-sizeof-expression)
}  // namespace

// ---------------------------------------------------------------- ZOrdinalKey

ZComparison ZOrdinalKey::Compare(const ZObject& other) const {
  const ZOrdinalKey* that = ZCast<ZOrdinalKey>(&other);
  if (that == nullptr) return GreaterThan;
  return ZSign(static_cast<long long>(value) - that->value);
}

uint32_t ZOrdinalKey::Hash() const {
  // Through 64 bits so that the most negative value has an absolute value.
  const long long magnitude = value < 0 ? -static_cast<long long>(value) : value;
  return static_cast<uint32_t>(magnitude % 23);
}

ZObject* ZOrdinalKey::Clone() const {
  auto* copy = new (std::nothrow) ZOrdinalKey(value);
  if (copy == nullptr) Z_ASSERT_CODE(ZAssertOutOfMemory);
  return copy;
}

void ZOrdinalKey::Print(std::ostream& out) const { out << value; }

// ---------------------------------------------------------------- ZHashTableRecord

struct ZHashTableRecord : ZReferenceRecord {
  ZHashElement** buckets = nullptr;  // ring heads, null for an empty bucket
  ZIndex bucketCount = 0;
  bool keysAreData = false;  // a set: the key is the object (never cloned)
  // Cursor: the element visited last, its bucket and its index (ZNotFound
  // when the index is unknown, after an insertion or a lookup);
  // containers_cursor.h tells who may move it.
  std::atomic_flag cursorBusy;
  ZHashElement* lastElement = nullptr;
  ZIndex lastBucket = 0;
  ZIndex lastIndex = ZNotFound;

  ~ZHashTableRecord() override { ZHashTableRecord::DestroyContents(); }

  ZReferenceRecord* NewEmpty() const override {
    auto* fresh = new (std::nothrow) ZHashTableRecord;
    if (fresh == nullptr) return nullptr;
    fresh->deleteObjects = deleteObjects;
    fresh->keysAreData = keysAreData;
    return fresh;
  }

  ZReferenceRecord* Duplicate() const override {
    auto* copy = new (std::nothrow) ZHashTableRecord;
    if (copy == nullptr) return nullptr;
    copy->deleteObjects = deleteObjects;
    copy->keysAreData = keysAreData;
    if (bucketCount > 0 && !copy->Grow(bucketCount)) {
      delete copy;
      return nullptr;
    }
    for (ZIndex b = 0; b < bucketCount; ++b) {
      ZHashElement* head = buckets[b];
      if (head == nullptr) continue;
      ZHashElement* e = head;
      do {
        if (!copy->CopyElement(*e, b)) {
          delete copy;
          return nullptr;
        }
        e = e->next;
      } while (e != head);
    }
    return copy;
  }

  void DestroyContents() override {
    ZHashElement** old = buckets;
    const ZIndex oldBucketCount = bucketCount;
    buckets = nullptr;
    bucketCount = 0;
    size = 0;
    ResetCursor();
    for (ZIndex b = 0; b < oldBucketCount; ++b) {
      ZHashElement* head = old[b];
      if (head == nullptr) continue;
      head->previous->next = nullptr;  // open the ring
      while (head != nullptr) {
        ZHashElement* next = head->next;
        Free(head);
        head = next;
      }
    }
    std::free(old);
  }

  void ResetCursor() {
    lastElement = nullptr;
    lastBucket = 0;
    lastIndex = ZNotFound;
  }

  // Deletes an element with what it owns: dictionary keys are always clones;
  // objects only when the table owns them.
  void Free(ZHashElement* e) const {
    if (keysAreData) {
      if (deleteObjects) delete e->key;
    } else {
      delete e->key;
      if (deleteObjects) delete e->data;
    }
    delete e;
  }

  // Adds a copy of another table's element at the end of bucket b.
  bool CopyElement(const ZHashElement& from, ZIndex b) {
    ZObject* key;
    ZObject* data;
    if (keysAreData) {
      key = data = deleteObjects ? from.key->Clone() : from.key;
      if (key == nullptr) return true;  // a failed Clone was reported; left out
    } else {
      key = from.key->Clone();
      if (key == nullptr) return true;
      data = deleteObjects ? from.data->Clone() : from.data;
      if (data == nullptr) {
        delete key;
        return true;
      }
    }
    auto* element = new (std::nothrow) ZHashElement;
    if (element == nullptr) {
      if (keysAreData) {
        if (deleteObjects) delete key;
      } else {
        delete key;
        if (deleteObjects) delete data;
      }
      return false;
    }
    element->key = key;
    element->data = data;
    Link(element, b);
    return true;
  }

  bool Grow(ZIndex wanted) {
    if (wanted <= bucketCount) return true;
    void* grown = std::realloc(buckets, static_cast<size_t>(wanted) * kBucketSize);
    if (grown == nullptr) return false;
    buckets = static_cast<ZHashElement**>(grown);
    for (ZIndex b = bucketCount; b < wanted; ++b) buckets[b] = nullptr;
    bucketCount = wanted;
    return true;
  }

  // Appends the element to the end of bucket b's ring.
  void Link(ZHashElement* element, ZIndex b) {
    ZHashElement* head = buckets[b];
    if (head == nullptr) {
      element->next = element->previous = element;
      buckets[b] = element;
    } else {
      element->next = head;
      element->previous = head->previous;
      head->previous->next = element;
      head->previous = element;
    }
    ++size;
  }

  void Unlink(ZHashElement* element, ZIndex b) {
    if (element->next == element) {
      buckets[b] = nullptr;
    } else {
      element->previous->next = element->next;
      element->next->previous = element->previous;
      if (buckets[b] == element) buckets[b] = element->next;
    }
    --size;
  }

  // The element whose stored key compares EqualTo, trying the last one found
  // first; the element found becomes the cursor's (at an unknown index).
  ZHashElement* Find(const ZObject& key, ZIndex b) {
    const ZCursorHold cursor(cursorBusy);
    if (cursor.IsHeld()) lastIndex = ZNotFound;
    if (b >= bucketCount || buckets[b] == nullptr) return nullptr;
    if (cursor.IsHeld() && lastElement != nullptr && lastBucket == b && lastElement->key->Compare(key) == EqualTo) {
      return lastElement;
    }
    ZHashElement* head = buckets[b];
    ZHashElement* e = head;
    do {
      if (e->key->Compare(key) == EqualTo) {
        if (cursor.IsHeld()) {
          lastElement = e;
          lastBucket = b;
        }
        return e;
      }
      e = e->next;
    } while (e != head);
    return nullptr;
  }

  // First bucket at or after b that holds an element (bucketCount if none).
  ZIndex NextBucket(ZIndex b) const {
    while (b < bucketCount && buckets[b] == nullptr) ++b;
    return b;
  }

  ZIndex PreviousBucket(ZIndex b) const {
    while (b >= 0 && buckets[b] == nullptr) --b;
    return b;
  }

  // Moves the cursor one element on in index order.
  void StepForward() {
    if (lastElement->next != buckets[lastBucket]) {
      lastElement = lastElement->next;
    } else {
      lastBucket = NextBucket(lastBucket + 1);
      lastElement = buckets[lastBucket];
    }
    ++lastIndex;
  }

  void StepBackward() {
    if (lastElement != buckets[lastBucket]) {
      lastElement = lastElement->previous;
    } else {
      lastBucket = PreviousBucket(lastBucket - 1);
      lastElement = buckets[lastBucket]->previous;  // the bucket's tail
    }
    --lastIndex;
  }
};

namespace {
// The bucket of a key, or -1 for a hash too large to index the table.
ZIndex BucketOf(const ZObject& key) {
  const uint32_t hash = key.Hash();
  return hash < static_cast<uint32_t>(ZNotFound) ? static_cast<ZIndex>(hash) : -1;
}
}  // namespace

// ---------------------------------------------------------------- ZHashTable

ZHashTable::ZHashTable(bool keysAreData) : ZContainer(new (std::nothrow) ZHashTableRecord) {
  if (table() != nullptr) table()->keysAreData = keysAreData;
}

ZHashTableRecord* ZHashTable::table() const { return static_cast<ZHashTableRecord*>(record); }

ZHashElement* ZHashTable::FindElement(const ZObject& key) const {
  ZHashTableRecord* t = table();
  if (t == nullptr) return nullptr;
  // A key too large for any bucket is in none: the cursor stays as it is.
  const ZIndex b = BucketOf(key);
  if (b < 0) return nullptr;
  return t->Find(key, b);
}

bool ZHashTable::Store(const ZObject& key, ZObject* data) {
  if (data == nullptr) {
    Erase(key);
    return true;
  }
  // An owning table took the object over; when it cannot be stored it is
  // deleted rather than leaked.
  auto refuse = [this, data] {
    if (record != nullptr && record->deleteObjects) delete data;
    return false;
  };
  const ZIndex b = BucketOf(key);
  if (b < 0) {
    Z_ASSERT_CODE(ZAssertInvalidParameter);
    return refuse();
  }
  if (!Separate()) return refuse();
  ZHashTableRecord* t = table();
  if (ZHashElement* found = t->Find(key, b)) {
    if (t->keysAreData) {
      // A set: the new object takes the place of the equal one.
      ZObject* old = found->key;
      found->key = found->data = data;
      if (t->deleteObjects && old != data) delete old;
    } else {
      ZObject* old = found->data;
      found->data = data;
      if (t->deleteObjects && old != data) delete old;
    }
    return true;
  }
  if (!t->Grow(b + 1)) {
    Z_ASSERT_CODE(ZAssertOutOfMemory);
    return refuse();
  }
  ZObject* storedKey = t->keysAreData ? data : key.Clone();
  if (storedKey == nullptr) return refuse();  // the failed Clone was reported
  auto* element = new (std::nothrow) ZHashElement;
  if (element == nullptr) {
    if (!t->keysAreData) delete storedKey;
    Z_ASSERT_CODE(ZAssertOutOfMemory);
    return refuse();
  }
  element->key = storedKey;
  element->data = data;
  t->Link(element, b);
  t->lastElement = element;
  t->lastBucket = b;
  t->lastIndex = ZNotFound;
  return true;
}

bool ZHashTable::Erase(const ZObject& key) {
  // Look first: an absent key needs no private copy.
  if (FindElement(key) == nullptr) return false;
  if (!Separate()) return false;
  ZHashTableRecord* t = table();
  const ZIndex b = BucketOf(key);
  ZHashElement* element = t->Find(key, b);
  if (element == nullptr) return false;
  t->Unlink(element, b);
  t->ResetCursor();
  t->Free(element);
  return true;
}

ZHashElement* ZHashTable::ElementAt(ZIndex index) const {
  ZHashTableRecord* t = table();
  if (t == nullptr || index < 0 || index >= t->size) return nullptr;
  const ZCursorHold cursor(t->cursorBusy);
  if (!cursor.IsHeld()) {
    // Counted from the first bucket, leaving the cursor to its holder.
    for (ZIndex b = t->NextBucket(0); b < t->bucketCount; b = t->NextBucket(b + 1)) {
      ZHashElement* e = t->buckets[b];
      do {
        if (index-- == 0) return e;
        e = e->next;
      } while (e != t->buckets[b]);
    }
    return nullptr;
  }
  if (index == 0 || t->lastElement == nullptr || t->lastIndex == ZNotFound) {
    t->lastBucket = t->NextBucket(0);
    t->lastElement = t->buckets[t->lastBucket];
    t->lastIndex = 0;
  }
  // One element at a time from the cursor: in-order walks cost one step.
  while (t->lastIndex < index) t->StepForward();
  while (t->lastIndex > index) t->StepBackward();
  return t->lastElement;
}

ZObject* ZHashTable::KeyAt(ZIndex index) const {
  const ZHashElement* element = ElementAt(index);
  return element != nullptr ? element->key : nullptr;
}

ZObject* ZHashTable::DataAt(ZIndex index) const {
  const ZHashElement* element = ElementAt(index);
  return element != nullptr ? element->data : nullptr;
}

bool ZHashTable::SetSize(ZIndex size) {
  if (size == GetSize()) return true;
  if (size != 0) {
    Z_ASSERT_CODE(size < 0 ? ZAssertInvalidIndex : ZAssertInvalidParameter);
    return false;
  }
  RemoveAll();
  return true;
}

void ZHashTable::RemoveAll() { DestroyContents(); }

ZComparison ZHashTable::Compare(const ZObject& other) const {
  const ZHashTable* that = ZCast<ZHashTable>(&other);
  if (that == nullptr) return GreaterThan;
  if (GetSize() != that->GetSize()) return GetSize() < that->GetSize() ? LessThan : GreaterThan;
  // Same size: element by element in index order, key first, then data.
  for (ZIndex i = 0; i < GetSize(); ++i) {
    const ZHashElement* a = ElementAt(i);
    const ZHashElement* b = that->ElementAt(i);
    ZComparison result = a->key->Compare(*b->key);
    if (result == EqualTo && a->data != a->key) result = a->data->Compare(*b->data);
    if (result != EqualTo) return result;
  }
  return EqualTo;
}

// ---------------------------------------------------------------- sets

ZAbstractSet::ZAbstractSet() : ZHashTable(true) {}

bool ZAbstractSet::Append(ZObject* object) {
  if (object == nullptr) {
    Z_ASSERT_CODE(ZAssertNullPointer);
    return false;
  }
  return Store(*object, object);
}

bool ZAbstractSet::Contains(const ZObject& object) const { return FindElement(object) != nullptr; }

ZObject* ZAbstractSet::Find(const ZObject& object) const {
  const ZHashElement* element = FindElement(object);
  return element != nullptr ? element->key : nullptr;
}

bool ZAbstractSet::Remove(const ZObject& object) { return Erase(object); }

void ZAbstractSet::Print(std::ostream& out) const {
  for (ZIndex i = 0; i < GetSize(); ++i) {
    KeyAt(i)->Print(out);
    out << '\n';
  }
}

ZObject* ZSet::Clone() const {
  auto* copy = new (std::nothrow) ZSet(*this);
  if (copy == nullptr) {
    Z_ASSERT_CODE(ZAssertOutOfMemory);
    return nullptr;
  }
  copy->MakeUnique();
  return copy;
}

// ---------------------------------------------------------------- dictionaries

ZAbstractDictionary::ZAbstractDictionary() : ZHashTable(false) {}

bool ZAbstractDictionary::SetAt(const ZObject& key, ZObject* data) { return Store(key, data); }

ZObject* ZAbstractDictionary::GetAt(const ZObject& key) const {
  const ZHashElement* element = FindElement(key);
  return element != nullptr ? element->data : nullptr;
}

ZObject* ZAbstractDictionary::operator[](const ZObject& key) const {
  ZObject* data = GetAt(key);
  if (data == nullptr) Z_ASSERT_CODE(ZAssertNullPointer);
  return data;
}

bool ZAbstractDictionary::Contains(const ZObject& key) const { return FindElement(key) != nullptr; }

void ZAbstractDictionary::Print(std::ostream& out) const {
  for (ZIndex i = 0; i < GetSize(); ++i) {
    KeyAt(i)->Print(out);
    out << '=';
    DataAt(i)->Print(out);
    out << '\n';
  }
}

ZObject* ZDictionary::Clone() const {
  auto* copy = new (std::nothrow) ZDictionary(*this);
  if (copy == nullptr) {
    Z_ASSERT_CODE(ZAssertOutOfMemory);
    return nullptr;
  }
  copy->MakeUnique();
  return copy;
}

int32_t ZOrdinalDictionary::GetKeyAt(ZIndex index) const {
  const ZOrdinalKey* key = ZCast<ZOrdinalKey>(KeyAt(index));
  return key != nullptr ? key->GetValue() : 0;
}

ZObject* ZOrdinalDictionary::Clone() const {
  auto* copy = new (std::nothrow) ZOrdinalDictionary(*this);
  if (copy == nullptr) {
    Z_ASSERT_CODE(ZAssertOutOfMemory);
    return nullptr;
  }
  copy->MakeUnique();
  return copy;
}
