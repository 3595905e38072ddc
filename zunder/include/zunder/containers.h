// Containers with value semantics: copies share one reference record and a
// container separates itself (copy on change) before it is altered. Arrays of
// plain elements, and collections of owned ZObject pointers: arrays, doubly
// linked lists, sorted lists (red-black tree with subtree sizes) and hash
// tables (sets and dictionaries).
#pragma once

#include <atomic>

#include "zunder/object.h"

// ---------------------------------------------------------------- ZContainer

// The record shared by every copy of a container. Each container kind
// extends it with its storage; the record frees that storage when it is
// destroyed (after the last sharing container let go of it).
struct ZReferenceRecord {
  ZIndex size = 0;                 // element or object count
  std::atomic<uint32_t> count{1};  // containers sharing this record
  bool deleteObjects = true;       // contents own their objects

  ZReferenceRecord() = default;
  ZReferenceRecord(const ZReferenceRecord&) = delete;
  ZReferenceRecord& operator=(const ZReferenceRecord&) = delete;
  virtual ~ZReferenceRecord() = default;

  // A new record (count 1) holding a copy of the contents; owned objects are
  // cloned, unowned ones are shared and the copy does not own them either.
  // Answers null when memory runs out.
  virtual ZReferenceRecord* Duplicate() const = 0;
  // A new empty record (count 1) of the same kind and settings; null when
  // memory runs out.
  virtual ZReferenceRecord* NewEmpty() const = 0;
  // Frees the contents (deleting owned objects) and leaves the record empty.
  virtual void DestroyContents() = 0;
};

class ZContainer : public ZObject {
  Z_CLASS(ZContainer, ZObject)
 public:
  ZContainer(const ZContainer& other);
  ZContainer& operator=(const ZContainer& other);
  ~ZContainer() override;

  virtual ZIndex GetSize() const;
  virtual bool SetSize(ZIndex size) = 0;
  virtual bool IsEmpty() const;
  // True when the contents were not shared. Otherwise this container takes
  // a private copy of the contents, the other holders keep theirs, and the
  // answer is false.
  virtual bool MakeUnique();
  // Empties this container; other holders of shared contents keep theirs.
  virtual void DestroyContents();

  uint32_t GetReferenceCount() const;
  bool GetDeleteObjects() const;
  void SetDeleteObjects(bool own);

 protected:
  // Takes ownership of a fresh record (count 1). A null record (allocation
  // failure) is reported as "Out of memory".
  explicit ZContainer(ZReferenceRecord* record);
  // Lets go of the current record and adopts another one (count already
  // raised for this holder).
  void Adopt(ZReferenceRecord* other);
  // MakeUnique before a change; false when this container still has no
  // private contents (a failed copy was already reported).
  bool Separate() {
    MakeUnique();
    return record != nullptr && record->count.load(std::memory_order_acquire) == 1;
  }

  ZReferenceRecord* record = nullptr;

 private:
  static void Release(ZReferenceRecord* record);
};

// ---------------------------------------------------------------- arrays

struct ZArrayRecord : ZReferenceRecord {
  int32_t elementSize = 1;
  ZIndex capacity = 0;  // allocated elements (>= size)
  char* buffer = nullptr;

  ~ZArrayRecord() override;
  ZReferenceRecord* Duplicate() const override;
  ZReferenceRecord* NewEmpty() const override;
  void DestroyContents() override;
};

// An array of fixed-size plain elements in one buffer.
class ZAbstractArray : public ZContainer {
  Z_CLASS(ZAbstractArray, ZContainer)
 public:
  explicit ZAbstractArray(int32_t elementSize);
  ZAbstractArray(const ZAbstractArray& other) = default;
  ZAbstractArray& operator=(const ZAbstractArray& other) = default;

  int32_t GetElementSize() const { return array()->elementSize; }
  // Resizes to n elements; new bytes are zero; 0 frees the buffer. Does not
  // separate a shared buffer. Answers false when memory runs out.
  bool SetSize(ZIndex n) override;
  // Grows to n elements when smaller; never shrinks.
  bool SetMinSize(ZIndex n);
  // SetMinSize, then the buffer ("Out of memory" when growing fails).
  void* GetPointer(ZIndex minimumSize = 0);
  const void* GetPointer() const { return array()->buffer; }

  // Element size, then count, then the bytes as unsigned values.
  ZComparison Compare(const ZObject& other) const override;
  ZObject* Clone() const override;

 protected:
  ZArrayRecord* array() const { return static_cast<ZArrayRecord*>(record); }
  // Address of element i for reading (null when out of range or negative,
  // negative indexes are reported).
  const void* ElementForRead(ZIndex i) const;
  // Address of element i for writing; grows the array to i + 1.
  void* ElementForWrite(ZIndex i);
};

// An array of one plain type (bytes, characters, integers, pointers).
class ZBaseArray : public ZAbstractArray {
  Z_CLASS(ZBaseArray, ZAbstractArray)
 public:
  explicit ZBaseArray(int32_t elementSize) : ZAbstractArray(elementSize) {}

  template <class T>
  T Get(ZIndex i) const {
    const void* element = ElementForRead(i);
    T value{};
    if (element != nullptr) std::memcpy(&value, element, sizeof(T));
    return value;
  }
  template <class T>
  bool Set(ZIndex i, T value) {
    void* element = ElementForWrite(i);
    if (element == nullptr) return false;
    std::memcpy(element, &value, sizeof(T));
    return true;
  }
};

// ---------------------------------------------------------------- collections

// Pointers to ZObject descendants. Collections own their objects unless told
// otherwise (SetDeleteObjects(false)).
class ZCollection : public ZContainer {
  Z_CLASS(ZCollection, ZContainer)
 public:
  // Each answers the new index, or ZNotFound on failure.
  virtual ZIndex Append(ZObject* object) = 0;
  // Inserts before the given object (appends when it is absent or null).
  virtual ZIndex Insert(ZObject* before, ZObject* object) = 0;
  virtual ZIndex InsertAt(ZIndex index, ZObject* object) = 0;
  // Takes the object out (found by identity); false when it is absent.
  virtual bool Remove(ZObject* object) = 0;
  // Takes the object at the index out; when the collection owns its objects
  // it deletes it and answers null, otherwise it answers the object.
  virtual ZObject* RemoveAt(ZIndex index) = 0;
  virtual void RemoveAll() = 0;
  virtual bool SetAt(ZIndex index, ZObject* object) = 0;
  virtual ZObject* GetAt(ZIndex index) const = 0;
  // Index of the object itself, or ZNotFound.
  virtual ZIndex IndexOfObject(const ZObject* object) const = 0;
  // Index of the first object that compares EqualTo, or ZNotFound.
  virtual ZIndex IndexOfValue(const ZObject& object) const = 0;

  ZObject* operator[](ZIndex index) const { return GetAt(index); }
  bool SetSize(ZIndex size) override;  // only shrinking, by removing the tail
  void Print(std::ostream& out) const override;

 protected:
  using ZContainer::ZContainer;
};

// -- ZArray

struct ZObjectArrayRecord;

class ZArrayObjects : public ZCollection {
  Z_CLASS(ZArrayObjects, ZCollection)
 public:
  ZArrayObjects();
  ZArrayObjects(const ZArrayObjects& other) = default;
  ZArrayObjects& operator=(const ZArrayObjects& other) = default;

  ZIndex Append(ZObject* object) override;
  ZIndex Insert(ZObject* before, ZObject* object) override;
  ZIndex InsertAt(ZIndex index, ZObject* object) override;
  bool Remove(ZObject* object) override;
  ZObject* RemoveAt(ZIndex index) override;
  void RemoveAll() override;
  // Grows to index + 1; deletes the previous object when owned. A null object
  // is reported (slots are emptied by RemoveAt or SetSize).
  bool SetAt(ZIndex index, ZObject* object) override;
  ZObject* GetAt(ZIndex index) const override;
  ZIndex IndexOfObject(const ZObject* object) const override;
  ZIndex IndexOfValue(const ZObject& object) const override;
  bool SetSize(ZIndex size) override;  // grows with empty (null) slots
  ZComparison Compare(const ZObject& other) const override;
  ZObject* Clone() const override;

 private:
  ZObjectArrayRecord* objects() const;
};

class ZArray : public ZArrayObjects {
  Z_CLASS(ZArray, ZArrayObjects)
 public:
  ZArray() = default;
  ZObject* Clone() const override;
};

// -- ZList

struct ZListRecord;
struct ZListElement;

class ZAbstractList : public ZCollection {
  Z_CLASS(ZAbstractList, ZCollection)
 public:
  ZAbstractList();
  ZAbstractList(const ZAbstractList& other) = default;
  ZAbstractList& operator=(const ZAbstractList& other) = default;

  ZIndex Append(ZObject* object) override;
  ZIndex Insert(ZObject* before, ZObject* object) override;
  ZIndex InsertAt(ZIndex index, ZObject* object) override;
  bool Remove(ZObject* object) override;
  ZObject* RemoveAt(ZIndex index) override;
  void RemoveAll() override;
  bool SetAt(ZIndex index, ZObject* object) override;
  // Null for an index out of range.
  ZObject* GetAt(ZIndex index) const override;
  ZIndex IndexOfObject(const ZObject* object) const override;
  ZIndex IndexOfValue(const ZObject& object) const override;
  // Element by element; the shorter list is LessThan.
  ZComparison Compare(const ZObject& other) const override;

 private:
  ZListRecord* list() const;
  ZListElement* ElementAt(ZIndex index) const;
  ZObject* Unlink(ZListElement* element, ZIndex index);
};

class ZList : public ZAbstractList {
  Z_CLASS(ZList, ZAbstractList)
 public:
  ZList() = default;
  ZObject* Clone() const override;
};

// -- ZSortedList

struct ZSortedListRecord;
struct ZSortedListNode;

// Kept in Compare order; objects that compare equal stay in insertion order.
// Insertion, removal and index selection cost O(log n); stepping to the
// neighbouring index costs one step.
class ZAbstractSortedList : public ZCollection {
  Z_CLASS(ZAbstractSortedList, ZCollection)
 public:
  ZAbstractSortedList();
  ZAbstractSortedList(const ZAbstractSortedList& other) = default;
  ZAbstractSortedList& operator=(const ZAbstractSortedList& other) = default;

  // Inserts in Compare order, behind all equal objects; answers the index.
  ZIndex Append(ZObject* object) override;
  // The order is the list's own: these insert as Append does.
  ZIndex Insert(ZObject* before, ZObject* object) override;
  ZIndex InsertAt(ZIndex index, ZObject* object) override;
  bool Remove(ZObject* object) override;
  ZObject* RemoveAt(ZIndex index) override;
  void RemoveAll() override;
  // Replaces the object at the index and moves it to its place in the order.
  bool SetAt(ZIndex index, ZObject* object) override;
  ZObject* GetAt(ZIndex index) const override;
  ZIndex IndexOfObject(const ZObject* object) const override;
  ZIndex IndexOfValue(const ZObject& object) const override;
  ZComparison Compare(const ZObject& other) const override;

  // Checks the red-black rules and the subtree sizes (for tests).
  bool IsConsistent() const;

 private:
  ZSortedListRecord* tree() const;
  ZSortedListNode* NodeAt(ZIndex index) const;
};

class ZSortedList : public ZAbstractSortedList {
  Z_CLASS(ZSortedList, ZAbstractSortedList)
 public:
  ZSortedList() = default;
  ZObject* Clone() const override;
};

// -- hash tables

// An integer key for integer-keyed dictionaries.
class ZOrdinalKey : public ZObject {
  Z_CLASS(ZOrdinalKey, ZObject)
 public:
  explicit ZOrdinalKey(int32_t number = 0) : value(number) {}
  int32_t GetValue() const { return value; }
  operator int32_t() const { return value; }
  ZComparison Compare(const ZObject& other) const override;
  uint32_t Hash() const override;  // |value| modulo 23
  ZObject* Clone() const override;
  void Print(std::ostream& out) const override;

 private:
  int32_t value;
};

struct ZHashTableRecord;

// One stored pair; the elements of a bucket form a circular doubly linked
// ring in insertion order. In a set key and data are the same object.
struct ZHashElement {
  ZObject* key = nullptr;
  ZObject* data = nullptr;
  ZHashElement* next = nullptr;
  ZHashElement* previous = nullptr;
};

// Buckets chosen by the key's own Hash, used directly as the bucket index;
// the bucket table grows on demand and is never rehashed. Index order is by
// bucket, then insertion order within the bucket.
class ZHashTable : public ZContainer {
  Z_CLASS(ZHashTable, ZContainer)
 public:
  ZHashTable(const ZHashTable& other) = default;
  ZHashTable& operator=(const ZHashTable& other) = default;

  bool SetSize(ZIndex size) override;  // only 0 (empties the table)
  void RemoveAll();
  ZComparison Compare(const ZObject& other) const override;

 protected:
  // keysAreData: a set, whose keys are its objects (never cloned, deleted once).
  explicit ZHashTable(bool keysAreData);

  ZHashElement* FindElement(const ZObject& key) const;
  // Stores (key, data); the key is cloned for dictionaries. A null data
  // removes the key (true even when it was absent). Answers false on failure.
  bool Store(const ZObject& key, ZObject* data);
  bool Erase(const ZObject& key);
  ZObject* KeyAt(ZIndex index) const;
  ZObject* DataAt(ZIndex index) const;
  ZHashTableRecord* table() const;

 private:
  ZHashElement* ElementAt(ZIndex index) const;
};

class ZAbstractSet : public ZHashTable {
  Z_CLASS(ZAbstractSet, ZHashTable)
 public:
  ZAbstractSet();
  // Adds the object (the set owns it unless told otherwise); an object equal
  // to one already present replaces it. Null is reported.
  bool Append(ZObject* object);
  bool Contains(const ZObject& object) const;
  ZObject* Find(const ZObject& object) const;
  bool Remove(const ZObject& object);
  ZObject* GetAt(ZIndex index) const { return KeyAt(index); }
  ZObject* operator[](ZIndex index) const { return KeyAt(index); }
  void Print(std::ostream& out) const override;
};

class ZSet : public ZAbstractSet {
  Z_CLASS(ZSet, ZAbstractSet)
 public:
  ZSet() = default;
  ZObject* Clone() const override;
};

class ZAbstractDictionary : public ZHashTable {
  Z_CLASS(ZAbstractDictionary, ZHashTable)
 public:
  ZAbstractDictionary();
  // Stores a clone of the key with the data; null data removes the key.
  bool SetAt(const ZObject& key, ZObject* data);
  // The data, or null when the key is absent.
  ZObject* GetAt(const ZObject& key) const;
  // Reading form: a missing key is reported ("Null pointer reference").
  ZObject* operator[](const ZObject& key) const;
  bool Contains(const ZObject& key) const;
  bool RemoveAt(const ZObject& key) { return Erase(key); }
  ZObject* GetKeyAt(ZIndex index) const { return KeyAt(index); }
  ZObject* GetDataAt(ZIndex index) const { return DataAt(index); }
  // One line per element: key, "=", data.
  void Print(std::ostream& out) const override;
};

class ZDictionary : public ZAbstractDictionary {
  Z_CLASS(ZDictionary, ZAbstractDictionary)
 public:
  ZDictionary() = default;
  ZObject* Clone() const override;
};

// Dictionary from integers to objects.
class ZOrdinalDictionary : public ZAbstractDictionary {
  Z_CLASS(ZOrdinalDictionary, ZAbstractDictionary)
 public:
  ZOrdinalDictionary() = default;
  bool SetAt(int32_t key, ZObject* data) { return ZAbstractDictionary::SetAt(ZOrdinalKey(key), data); }
  ZObject* GetAt(int32_t key) const { return ZAbstractDictionary::GetAt(ZOrdinalKey(key)); }
  bool RemoveAt(int32_t key) { return Erase(ZOrdinalKey(key)); }
  int32_t GetKeyAt(ZIndex index) const;
  ZObject* Clone() const override;
};

// ---------------------------------------------------------------- typed views

// A typed wrapper over a collection of objects of one class, for the
// application's own lists (sockets, threads, remote systems, users). It adds
// nothing to the collection's rules.
template <class T, class Base>
class ZTypedCollection : public Base {
 public:
  T* GetAt(ZIndex index) const { return static_cast<T*>(Base::GetAt(index)); }
  T* operator[](ZIndex index) const { return GetAt(index); }
};
