// Cost per operation of the sorted list (insertion, selection by index,
// in-order index walks) and of in-order walks of the linked list, for sizes
// from a thousand to a million. Insertion and selection should grow as
// log n; in-order walks should stay flat (one step per index) apart from
// cache misses once the nodes no longer fit in the cache.
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <random>
#include <vector>

#include "zunder/containers.h"

namespace {

// An integer key that counts its comparisons, so the benchmark can show the
// number of steps per operation apart from the time (which cache misses blur
// for the large sizes).
class CountingKey : public ZOrdinalKey {
 public:
  explicit CountingKey(int32_t number) : ZOrdinalKey(number) {}
  ZComparison Compare(const ZObject& other) const override {
    ++comparisons;
    return ZOrdinalKey::Compare(other);
  }
  ZObject* Clone() const override { return new CountingKey(GetValue()); }
  static inline uint64_t comparisons = 0;
};

std::vector<int32_t> RandomValues(size_t count, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<int32_t> values(count);
  for (int32_t& value : values) value = static_cast<int32_t>(random() >> 2);
  return values;
}

// Lists are built once per size and reused across benchmark runs.
ZSortedList& SortedListOf(ZIndex size) {
  static std::map<ZIndex, std::unique_ptr<ZSortedList>> lists;
  std::unique_ptr<ZSortedList>& list = lists[size];
  if (!list) {
    list = std::make_unique<ZSortedList>();
    for (int32_t value : RandomValues(static_cast<size_t>(size), 1)) list->Append(new CountingKey(value));
  }
  return *list;
}

// Built in ascending order, so the nodes lie in memory in index order: walks
// over it measure the steps themselves rather than cache misses.
ZSortedList& OrderedSortedListOf(ZIndex size) {
  static std::map<ZIndex, std::unique_ptr<ZSortedList>> lists;
  std::unique_ptr<ZSortedList>& list = lists[size];
  if (!list) {
    list = std::make_unique<ZSortedList>();
    for (ZIndex i = 0; i < size; ++i) list->Append(new ZOrdinalKey(i));
  }
  return *list;
}

ZList& ListOf(ZIndex size) {
  static std::map<ZIndex, std::unique_ptr<ZList>> lists;
  std::unique_ptr<ZList>& list = lists[size];
  if (!list) {
    list = std::make_unique<ZList>();
    for (ZIndex i = 0; i < size; ++i) list->Append(new ZOrdinalKey(i));
  }
  return *list;
}

// One insertion at a random place and the removal of that object, so the
// size stays n.
void SortedListInsertRemove(benchmark::State& state) {
  const ZIndex size = static_cast<ZIndex>(state.range(0));
  ZSortedList& list = SortedListOf(size);
  const std::vector<int32_t> values = RandomValues(4096, 2);
  size_t next = 0;
  const uint64_t before = CountingKey::comparisons;
  for (auto _ : state) {
    const ZIndex index = list.Append(new CountingKey(values[next++ & 4095]));
    list.RemoveAt(index);
  }
  state.counters["compares/op"] = benchmark::Counter(static_cast<double>(CountingKey::comparisons - before) /
                                                     static_cast<double>(state.iterations()));
  state.SetLabel("insert+remove");
}

void SortedListSelect(benchmark::State& state) {
  const ZIndex size = static_cast<ZIndex>(state.range(0));
  ZSortedList& list = SortedListOf(size);
  std::mt19937 random(3);
  std::vector<ZIndex> indexes(4096);
  for (ZIndex& index : indexes) index = static_cast<ZIndex>(random() % static_cast<uint32_t>(size));
  size_t next = 0;
  for (auto _ : state) benchmark::DoNotOptimize(list.GetAt(indexes[next++ & 4095]));
  state.SetLabel("random index");
}

void SortedListSequential(benchmark::State& state) {
  const ZIndex size = static_cast<ZIndex>(state.range(0));
  ZSortedList& list = SortedListOf(size);
  ZIndex index = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(list.GetAt(index));
    if (++index == size) index = 0;
  }
  state.SetLabel("index after index");
}

void SortedListSequentialOrdered(benchmark::State& state) {
  const ZIndex size = static_cast<ZIndex>(state.range(0));
  ZSortedList& list = OrderedSortedListOf(size);
  ZIndex index = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(list.GetAt(index));
    if (++index == size) index = 0;
  }
  state.SetLabel("index after index, nodes in order");
}

void ListSequential(benchmark::State& state) {
  const ZIndex size = static_cast<ZIndex>(state.range(0));
  ZList& list = ListOf(size);
  ZIndex index = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(list.GetAt(index));
    if (++index == size) index = 0;
  }
  state.SetLabel("index after index");
}

}  // namespace

BENCHMARK(SortedListInsertRemove)->RangeMultiplier(10)->Range(1000, 1000000);
BENCHMARK(SortedListSelect)->RangeMultiplier(10)->Range(1000, 1000000);
BENCHMARK(SortedListSequential)->RangeMultiplier(10)->Range(1000, 1000000);
BENCHMARK(SortedListSequentialOrdered)->RangeMultiplier(10)->Range(1000, 1000000);
BENCHMARK(ListSequential)->RangeMultiplier(10)->Range(1000, 1000000);

BENCHMARK_MAIN();
