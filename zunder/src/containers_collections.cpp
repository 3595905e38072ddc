// Object collections held in order of position: the common collection
// operations, the pointer array (ZArray) and the doubly linked list (ZList).
#include <cstdlib>
#include <new>
#include <ostream>

#include "containers_cursor.h"
#include "zunder/containers.h"

namespace {
// The arrays hold pointers to their elements: a slot is the size of a pointer.
constexpr size_t kSlotSize = sizeof(ZObject*);  // NOLINT(bugprone-sizeof-expression)
}  // namespace

// ---------------------------------------------------------------- ZCollection

bool ZCollection::SetSize(ZIndex size) {
  if (size < 0) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    return false;
  }
  if (size > GetSize()) return false;  // only arrays can grow with empty slots
  while (GetSize() > size) {
    const ZIndex before = GetSize();
    RemoveAt(before - 1);
    if (GetSize() == before) return false;  // removal failed (already reported)
  }
  return true;
}

void ZCollection::Print(std::ostream& out) const {
  const ZIndex size = GetSize();
  for (ZIndex i = 0; i < size; ++i) {
    if (const ZObject* object = GetAt(i)) object->Print(out);
    out << '\n';
  }
}

// ---------------------------------------------------------------- ZArrayObjects

struct ZObjectArrayRecord : ZReferenceRecord {
  ZObject** items = nullptr;
  ZIndex capacity = 0;

  ~ZObjectArrayRecord() override { ZObjectArrayRecord::DestroyContents(); }

  ZReferenceRecord* NewEmpty() const override {
    auto* fresh = new (std::nothrow) ZObjectArrayRecord;
    if (fresh == nullptr) return nullptr;
    fresh->deleteObjects = deleteObjects;
    return fresh;
  }

  ZReferenceRecord* Duplicate() const override {
    auto* copy = new (std::nothrow) ZObjectArrayRecord;
    if (copy == nullptr) return nullptr;
    copy->deleteObjects = deleteObjects;
    if (!copy->Reserve(size)) {
      delete copy;
      return nullptr;
    }
    for (ZIndex i = 0; i < size; ++i) {
      // Owned objects are cloned; a failed Clone (reported) leaves the slot empty.
      copy->items[i] = (deleteObjects && items[i] != nullptr) ? items[i]->Clone() : items[i];
    }
    copy->size = size;
    return copy;
  }

  void DestroyContents() override {
    // Detach first so the record is consistent while objects are deleted.
    ZObject** old = items;
    const ZIndex oldSize = size;
    items = nullptr;
    size = 0;
    capacity = 0;
    if (deleteObjects) {
      for (ZIndex i = 0; i < oldSize; ++i) delete old[i];
    }
    std::free(old);
  }

  // Room for n pointers; grows geometrically so appending is amortised O(1).
  bool Reserve(ZIndex n) {
    if (n <= capacity) return true;
    long long grown = static_cast<long long>(capacity) * 2;
    if (grown < n) grown = n;
    if (grown < 4) grown = 4;
    if (grown >= ZNotFound) grown = ZNotFound - 1;
    void* buffer = std::realloc(items, static_cast<size_t>(grown) * kSlotSize);
    if (buffer == nullptr) return false;
    items = static_cast<ZObject**>(buffer);
    capacity = static_cast<ZIndex>(grown);
    return true;
  }
};

ZArrayObjects::ZArrayObjects() : ZCollection(new (std::nothrow) ZObjectArrayRecord) {}

ZObjectArrayRecord* ZArrayObjects::objects() const { return static_cast<ZObjectArrayRecord*>(record); }

ZIndex ZArrayObjects::Append(ZObject* object) {
  if (object == nullptr) {
    Z_ASSERT_CODE(ZAssertNullPointer);
    return ZNotFound;
  }
  if (!Separate()) return ZNotFound;
  ZObjectArrayRecord* a = objects();
  if (!a->Reserve(a->size + 1)) {
    Z_ASSERT_CODE(ZAssertOutOfMemory);
    return ZNotFound;
  }
  a->items[a->size] = object;
  return a->size++;
}

ZIndex ZArrayObjects::Insert(ZObject* before, ZObject* object) {
  if (object == nullptr) {
    Z_ASSERT_CODE(ZAssertNullPointer);
    return ZNotFound;
  }
  const ZIndex index = IndexOfObject(before);
  return index == ZNotFound ? Append(object) : InsertAt(index, object);
}

ZIndex ZArrayObjects::InsertAt(ZIndex index, ZObject* object) {
  if (object == nullptr) {
    Z_ASSERT_CODE(ZAssertNullPointer);
    return ZNotFound;
  }
  if (index < 0) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    return ZNotFound;
  }
  if (index >= GetSize()) return Append(object);
  if (!Separate()) return ZNotFound;
  ZObjectArrayRecord* a = objects();
  if (!a->Reserve(a->size + 1)) {
    Z_ASSERT_CODE(ZAssertOutOfMemory);
    return ZNotFound;
  }
  std::memmove(a->items + index + 1, a->items + index, static_cast<size_t>(a->size - index) * kSlotSize);
  a->items[index] = object;
  ++a->size;
  return index;
}

bool ZArrayObjects::Remove(ZObject* object) {
  // Found before separating: a separated owning copy holds clones, but at
  // the same positions.
  const ZIndex index = IndexOfObject(object);
  if (index == ZNotFound) return false;
  RemoveAt(index);
  return true;
}

ZObject* ZArrayObjects::RemoveAt(ZIndex index) {
  if (index < 0 || index >= GetSize()) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    return nullptr;
  }
  if (!Separate()) return nullptr;
  ZObjectArrayRecord* a = objects();
  ZObject* object = a->items[index];
  std::memmove(a->items + index, a->items + index + 1, static_cast<size_t>(a->size - index - 1) * kSlotSize);
  --a->size;
  if (a->deleteObjects) {
    delete object;
    return nullptr;
  }
  return object;
}

void ZArrayObjects::RemoveAll() { DestroyContents(); }

bool ZArrayObjects::SetAt(ZIndex index, ZObject* object) {
  if (object == nullptr) {
    Z_ASSERT_CODE(ZAssertNullPointer);
    return false;
  }
  if (index < 0 || index == ZNotFound) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    return false;
  }
  if (index >= GetSize() && !SetSize(index + 1)) return false;
  if (!Separate()) return false;
  ZObjectArrayRecord* a = objects();
  ZObject* old = a->items[index];
  a->items[index] = object;
  if (a->deleteObjects && old != object) delete old;
  return true;
}

ZObject* ZArrayObjects::GetAt(ZIndex index) const {
  if (index < 0) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    return nullptr;
  }
  if (index >= GetSize()) return nullptr;
  return objects()->items[index];
}

ZIndex ZArrayObjects::IndexOfObject(const ZObject* object) const {
  if (object == nullptr) return ZNotFound;
  const ZIndex size = GetSize();
  for (ZIndex i = 0; i < size; ++i) {
    if (objects()->items[i] == object) return i;
  }
  return ZNotFound;
}

ZIndex ZArrayObjects::IndexOfValue(const ZObject& object) const {
  const ZIndex size = GetSize();
  for (ZIndex i = 0; i < size; ++i) {
    const ZObject* item = objects()->items[i];
    if (item != nullptr && item->Compare(object) == EqualTo) return i;
  }
  return ZNotFound;
}

bool ZArrayObjects::SetSize(ZIndex size) {
  if (size < 0 || size == ZNotFound) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    return false;
  }
  if (size == GetSize()) return true;
  if (!Separate()) return false;
  ZObjectArrayRecord* a = objects();
  if (size < a->size) {
    for (ZIndex i = size; i < a->size; ++i) {
      if (a->deleteObjects) delete a->items[i];
    }
  } else {
    if (!a->Reserve(size)) {
      Z_ASSERT_CODE(ZAssertOutOfMemory);
      return false;
    }
    for (ZIndex i = a->size; i < size; ++i) a->items[i] = nullptr;
  }
  a->size = size;
  return true;
}

namespace {
// Element order with empty slots (null) before any object.
ZComparison CompareSlots(const ZObject* a, const ZObject* b) {
  if (a == nullptr || b == nullptr) return a == b ? EqualTo : (a == nullptr ? LessThan : GreaterThan);
  return a->Compare(*b);
}
}  // namespace

ZComparison ZArrayObjects::Compare(const ZObject& other) const {
  const ZArrayObjects* that = ZCast<ZArrayObjects>(&other);
  if (that == nullptr) return GreaterThan;
  const ZIndex mine = GetSize();
  const ZIndex theirs = that->GetSize();
  for (ZIndex i = 0; i < mine && i < theirs; ++i) {
    const ZComparison result = CompareSlots(objects()->items[i], that->objects()->items[i]);
    if (result != EqualTo) return result;
  }
  return ZSign(static_cast<long long>(mine) - theirs);
}

ZObject* ZArrayObjects::Clone() const {
  auto* copy = new (std::nothrow) ZArrayObjects(*this);
  if (copy == nullptr) {
    Z_ASSERT_CODE(ZAssertOutOfMemory);
    return nullptr;
  }
  copy->MakeUnique();
  return copy;
}

ZObject* ZArray::Clone() const {
  auto* copy = new (std::nothrow) ZArray(*this);
  if (copy == nullptr) {
    Z_ASSERT_CODE(ZAssertOutOfMemory);
    return nullptr;
  }
  copy->MakeUnique();
  return copy;
}

// ---------------------------------------------------------------- ZList

struct ZListElement {
  ZListElement* previous = nullptr;
  ZListElement* next = nullptr;
  ZObject* object = nullptr;
};

struct ZListRecord : ZReferenceRecord {
  ZListElement* head = nullptr;
  ZListElement* tail = nullptr;
  // The last element visited by index (containers_cursor.h tells who may move it).
  std::atomic_flag cursorBusy;
  ZListElement* last = nullptr;
  ZIndex lastIndex = 0;

  ~ZListRecord() override { ZListRecord::DestroyContents(); }

  ZReferenceRecord* NewEmpty() const override {
    auto* fresh = new (std::nothrow) ZListRecord;
    if (fresh == nullptr) return nullptr;
    fresh->deleteObjects = deleteObjects;
    return fresh;
  }

  ZReferenceRecord* Duplicate() const override {
    auto* copy = new (std::nothrow) ZListRecord;
    if (copy == nullptr) return nullptr;
    copy->deleteObjects = deleteObjects;
    for (const ZListElement* e = head; e != nullptr; e = e->next) {
      ZObject* object = deleteObjects ? e->object->Clone() : e->object;
      if (object == nullptr) continue;  // failed Clone, already reported
      auto* element = new (std::nothrow) ZListElement;
      if (element == nullptr) {
        if (deleteObjects) delete object;
        delete copy;
        return nullptr;
      }
      element->object = object;
      copy->LinkBefore(element, nullptr);
    }
    return copy;
  }

  void DestroyContents() override {
    ZListElement* e = head;
    head = tail = last = nullptr;
    lastIndex = 0;
    size = 0;
    while (e != nullptr) {
      ZListElement* next = e->next;
      if (deleteObjects) delete e->object;
      delete e;
      e = next;
    }
  }

  // Links the element before another one (null: at the tail).
  void LinkBefore(ZListElement* element, ZListElement* before) {
    element->next = before;
    element->previous = before != nullptr ? before->previous : tail;
    if (element->previous != nullptr) {
      element->previous->next = element;
    } else {
      head = element;
    }
    if (before != nullptr) {
      before->previous = element;
    } else {
      tail = element;
    }
    ++size;
  }
};

ZAbstractList::ZAbstractList() : ZCollection(new (std::nothrow) ZListRecord) {}

ZListRecord* ZAbstractList::list() const { return static_cast<ZListRecord*>(record); }

ZListElement* ZAbstractList::ElementAt(ZIndex index) const {
  ZListRecord* r = list();
  if (r == nullptr || index < 0 || index >= r->size) return nullptr;
  // Start from whichever of the last visited element, the tail and the head
  // is nearest, so walking the indexes in order costs one step each.
  const ZCursorHold cursor(r->cursorBusy);
  ZListElement* element;
  ZIndex at;
  if (cursor.IsHeld() && r->last != nullptr && index >= r->lastIndex / 2 &&
      index <= (static_cast<long long>(r->lastIndex) + r->size) / 2) {
    element = r->last;
    at = r->lastIndex;
  } else if (index >= r->size / 2) {
    element = r->tail;
    at = r->size - 1;
  } else {
    element = r->head;
    at = 0;
  }
  for (; at < index; ++at) element = element->next;
  for (; at > index; --at) element = element->previous;
  if (cursor.IsHeld()) {
    r->last = element;
    r->lastIndex = index;
  }
  return element;
}

ZObject* ZAbstractList::Unlink(ZListElement* element, ZIndex index) {
  ZListRecord* r = list();
  if (r->last == element) {
    // Keep the cursor on a neighbour at a known index.
    if (element->next != nullptr) {
      r->last = element->next;
    } else {
      r->last = element->previous;
      r->lastIndex = index - 1;
    }
  } else if (r->last != nullptr && index < r->lastIndex) {
    --r->lastIndex;
  }
  if (element->previous != nullptr) {
    element->previous->next = element->next;
  } else {
    r->head = element->next;
  }
  if (element->next != nullptr) {
    element->next->previous = element->previous;
  } else {
    r->tail = element->previous;
  }
  --r->size;
  ZObject* object = element->object;
  delete element;
  if (r->deleteObjects) {
    delete object;
    return nullptr;
  }
  return object;
}

ZIndex ZAbstractList::Append(ZObject* object) {
  if (object == nullptr) {
    Z_ASSERT_CODE(ZAssertNullPointer);
    return ZNotFound;
  }
  if (!Separate()) return ZNotFound;
  auto* element = new (std::nothrow) ZListElement;
  if (element == nullptr) {
    Z_ASSERT_CODE(ZAssertOutOfMemory);
    return ZNotFound;
  }
  element->object = object;
  list()->LinkBefore(element, nullptr);
  return list()->size - 1;
}

ZIndex ZAbstractList::Insert(ZObject* before, ZObject* object) {
  if (object == nullptr) {
    Z_ASSERT_CODE(ZAssertNullPointer);
    return ZNotFound;
  }
  const ZIndex index = IndexOfObject(before);
  return index == ZNotFound ? Append(object) : InsertAt(index, object);
}

ZIndex ZAbstractList::InsertAt(ZIndex index, ZObject* object) {
  if (object == nullptr) {
    Z_ASSERT_CODE(ZAssertNullPointer);
    return ZNotFound;
  }
  if (index < 0) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    return ZNotFound;
  }
  if (index >= GetSize()) return Append(object);
  if (!Separate()) return ZNotFound;
  auto* element = new (std::nothrow) ZListElement;
  if (element == nullptr) {
    Z_ASSERT_CODE(ZAssertOutOfMemory);
    return ZNotFound;
  }
  element->object = object;
  ZListElement* before = ElementAt(index);
  list()->LinkBefore(element, before);
  // The new element now holds the index the cursor pointed at.
  list()->last = element;
  return index;
}

bool ZAbstractList::Remove(ZObject* object) {
  const ZIndex index = IndexOfObject(object);
  if (index == ZNotFound) return false;
  RemoveAt(index);
  return true;
}

ZObject* ZAbstractList::RemoveAt(ZIndex index) {
  if (index < 0 || index >= GetSize()) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    return nullptr;
  }
  if (!Separate()) return nullptr;
  return Unlink(ElementAt(index), index);
}

void ZAbstractList::RemoveAll() { DestroyContents(); }

bool ZAbstractList::SetAt(ZIndex index, ZObject* object) {
  if (object == nullptr) {
    Z_ASSERT_CODE(ZAssertNullPointer);
    return false;
  }
  if (index < 0 || index >= GetSize()) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    return false;
  }
  if (!Separate()) return false;
  ZListElement* element = ElementAt(index);
  ZObject* old = element->object;
  element->object = object;
  if (list()->deleteObjects && old != object) delete old;
  return true;
}

ZObject* ZAbstractList::GetAt(ZIndex index) const {
  const ZListElement* element = ElementAt(index);
  return element != nullptr ? element->object : nullptr;
}

ZIndex ZAbstractList::IndexOfObject(const ZObject* object) const {
  ZListRecord* r = list();
  if (r == nullptr || object == nullptr) return ZNotFound;
  ZIndex index = 0;
  for (ZListElement* e = r->head; e != nullptr; e = e->next, ++index) {
    if (e->object == object) {
      // A removal or insertion at this index usually follows.
      const ZCursorHold cursor(r->cursorBusy);
      if (cursor.IsHeld()) {
        r->last = e;
        r->lastIndex = index;
      }
      return index;
    }
  }
  return ZNotFound;
}

ZIndex ZAbstractList::IndexOfValue(const ZObject& object) const {
  ZListRecord* r = list();
  if (r == nullptr) return ZNotFound;
  ZIndex index = 0;
  for (const ZListElement* e = r->head; e != nullptr; e = e->next, ++index) {
    if (e->object->Compare(object) == EqualTo) return index;
  }
  return ZNotFound;
}

ZComparison ZAbstractList::Compare(const ZObject& other) const {
  const ZAbstractList* that = ZCast<ZAbstractList>(&other);
  if (that == nullptr) return GreaterThan;
  const ZListElement* a = list() != nullptr ? list()->head : nullptr;
  const ZListElement* b = that->list() != nullptr ? that->list()->head : nullptr;
  for (; a != nullptr && b != nullptr; a = a->next, b = b->next) {
    const ZComparison result = a->object->Compare(*b->object);
    if (result != EqualTo) return result;
  }
  if (a == nullptr && b == nullptr) return EqualTo;
  return a == nullptr ? LessThan : GreaterThan;
}

ZObject* ZList::Clone() const {
  auto* copy = new (std::nothrow) ZList(*this);
  if (copy == nullptr) {
    Z_ASSERT_CODE(ZAssertOutOfMemory);
    return nullptr;
  }
  copy->MakeUnique();
  return copy;
}
