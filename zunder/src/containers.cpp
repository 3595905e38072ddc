// ZContainer's shared reference record and the plain-element arrays.
#include <cstdlib>
#include <new>

#include "zunder/containers.h"

// ---------------------------------------------------------------- ZContainer

ZContainer::ZContainer(ZReferenceRecord* fresh) : record(fresh) {
  if (record == nullptr) Z_ASSERT_CODE(ZAssertOutOfMemory);
}

ZContainer::ZContainer(const ZContainer& other) : ZObject(other), record(other.record) {
  if (record != nullptr) record->count.fetch_add(1, std::memory_order_relaxed);
}

// NOLINTNEXTLINE(bugprone-unhandled-self-assignment): assigning to itself shares the same record
ZContainer& ZContainer::operator=(const ZContainer& other) {
  if (record != other.record) {
    if (other.record != nullptr) other.record->count.fetch_add(1, std::memory_order_relaxed);
    Adopt(other.record);
  }
  return *this;
}

ZContainer::~ZContainer() { Release(record); }

void ZContainer::Release(ZReferenceRecord* old) {
  if (old != nullptr && old->count.fetch_sub(1, std::memory_order_acq_rel) == 1) delete old;
}

void ZContainer::Adopt(ZReferenceRecord* other) {
  ZReferenceRecord* old = record;
  record = other;
  Release(old);
}

ZIndex ZContainer::GetSize() const { return record != nullptr ? record->size : 0; }

bool ZContainer::IsEmpty() const { return GetSize() == 0; }

bool ZContainer::MakeUnique() {
  if (record == nullptr || record->count.load(std::memory_order_acquire) == 1) return true;
  ZReferenceRecord* copy = record->Duplicate();
  if (copy == nullptr) {
    Z_ASSERT_CODE(ZAssertOutOfMemory);
    return false;
  }
  Adopt(copy);
  return false;
}

void ZContainer::DestroyContents() {
  if (record == nullptr) return;
  if (record->count.load(std::memory_order_acquire) != 1) {
    // Other holders keep the contents; this container starts afresh.
    ZReferenceRecord* fresh = record->NewEmpty();
    if (fresh == nullptr) {
      Z_ASSERT_CODE(ZAssertOutOfMemory);
      return;
    }
    Adopt(fresh);
    return;
  }
  record->DestroyContents();
}

uint32_t ZContainer::GetReferenceCount() const {
  return record != nullptr ? record->count.load(std::memory_order_relaxed) : 0;
}

bool ZContainer::GetDeleteObjects() const { return record != nullptr && record->deleteObjects; }

void ZContainer::SetDeleteObjects(bool own) {
  if (record != nullptr) record->deleteObjects = own;
}

// ---------------------------------------------------------------- ZArrayRecord

ZArrayRecord::~ZArrayRecord() { std::free(buffer); }

ZReferenceRecord* ZArrayRecord::Duplicate() const {
  auto* copy = new (std::nothrow) ZArrayRecord;
  if (copy == nullptr) return nullptr;
  copy->elementSize = elementSize;
  copy->deleteObjects = deleteObjects;
  if (size > 0) {
    size_t bytes = static_cast<size_t>(size) * static_cast<size_t>(elementSize);
    copy->buffer = static_cast<char*>(std::malloc(bytes));
    if (copy->buffer == nullptr) {
      delete copy;
      return nullptr;
    }
    std::memcpy(copy->buffer, buffer, bytes);
    copy->size = size;
    copy->capacity = size;
  }
  return copy;
}

ZReferenceRecord* ZArrayRecord::NewEmpty() const {
  auto* fresh = new (std::nothrow) ZArrayRecord;
  if (fresh == nullptr) return nullptr;
  fresh->elementSize = elementSize;
  fresh->deleteObjects = deleteObjects;
  return fresh;
}

void ZArrayRecord::DestroyContents() {
  std::free(buffer);
  buffer = nullptr;
  size = 0;
  capacity = 0;
}

// ---------------------------------------------------------------- ZAbstractArray

namespace {
ZArrayRecord* NewArrayRecord(int32_t elementSize) {
  auto* record = new (std::nothrow) ZArrayRecord;
  if (record != nullptr) record->elementSize = elementSize > 0 ? elementSize : 1;
  return record;
}
}  // namespace

ZAbstractArray::ZAbstractArray(int32_t elementSize) : ZContainer(NewArrayRecord(elementSize)) {
  if (elementSize <= 0) Z_ASSERT_CODE(ZAssertInvalidParameter);
}

bool ZAbstractArray::SetSize(ZIndex n) {
  ZArrayRecord* a = array();
  if (a == nullptr) return false;
  if (n < 0) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    return false;
  }
  if (n == 0) {
    a->DestroyContents();
    return true;
  }
  const size_t element = static_cast<size_t>(a->elementSize);
  if (n > a->capacity || n < a->capacity / 2) {
    // Shrinking to less than half gives memory back; growing reallocates.
    void* grown = std::realloc(a->buffer, static_cast<size_t>(n) * element);
    if (grown == nullptr) return false;
    a->buffer = static_cast<char*>(grown);
    a->capacity = n;
  }
  if (n > a->size) {
    std::memset(a->buffer + static_cast<size_t>(a->size) * element, 0, static_cast<size_t>(n - a->size) * element);
  }
  a->size = n;
  return true;
}

bool ZAbstractArray::SetMinSize(ZIndex n) {
  if (n < 0) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    return false;
  }
  return n <= GetSize() || SetSize(n);
}

void* ZAbstractArray::GetPointer(ZIndex minimumSize) {
  if (!SetMinSize(minimumSize)) {
    Z_ASSERT_CODE(ZAssertOutOfMemory);
    return nullptr;
  }
  return array() != nullptr ? array()->buffer : nullptr;
}

ZComparison ZAbstractArray::Compare(const ZObject& other) const {
  const ZAbstractArray* that = ZCast<ZAbstractArray>(&other);
  if (that == nullptr) return GreaterThan;
  if (GetElementSize() != that->GetElementSize()) {
    return GetElementSize() < that->GetElementSize() ? LessThan : GreaterThan;
  }
  if (GetSize() != that->GetSize()) return GetSize() < that->GetSize() ? LessThan : GreaterThan;
  if (GetSize() == 0) return EqualTo;
  return ZSign(std::memcmp(array()->buffer, that->array()->buffer,
                           static_cast<size_t>(GetSize()) * static_cast<size_t>(GetElementSize())));
}

ZObject* ZAbstractArray::Clone() const {
  // Share, then separate: the copy gets its own record and buffer.
  auto* copy = new ZAbstractArray(*this);
  copy->MakeUnique();
  return copy;
}

const void* ZAbstractArray::ElementForRead(ZIndex i) const {
  if (i < 0) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    return nullptr;
  }
  if (i >= GetSize()) return nullptr;
  return array()->buffer + static_cast<size_t>(i) * static_cast<size_t>(GetElementSize());
}

void* ZAbstractArray::ElementForWrite(ZIndex i) {
  if (i < 0 || i == ZToEnd) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    return nullptr;
  }
  MakeUnique();
  if (!SetMinSize(i + 1)) return nullptr;
  return array()->buffer + static_cast<size_t>(i) * static_cast<size_t>(GetElementSize());
}
