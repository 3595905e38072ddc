// Object collections: arrays, lists, sorted lists and hash tables, their
// ownership of objects, cursors and value semantics.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/assert_capture.h"
#include "zunder/containers.h"

namespace {

// An integer-valued object that counts live instances, so tests can prove
// that nothing leaked and nothing was freed twice. The tag tells apart
// objects of equal value.
class Counted : public ZObject {
  Z_CLASS(Counted, ZObject)
 public:
  explicit Counted(int number, int label = 0) : value(number), tag(label) { ++live; }
  Counted(const Counted& other) : ZObject(other), value(other.value), tag(other.tag) { ++live; }
  ~Counted() override { --live; }

  ZComparison Compare(const ZObject& other) const override {
    const Counted* that = ZCast<Counted>(&other);
    return that != nullptr ? ZSign(static_cast<long long>(value) - that->value) : GreaterThan;
  }
  ZObject* Clone() const override { return new Counted(*this); }
  uint32_t Hash() const override { return static_cast<uint32_t>(value) % 5; }
  void Print(std::ostream& out) const override { out << value; }

  int value;
  int tag;
  static inline int live = 0;
};

// Keeps ZObject's Clone, which reports and answers null.
class Uncloneable : public ZObject {
  Z_CLASS(Uncloneable, ZObject)
};

int ValueOf(const ZObject* object) {
  const Counted* counted = ZCast<Counted>(object);
  return counted != nullptr ? counted->value : -1;
}

std::vector<int> Values(const ZCollection& collection) {
  std::vector<int> values;
  for (ZIndex i = 0; i < collection.GetSize(); ++i) values.push_back(ValueOf(collection.GetAt(i)));
  return values;
}

std::string Printed(const ZObject& object) {
  std::ostringstream out;
  out << object;
  return out.str();
}

// Every test starts with no live objects and must end with none.
class Collections : public ::testing::Test {
 protected:
  void SetUp() override { Counted::live = 0; }
  void TearDown() override { EXPECT_EQ(Counted::live, 0) << "objects leaked or freed twice"; }
  AssertCapture capture;
};

struct CollectionKind {
  const char* name;
  std::function<std::unique_ptr<ZCollection>()> make;
  std::function<std::unique_ptr<ZCollection>(const ZCollection&)> copy;
};

template <class T>
CollectionKind Kind(const char* name) {
  return {name, [] { return std::unique_ptr<ZCollection>(new T); },
          [](const ZCollection& from) { return std::unique_ptr<ZCollection>(new T(static_cast<const T&>(from))); }};
}

const std::vector<CollectionKind>& AllKinds() {
  static const std::vector<CollectionKind> kinds = {Kind<ZArray>("ZArray"), Kind<ZList>("ZList"),
                                                    Kind<ZSortedList>("ZSortedList")};
  return kinds;
}

// Fills with values appended in ascending order, so every kind holds them
// at the same indexes.
void Fill(ZCollection& collection, std::initializer_list<int> values) {
  for (int value : values) collection.Append(new Counted(value));
}

}  // namespace

// ---------------------------------------------------------------- common contract

TEST_F(Collections, MisuseIsReportedAndLeavesContentsAlone) {
  for (const CollectionKind& kind : AllKinds()) {
    SCOPED_TRACE(kind.name);
    auto collection = kind.make();
    Fill(*collection, {1, 2});
    AssertCapture::Clear();

    struct Case {
      const char* what;
      std::function<void()> call;
      const char* message;
    };
    const Case cases[] = {
        {"Append null", [&] { EXPECT_EQ(collection->Append(nullptr), ZNotFound); }, "Null pointer reference"},
        {"Insert null", [&] { EXPECT_EQ(collection->Insert(nullptr, nullptr), ZNotFound); }, "Null pointer reference"},
        {"InsertAt null", [&] { EXPECT_EQ(collection->InsertAt(0, nullptr), ZNotFound); }, "Null pointer reference"},
        {"SetAt null", [&] { EXPECT_FALSE(collection->SetAt(0, nullptr)); }, "Null pointer reference"},
        {"RemoveAt -1", [&] { EXPECT_EQ(collection->RemoveAt(-1), nullptr); }, "Invalid array index"},
        {"RemoveAt size", [&] { EXPECT_EQ(collection->RemoveAt(2), nullptr); }, "Invalid array index"},
        {"SetSize -1", [&] { EXPECT_FALSE(collection->SetSize(-1)); }, "Invalid array index"},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      AssertCapture::Clear();
      c.call();
      ASSERT_EQ(AssertCapture::Count(), 1u);
      EXPECT_EQ(AssertCapture::LastMessage(), c.message);
      EXPECT_EQ(Values(*collection), (std::vector<int>{1, 2}));
    }
    EXPECT_EQ(Counted::live, 2);
  }
}

TEST_F(Collections, RemovalFollowsOwnership) {
  for (const CollectionKind& kind : AllKinds()) {
    SCOPED_TRACE(kind.name);
    {
      // Owning: removal deletes the object and answers null.
      auto owning = kind.make();
      Fill(*owning, {1, 2, 3, 4});
      EXPECT_TRUE(owning->GetDeleteObjects());
      EXPECT_EQ(owning->RemoveAt(1), nullptr);
      EXPECT_EQ(Counted::live, 3);
      ZObject* third = owning->GetAt(1);
      EXPECT_TRUE(owning->Remove(third));
      EXPECT_EQ(Counted::live, 2);
      Counted stranger(9);
      EXPECT_FALSE(owning->Remove(&stranger));
      EXPECT_FALSE(owning->Remove(nullptr));
      EXPECT_EQ(Values(*owning), (std::vector<int>{1, 4}));
      owning->RemoveAll();
      EXPECT_TRUE(owning->IsEmpty());
      EXPECT_EQ(Counted::live, 1);  // only the stranger
      Fill(*owning, {5, 6});
    }  // destruction deletes what is still held
    EXPECT_EQ(Counted::live, 0);

    // Not owning: removal only unlinks and hands the object back.
    Counted a(1), b(2), c(3);
    auto borrowing = kind.make();
    borrowing->SetDeleteObjects(false);
    for (Counted* object : {&a, &b, &c}) borrowing->Append(object);
    EXPECT_EQ(borrowing->RemoveAt(1), &b);
    EXPECT_TRUE(borrowing->Remove(&c));
    borrowing->RemoveAll();
    borrowing.reset();
    EXPECT_EQ(Counted::live, 3);
    EXPECT_EQ(AssertCapture::Count(), 0u);
  }
}

TEST_F(Collections, ReplacingDeletesTheOwnedObject) {
  for (const CollectionKind& kind : AllKinds()) {
    SCOPED_TRACE(kind.name);
    auto collection = kind.make();
    Fill(*collection, {1, 2, 3});
    ZObject* same = collection->GetAt(0);
    EXPECT_TRUE(collection->SetAt(0, same));  // setting the same object keeps it alive
    EXPECT_EQ(Counted::live, 3);
    EXPECT_TRUE(collection->SetAt(1, new Counted(7)));
    EXPECT_EQ(Counted::live, 3);
    // Sorted lists move the new object to its place.
    const std::vector<int> expected = std::string(kind.name) == "ZSortedList" ? std::vector<int>{1, 3, 7}
                                                                              : std::vector<int>{1, 7, 3};
    EXPECT_EQ(Values(*collection), expected);
  }
}

TEST_F(Collections, SetSizeShrinksByRemovingTheTail) {
  for (const CollectionKind& kind : AllKinds()) {
    SCOPED_TRACE(kind.name);
    auto collection = kind.make();
    Fill(*collection, {1, 2, 3, 4});
    EXPECT_TRUE(collection->SetSize(4));
    EXPECT_TRUE(collection->SetSize(2));
    EXPECT_EQ(Values(*collection), (std::vector<int>{1, 2}));
    EXPECT_EQ(Counted::live, 2);
    EXPECT_TRUE(collection->SetSize(0));
    EXPECT_EQ(Counted::live, 0);
  }
}

TEST_F(Collections, SearchesByIdentityAndByValue) {
  for (const CollectionKind& kind : AllKinds()) {
    SCOPED_TRACE(kind.name);
    auto collection = kind.make();
    EXPECT_EQ(collection->IndexOfValue(Counted(1)), ZNotFound);  // empty
    Fill(*collection, {1, 2, 2, 3});
    ZObject* secondTwo = collection->GetAt(2);
    EXPECT_EQ(collection->IndexOfObject(secondTwo), 2);
    EXPECT_EQ(collection->IndexOfValue(Counted(2)), 1);  // the first equal one
    EXPECT_EQ(collection->IndexOfValue(Counted(3)), 3);
    EXPECT_EQ(collection->IndexOfValue(Counted(9)), ZNotFound);
    Counted stranger(2);
    EXPECT_EQ(collection->IndexOfObject(&stranger), ZNotFound);
    EXPECT_EQ(collection->IndexOfObject(nullptr), ZNotFound);
    EXPECT_EQ((*collection)[3], collection->GetAt(3));
    EXPECT_EQ(collection->GetAt(4), nullptr);  // past the end
  }
}

TEST_F(Collections, PrintWritesOneElementPerLine) {
  for (const CollectionKind& kind : AllKinds()) {
    SCOPED_TRACE(kind.name);
    auto collection = kind.make();
    EXPECT_EQ(Printed(*collection), "");
    Fill(*collection, {1, 22, 333});
    EXPECT_EQ(Printed(*collection), "1\n22\n333\n");
  }
}

// ---------------------------------------------------------------- value semantics

TEST_F(Collections, CopiesShareUntilOneChanges) {
  for (const CollectionKind& kind : AllKinds()) {
    SCOPED_TRACE(kind.name);
    auto original = kind.make();
    Fill(*original, {1, 2, 3});

    // Self-assignment changes nothing.
    ZContainer& self = *original;
    self = *original;
    EXPECT_EQ(original->GetReferenceCount(), 1u);
    EXPECT_EQ(Values(*original), (std::vector<int>{1, 2, 3}));

    auto copy = kind.copy(*original);
    EXPECT_EQ(original->GetReferenceCount(), 2u);
    EXPECT_EQ(copy->GetAt(1), original->GetAt(1));  // shared contents
    EXPECT_EQ(Counted::live, 3);

    // Each kind of change separates the copy, which clones its owned objects.
    const std::vector<std::pair<const char*, std::function<void(ZCollection&)>>> changes = {
        {"Append", [](ZCollection& c) { c.Append(new Counted(4)); }},
        {"RemoveAt", [](ZCollection& c) { c.RemoveAt(0); }},
        {"Remove", [](ZCollection& c) { c.Remove(c.GetAt(2)); }},
        {"SetAt", [](ZCollection& c) { c.SetAt(1, new Counted(0)); }},
        {"InsertAt", [](ZCollection& c) { c.InsertAt(0, new Counted(0)); }},
        {"RemoveAll", [](ZCollection& c) { c.RemoveAll(); }},
    };
    for (const auto& [what, change] : changes) {
      SCOPED_TRACE(what);
      auto changed = kind.copy(*original);
      change(*changed);
      EXPECT_EQ(original->GetReferenceCount(), 2u);  // only `copy` still shares
      EXPECT_EQ(changed->GetReferenceCount(), 1u);
      EXPECT_EQ(Values(*original), (std::vector<int>{1, 2, 3}));
      EXPECT_NE(Values(*changed), Values(*original));
    }
    copy.reset();
    EXPECT_EQ(original->GetReferenceCount(), 1u);
    EXPECT_EQ(Counted::live, 3);
    EXPECT_EQ(AssertCapture::Count(), 0u);
  }
}

TEST_F(Collections, CloneCopiesOwnedObjectsAndSharesBorrowedOnes) {
  for (const CollectionKind& kind : AllKinds()) {
    SCOPED_TRACE(kind.name);
    auto owning = kind.make();
    Fill(*owning, {1, 2});
    std::unique_ptr<ZObject> clone(owning->Clone());
    auto* cloned = ZCast<ZCollection>(clone.get());
    ASSERT_NE(cloned, nullptr);
    EXPECT_STREQ(clone->GetClass(), kind.name);
    EXPECT_EQ(Counted::live, 4);
    EXPECT_NE(cloned->GetAt(0), owning->GetAt(0));
    EXPECT_EQ(cloned->Compare(*owning), EqualTo);
    EXPECT_EQ(cloned->GetReferenceCount(), 1u);
    clone.reset();
    EXPECT_EQ(Counted::live, 2);

    Counted a(1);
    auto borrowing = kind.make();
    borrowing->SetDeleteObjects(false);
    borrowing->Append(&a);
    std::unique_ptr<ZObject> shallow(borrowing->Clone());
    auto* shallowCopy = ZCast<ZCollection>(shallow.get());
    EXPECT_EQ(shallowCopy->GetAt(0), &a);
    EXPECT_FALSE(shallowCopy->GetDeleteObjects());
  }
}

TEST_F(Collections, CopyLeavesOutObjectsThatCannotBeCloned) {
  for (const CollectionKind& kind : {Kind<ZList>("ZList"), Kind<ZArray>("ZArray")}) {
    SCOPED_TRACE(kind.name);
    auto original = kind.make();
    original->Append(new Counted(1));
    original->Append(new Uncloneable);
    auto copy = kind.copy(*original);
    AssertCapture::Clear();
    copy->Append(new Counted(2));  // separates
    EXPECT_EQ(AssertCapture::LastMessage(), "Unimplemented function");
    EXPECT_EQ(original->GetSize(), 2);
    // The list leaves the object out; the array keeps an empty slot.
    if (std::string(kind.name) == "ZList") {
      EXPECT_EQ(Values(*copy), (std::vector<int>{1, 2}));
    } else {
      EXPECT_EQ(Values(*copy), (std::vector<int>{1, -1, 2}));
    }
  }
}

TEST_F(Collections, CompareIsElementByElementAndShorterIsLess) {
  struct Case {
    std::vector<int> left, right;
    ZComparison expected;
  };
  const Case cases[] = {
      {{}, {}, EqualTo},
      {{}, {1}, LessThan},
      {{1, 2}, {1, 2, 5}, LessThan},
      {{1, 2, 3}, {1, 2}, GreaterThan},
      {{1, 3}, {1, 2, 9}, GreaterThan},
      {{1, 2}, {1, 2}, EqualTo},
  };
  for (const CollectionKind& kind : AllKinds()) {
    SCOPED_TRACE(kind.name);
    for (const Case& c : cases) {
      auto left = kind.make();
      auto right = kind.make();
      for (int v : c.left) left->Append(new Counted(v));
      for (int v : c.right) right->Append(new Counted(v));
      EXPECT_EQ(left->Compare(*right), c.expected);
      EXPECT_EQ(right->Compare(*left), -c.expected);
    }
  }
  ZList list;
  ZArray array;
  EXPECT_EQ(AssertCapture::Count(), 0u);
  list.Compare(array);
  EXPECT_EQ(AssertCapture::LastMessage(), "Invalid cast to non-descendant class");
}

// ---------------------------------------------------------------- arrays

TEST_F(Collections, ArraySetAtGrowsWithEmptySlots) {
  ZArray array;
  EXPECT_TRUE(array.SetAt(3, new Counted(3)));
  EXPECT_EQ(array.GetSize(), 4);
  EXPECT_EQ(array.GetAt(0), nullptr);
  EXPECT_EQ(ValueOf(array.GetAt(3)), 3);
  EXPECT_TRUE(array.SetSize(6));  // grows with empty slots
  EXPECT_EQ(array.GetAt(5), nullptr);
  EXPECT_EQ(array.IndexOfObject(nullptr), ZNotFound);
  EXPECT_TRUE(array.SetAt(0, new Counted(0)));
  EXPECT_EQ(array.RemoveAt(1), nullptr);  // an empty slot is removed too
  EXPECT_EQ(array.GetSize(), 5);
  EXPECT_EQ(ValueOf(array.GetAt(2)), 3);

  EXPECT_EQ(AssertCapture::Count(), 0u);
  EXPECT_EQ(array.GetAt(-1), nullptr);
  EXPECT_EQ(AssertCapture::LastMessage(), "Invalid array index");
  AssertCapture::Clear();
  EXPECT_FALSE(array.SetAt(-1, nullptr));  // the null object is reported first
  EXPECT_EQ(AssertCapture::Count(), 1u);
  Counted* spare = new Counted(9);
  EXPECT_FALSE(array.SetAt(-1, spare));
  EXPECT_EQ(AssertCapture::LastMessage(), "Invalid array index");
  delete spare;
}

TEST_F(Collections, ArrayInsertionPositions) {
  ZArray array;
  Fill(array, {1, 3});
  Counted* two = new Counted(2);
  EXPECT_EQ(array.InsertAt(1, two), 1);
  EXPECT_EQ(array.Insert(two, new Counted(0)), 1);      // before the given object
  EXPECT_EQ(array.Insert(nullptr, new Counted(4)), 4);  // no object: appended
  EXPECT_EQ(array.InsertAt(99, new Counted(5)), 5);     // past the end: appended
  EXPECT_EQ(Values(array), (std::vector<int>{1, 0, 2, 3, 4, 5}));
  EXPECT_EQ(array.InsertAt(-1, two), ZNotFound);
  EXPECT_EQ(AssertCapture::LastMessage(), "Invalid array index");
}

// ---------------------------------------------------------------- lists

TEST_F(Collections, ListGetAtOutOfRangeIsNullWithoutReport) {
  ZList list;
  EXPECT_EQ(list.GetAt(0), nullptr);
  Fill(list, {1});
  EXPECT_EQ(list.GetAt(-1), nullptr);
  EXPECT_EQ(list.GetAt(1), nullptr);
  EXPECT_EQ(list.GetAt(ZNotFound), nullptr);
  EXPECT_EQ(AssertCapture::Count(), 0u);
  // Positioning out of range is refused and the object is not taken.
  auto spare = std::make_unique<Counted>(5);
  EXPECT_FALSE(list.SetAt(1, spare.get()));
  EXPECT_EQ(AssertCapture::LastMessage(), "Invalid array index");
  EXPECT_EQ(Values(list), (std::vector<int>{1}));
}

// Random index access, insertion and removal against a vector model: the
// cursor must never lead a walk astray.
TEST_F(Collections, ListCursorWalksMatchAModel) {
  std::mt19937 random(20240611);
  ZList list;
  std::vector<Counted*> model;
  int next = 0;
  for (int i = 0; i < 60; ++i) {
    model.push_back(new Counted(next++));
    list.Append(model.back());
  }
  for (int step = 0; step < 4000; ++step) {
    const ZIndex size = static_cast<ZIndex>(model.size());
    const int action = static_cast<int>(random() % 10);
    const ZIndex index = size > 0 ? static_cast<ZIndex>(random() % static_cast<unsigned>(size)) : 0;
    if (action < 4 && size > 0) {
      ASSERT_EQ(list.GetAt(index), model[index]) << "step " << step;
    } else if (action < 6 && size > 0) {
      // A short walk up or down from a random place.
      const int direction = (random() & 1) ? 1 : -1;
      for (ZIndex i = index, n = 0; i >= 0 && i < size && n < 8; i += direction, ++n) {
        ASSERT_EQ(list.GetAt(i), model[i]) << "step " << step;
      }
    } else if (action < 8 && size < 200) {
      Counted* object = new Counted(next++);
      const ZIndex at = static_cast<ZIndex>(random() % static_cast<unsigned>(size + 1));
      ASSERT_EQ(list.InsertAt(at, object), at);
      model.insert(model.begin() + at, object);
    } else if (size > 0) {
      ASSERT_EQ(list.RemoveAt(index), nullptr);
      model.erase(model.begin() + index);
    }
    ASSERT_EQ(list.GetSize(), static_cast<ZIndex>(model.size()));
  }
  for (ZIndex i = static_cast<ZIndex>(model.size()) - 1; i >= 0; --i) ASSERT_EQ(list.GetAt(i), model[i]);
  EXPECT_EQ(Counted::live, static_cast<int>(model.size()));
}

TEST_F(Collections, ListInsertBeforeAnObject) {
  ZList list;
  Counted* last = new Counted(3);
  list.Append(new Counted(1));
  list.Append(last);
  EXPECT_EQ(list.Insert(last, new Counted(2)), 1);
  EXPECT_EQ(list.Insert(last, new Counted(25)), 2);
  Counted stranger(0);
  EXPECT_EQ(list.Insert(&stranger, new Counted(4)), 4);  // absent: appended
  EXPECT_EQ(Values(list), (std::vector<int>{1, 2, 25, 3, 4}));
  EXPECT_EQ(list.InsertAt(0, new Counted(0)), 0);
  EXPECT_EQ(list.GetAt(4), last);
}

// ---------------------------------------------------------------- sorted lists

TEST_F(Collections, SortedListKeepsEqualObjectsInInsertionOrder) {
  ZSortedList list;
  struct Step {
    int value, tag;
    ZIndex expectedIndex;
  };
  const Step steps[] = {{5, 0, 0}, {5, 1, 1}, {1, 0, 0}, {5, 2, 3}, {9, 0, 4}, {5, 3, 4}, {0, 0, 0}};
  for (const Step& s : steps) EXPECT_EQ(list.Append(new Counted(s.value, s.tag)), s.expectedIndex);
  EXPECT_TRUE(list.IsConsistent());
  std::vector<std::pair<int, int>> order;
  for (ZIndex i = 0; i < list.GetSize(); ++i) {
    const auto* object = static_cast<const Counted*>(list.GetAt(i));
    order.emplace_back(object->value, object->tag);
  }
  const std::vector<std::pair<int, int>> expected = {{0, 0}, {1, 0}, {5, 0}, {5, 1}, {5, 2}, {5, 3}, {9, 0}};
  EXPECT_EQ(order, expected);
  EXPECT_EQ(list.IndexOfValue(Counted(5)), 2);
  // Insert and InsertAt follow the list's own order.
  EXPECT_EQ(list.InsertAt(0, new Counted(7)), 6);
  EXPECT_EQ(list.Insert(list.GetAt(0), new Counted(8)), 7);
}

// Random insertion and removal against a sorted model, with the tree's
// rules checked after every change.
TEST_F(Collections, SortedListMatchesAModelUnderRandomChanges) {
  std::mt19937 random(7);
  ZSortedList list;
  std::vector<Counted*> model;  // kept sorted, equal values in insertion order
  int tag = 0;
  auto modelInsert = [&](Counted* object) {
    auto at = std::upper_bound(model.begin(), model.end(), object,
                               [](const Counted* a, const Counted* b) { return a->value < b->value; });
    const ZIndex index = static_cast<ZIndex>(at - model.begin());
    model.insert(at, object);
    return index;
  };
  for (int step = 0; step < 3000; ++step) {
    const ZIndex size = static_cast<ZIndex>(model.size());
    const int action = static_cast<int>(random() % 10);
    if (action < 5 || size < 5) {
      auto* object = new Counted(static_cast<int>(random() % 50), tag++);
      const ZIndex expected = modelInsert(object);
      ASSERT_EQ(list.Append(object), expected) << "step " << step;
    } else if (action < 8) {
      const ZIndex index = static_cast<ZIndex>(random() % static_cast<unsigned>(size));
      ASSERT_EQ(list.RemoveAt(index), nullptr);
      model.erase(model.begin() + index);
    } else if (action < 9) {
      // SetAt moves the new object to its place.
      const ZIndex index = static_cast<ZIndex>(random() % static_cast<unsigned>(size));
      auto* object = new Counted(static_cast<int>(random() % 50), tag++);
      ASSERT_TRUE(list.SetAt(index, object));
      model.erase(model.begin() + index);
      modelInsert(object);
    } else {
      const ZIndex index = static_cast<ZIndex>(random() % static_cast<unsigned>(size));
      ASSERT_EQ(list.GetAt(index), model[index]);
      ASSERT_EQ(list.IndexOfObject(model[index]), index);
    }
    ASSERT_TRUE(list.IsConsistent()) << "step " << step;
    ASSERT_EQ(list.GetSize(), static_cast<ZIndex>(model.size()));
  }
  // Walks in both directions and random selection.
  for (ZIndex i = 0; i < list.GetSize(); ++i) ASSERT_EQ(list.GetAt(i), model[i]);
  for (ZIndex i = list.GetSize() - 1; i >= 0; --i) ASSERT_EQ(list.GetAt(i), model[i]);
  for (int n = 0; n < 300; ++n) {
    const ZIndex i = static_cast<ZIndex>(random() % model.size());
    ASSERT_EQ(list.GetAt(i), model[i]);
  }
  EXPECT_TRUE(list.IsConsistent());

  // A separated copy is a valid tree with the same order.
  ZSortedList copy(list);
  copy.Append(new Counted(1000));
  EXPECT_TRUE(copy.IsConsistent());
  EXPECT_EQ(copy.GetSize(), list.GetSize() + 1);
  for (ZIndex i = 0; i < list.GetSize(); ++i) ASSERT_EQ(ValueOf(copy.GetAt(i)), model[i]->value);

  // Removing everything in order from the front keeps the rules.
  while (!list.IsEmpty()) {
    list.RemoveAt(0);
    ASSERT_TRUE(list.IsConsistent());
  }
}

TEST_F(Collections, SortedListCompareWithAnotherFamilyIsReported) {
  ZSortedList sorted;
  ZList list;
  EXPECT_EQ(sorted.Compare(list), GreaterThan);
  EXPECT_EQ(AssertCapture::LastMessage(), "Invalid cast to non-descendant class");
}

// ---------------------------------------------------------------- hash tables

TEST_F(Collections, OrdinalKeyHashesByMagnitudeModulo23) {
  struct Case {
    int32_t value;
    uint32_t hash;
  };
  const Case cases[] = {{0, 0},
                        {1, 1},
                        {22, 22},
                        {23, 0},
                        {24, 1},
                        {-24, 1},
                        {-1, 1},
                        {INT32_MIN, static_cast<uint32_t>(2147483648LL % 23)},
                        {INT32_MAX, 2147483647 % 23}};
  for (const Case& c : cases) EXPECT_EQ(ZOrdinalKey(c.value).Hash(), c.hash) << c.value;
  EXPECT_EQ(ZOrdinalKey(3).Compare(ZOrdinalKey(4)), LessThan);
  EXPECT_EQ(ZOrdinalKey(INT32_MAX).Compare(ZOrdinalKey(INT32_MIN)), GreaterThan);
  EXPECT_EQ(Printed(ZOrdinalKey(-17)), "-17");
  std::unique_ptr<ZObject> clone(ZOrdinalKey(5).Clone());
  EXPECT_EQ(clone->Compare(ZOrdinalKey(5)), EqualTo);
  EXPECT_EQ(AssertCapture::Count(), 0u);
  ZOrdinalKey(1).Compare(Counted(1));
  EXPECT_EQ(AssertCapture::LastMessage(), "Invalid cast to non-descendant class");
}

TEST_F(Collections, DictionaryIndexOrderIsBucketThenInsertion) {
  ZOrdinalDictionary dictionary;
  // Buckets: 24, 1 and 47 share bucket 1; 5 is bucket 5; 0 and 23 bucket 0.
  for (int key : {24, 5, 1, 47, 23, 0}) EXPECT_TRUE(dictionary.SetAt(key, new Counted(key)));
  const std::vector<int> order = {23, 0, 24, 1, 47, 5};
  ASSERT_EQ(dictionary.GetSize(), 6);

  // Index patterns: forward, backward, jumps, and after lookups (which
  // reset the cursor's index).
  const std::vector<std::vector<ZIndex>> patterns = {
      {0, 1, 2, 3, 4, 5}, {5, 4, 3, 2, 1, 0}, {3, 0, 5, 1, 4, 2}, {2, 2, 5, 5, 0}};
  for (const auto& pattern : patterns) {
    for (ZIndex i : pattern) {
      ASSERT_EQ(dictionary.GetKeyAt(i), order[i]) << "index " << i;
      ASSERT_EQ(ValueOf(dictionary.GetDataAt(i)), order[i]);
      dictionary.GetAt(1);  // a lookup between index accesses
      ASSERT_EQ(dictionary.GetKeyAt(i), order[i]);
    }
  }
  EXPECT_EQ(dictionary.GetKeyAt(6), 0);
  EXPECT_EQ(dictionary.GetDataAt(-1), nullptr);
}

TEST_F(Collections, DictionarySetAtReplacesAndNullRemoves) {
  ZOrdinalDictionary dictionary;
  EXPECT_TRUE(dictionary.SetAt(1, new Counted(10)));
  EXPECT_TRUE(dictionary.SetAt(24, new Counted(240)));  // same bucket as 1
  EXPECT_EQ(ValueOf(dictionary.GetAt(1)), 10);
  EXPECT_EQ(ValueOf(dictionary.GetAt(24)), 240);
  EXPECT_EQ(dictionary.GetAt(47), nullptr);  // bucket 1, absent
  EXPECT_EQ(dictionary.GetAt(3), nullptr);   // beyond the bucket table

  EXPECT_TRUE(dictionary.SetAt(1, new Counted(11)));  // replaces, deletes the old data
  EXPECT_EQ(dictionary.GetSize(), 2);
  EXPECT_EQ(Counted::live, 2);
  EXPECT_EQ(ValueOf(dictionary.GetAt(1)), 11);

  EXPECT_TRUE(dictionary.SetAt(1, nullptr));  // null removes and lowers the count
  EXPECT_EQ(dictionary.GetSize(), 1);
  EXPECT_EQ(Counted::live, 1);
  EXPECT_FALSE(dictionary.Contains(ZOrdinalKey(1)));
  EXPECT_TRUE(dictionary.Contains(ZOrdinalKey(24)));
  EXPECT_FALSE(dictionary.RemoveAt(1));
  EXPECT_TRUE(dictionary.RemoveAt(24));
  EXPECT_TRUE(dictionary.IsEmpty());
  EXPECT_EQ(Counted::live, 0);
  EXPECT_EQ(AssertCapture::Count(), 0u);
}

TEST_F(Collections, DictionaryReadingOperatorReportsAMissingKey) {
  ZOrdinalDictionary dictionary;
  dictionary.SetAt(2, new Counted(2));
  EXPECT_EQ(ValueOf(dictionary[ZOrdinalKey(2)]), 2);
  EXPECT_EQ(AssertCapture::Count(), 0u);
  EXPECT_EQ(dictionary[ZOrdinalKey(3)], nullptr);
  EXPECT_EQ(AssertCapture::LastMessage(), "Null pointer reference");
}

TEST_F(Collections, DictionaryClonesKeysAndDeletesThem) {
  {
    ZDictionary dictionary;
    Counted key(7);
    dictionary.SetAt(key, new Counted(70));
    EXPECT_EQ(Counted::live, 3);  // the key, its clone and the data
    EXPECT_NE(dictionary.GetKeyAt(0), &key);
    EXPECT_EQ(ValueOf(dictionary.GetKeyAt(0)), 7);
    EXPECT_EQ(ValueOf(dictionary.GetAt(Counted(7))), 70);
  }
  EXPECT_EQ(Counted::live, 0);

  // Not owning the data: the cloned keys are still the table's own.
  Counted data(1);
  {
    ZDictionary dictionary;
    dictionary.SetDeleteObjects(false);
    dictionary.SetAt(Counted(3), &data);
    dictionary.SetAt(Counted(8), &data);  // same bucket (3), own key
    EXPECT_EQ(Counted::live, 3);
    dictionary.RemoveAt(Counted(3));
    EXPECT_EQ(Counted::live, 2);
  }
  EXPECT_EQ(Counted::live, 1);
}

TEST_F(Collections, DictionaryThatCannotStoreDeletesTheDataItOwns) {
  // The key cannot be cloned: the entry is refused, and the data handed
  // over to an owning dictionary must not leak.
  ZDictionary owning;
  EXPECT_FALSE(owning.SetAt(Uncloneable(), new Counted(1)));
  EXPECT_EQ(AssertCapture::LastMessage(), "Unimplemented function");
  EXPECT_EQ(owning.GetSize(), 0);
  EXPECT_EQ(Counted::live, 0);

  // A borrowing dictionary leaves the refused object to its owner.
  Counted borrowed(2);
  ZDictionary borrowing;
  borrowing.SetDeleteObjects(false);
  EXPECT_FALSE(borrowing.SetAt(Uncloneable(), &borrowed));
  EXPECT_EQ(Counted::live, 1);
}

TEST_F(Collections, HashTableCopiesAreSeparatedOnChange) {
  ZOrdinalDictionary original;
  for (int key : {1, 2, 24}) original.SetAt(key, new Counted(key));
  ZOrdinalDictionary copy(original);
  EXPECT_EQ(original.GetReferenceCount(), 2u);
  EXPECT_FALSE(copy.RemoveAt(5));  // absent: nothing to separate
  EXPECT_EQ(original.GetReferenceCount(), 2u);
  EXPECT_TRUE(copy.RemoveAt(24));
  copy.SetAt(3, new Counted(3));
  EXPECT_EQ(original.GetReferenceCount(), 1u);
  EXPECT_EQ(original.GetSize(), 3);
  EXPECT_EQ(ValueOf(original.GetAt(24)), 24);
  EXPECT_NE(copy.GetAt(1), original.GetAt(1));  // owned data was cloned
  // Same size; in index order the copy holds 1, 2, 3 and the original 1, 24, 2.
  EXPECT_EQ(copy.Compare(original), LessThan);
  ZOrdinalDictionary same(original);
  same.RemoveAll();
  EXPECT_EQ(original.GetSize(), 3);
  EXPECT_TRUE(same.IsEmpty());
  EXPECT_EQ(original.Compare(original), EqualTo);

  std::unique_ptr<ZObject> clone(original.Clone());
  EXPECT_STREQ(clone->GetClass(), "ZOrdinalDictionary");
  EXPECT_EQ(clone->Compare(original), EqualTo);
  EXPECT_TRUE(original.SetSize(0));
  EXPECT_TRUE(original.IsEmpty());
  EXPECT_EQ(AssertCapture::Count(), 0u);
  EXPECT_FALSE(copy.SetSize(1));
  EXPECT_EQ(AssertCapture::LastMessage(), "Invalid parameter");
}

TEST_F(Collections, SetKeepsOneOfEqualObjects) {
  ZSet set;
  EXPECT_TRUE(set.Append(new Counted(3, 0)));
  EXPECT_TRUE(set.Append(new Counted(8, 0)));  // same bucket as 3
  EXPECT_TRUE(set.Append(new Counted(3, 1)));  // equal: replaces, the old one is deleted
  EXPECT_EQ(set.GetSize(), 2);
  EXPECT_EQ(Counted::live, 2);
  EXPECT_EQ(static_cast<const Counted*>(set.Find(Counted(3)))->tag, 1);
  EXPECT_TRUE(set.Contains(Counted(8)));
  EXPECT_FALSE(set.Contains(Counted(13)));
  EXPECT_EQ(Printed(set), "3\n8\n");
  EXPECT_TRUE(set.Remove(Counted(3)));
  EXPECT_FALSE(set.Remove(Counted(3)));
  EXPECT_EQ(Counted::live, 1);
  EXPECT_EQ(ValueOf(set[0]), 8);
  EXPECT_FALSE(set.Append(nullptr));
  EXPECT_EQ(AssertCapture::LastMessage(), "Null pointer reference");

  Counted borrowed(4);
  {
    ZSet view;
    view.SetDeleteObjects(false);
    view.Append(&borrowed);
    view.Append(&borrowed);  // the same object again is kept once
    EXPECT_EQ(view.GetSize(), 1);
    ZSet copy(view);
    copy.Append(new Counted(9));  // separate: borrowed objects are shared, not cloned
    EXPECT_EQ(copy.GetAt(0), &borrowed);
    EXPECT_FALSE(copy.GetDeleteObjects());
    delete copy.GetAt(1);
  }
  EXPECT_EQ(Counted::live, 2);
}

TEST_F(Collections, DictionaryPrintsOneLinePerElement) {
  ZOrdinalDictionary dictionary;
  dictionary.SetAt(24, new Counted(2));
  dictionary.SetAt(1, new Counted(3));
  dictionary.SetAt(0, new Counted(1));
  EXPECT_EQ(Printed(dictionary), "0=1\n24=2\n1=3\n");
}

// Many threads read one filled container at once, some through the object
// itself and some through copies sharing its contents: reading never
// changes what any reader sees. Walks in both directions and jumps, since
// each reader's steps would move a shared "last visited" position.
TEST_F(Collections, ConcurrentReadersOfSharedContentsAllSeeTheSameContents) {
  constexpr int kCount = 300;
  constexpr int kReaders = 8;
  constexpr int kRounds = 40;

  struct Kind {
    const char* name;
    // Fills a fresh container with the values 0..kCount-1.
    std::function<std::unique_ptr<ZContainer>()> make;
    // Reads the container once over; answers the number of wrong answers.
    std::function<int(const ZContainer&, std::mt19937&)> read;
    std::function<std::unique_ptr<ZContainer>(const ZContainer&)> copy;
  };
  // By index: forward, backward and random; each index holds its own value.
  auto byIndex = [](const ZContainer& container, std::mt19937& random) {
    const auto& collection = static_cast<const ZCollection&>(container);
    int wrong = 0;
    for (int i = 0; i < kCount; ++i) wrong += ValueOf(collection.GetAt(i)) != i;
    for (int i = kCount - 1; i >= 0; --i) wrong += ValueOf(collection.GetAt(i)) != i;
    for (int n = 0; n < kCount; ++n) {
      const int i = static_cast<int>(random() % kCount);
      wrong += ValueOf(collection.GetAt(i)) != i;
    }
    return wrong;
  };
  // A hash table's index order is its own: a walk must meet every value
  // once, and every key must find its own data.
  // Made before the readers start: making objects counts them, unguarded.
  std::vector<Counted> probes;
  for (int i = 0; i < kCount; ++i) probes.emplace_back(i);
  auto hashed = [&probes](const ZContainer& container, std::mt19937& random) {
    const auto& dictionary = static_cast<const ZDictionary&>(container);
    int wrong = 0;
    std::vector<int> seen(kCount, 0);
    for (ZIndex i = 0; i < dictionary.GetSize(); ++i) {
      const int key = ValueOf(dictionary.GetKeyAt(i));
      const int data = ValueOf(dictionary.GetDataAt(i));
      if (key < 0 || key >= kCount || data != key) {
        ++wrong;
      } else {
        ++seen[static_cast<size_t>(key)];
      }
    }
    wrong += static_cast<int>(std::count_if(seen.begin(), seen.end(), [](int times) { return times != 1; }));
    for (int n = 0; n < kCount; ++n) {
      const int key = static_cast<int>(random() % kCount);
      wrong += ValueOf(dictionary.GetAt(probes[static_cast<size_t>(key)])) != key;
    }
    return wrong;
  };
  const Kind kinds[] = {
      {"ZList",
       [] {
         auto list = std::make_unique<ZList>();
         for (int i = 0; i < kCount; ++i) list->Append(new Counted(i));
         return std::unique_ptr<ZContainer>(std::move(list));
       },
       byIndex, [](const ZContainer& c) { return std::make_unique<ZList>(static_cast<const ZList&>(c)); }},
      {"ZSortedList",
       [] {
         auto list = std::make_unique<ZSortedList>();
         for (int i = kCount; i-- > 0;) list->Append(new Counted(i));
         return std::unique_ptr<ZContainer>(std::move(list));
       },
       byIndex, [](const ZContainer& c) { return std::make_unique<ZSortedList>(static_cast<const ZSortedList&>(c)); }},
      {"ZDictionary",
       [] {
         auto dictionary = std::make_unique<ZDictionary>();
         for (int i = 0; i < kCount; ++i) dictionary->SetAt(Counted(i), new Counted(i));
         return std::unique_ptr<ZContainer>(std::move(dictionary));
       },
       hashed, [](const ZContainer& c) { return std::make_unique<ZDictionary>(static_cast<const ZDictionary&>(c)); }},
  };

  for (const Kind& kind : kinds) {
    SCOPED_TRACE(kind.name);
    const std::unique_ptr<ZContainer> shared = kind.make();
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; ++r) {
      readers.emplace_back([&, r] {
        std::mt19937 random(static_cast<unsigned>(r));
        // Odd readers hold copies: the contents stay shared, not duplicated.
        std::unique_ptr<ZContainer> own = r % 2 == 1 ? kind.copy(*shared) : nullptr;
        const ZContainer& reading = own != nullptr ? *own : *shared;
        for (int round = 0; round < kRounds; ++round) wrong += kind.read(reading, random);
      });
    }
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(shared->GetReferenceCount(), 1u);
  }
}
