// Message building and string-keyed lookups: the runtime's own string and hash table against the
// standard library doing the same work in the same run.

#include "util/vant_hash_table.h"
#include "util/vant_string.h"

#include <benchmark/benchmark.h>

#include <cinttypes>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

// A short report text: fits in the stacked string's 40 in-object bytes.
void BM_ShortMessage_Streamed(benchmark::State& state) {
  int32_t i = 0;
  for (auto _ : state) {
    VANTStreamedString s("input_");
    s << i++ << ": " << int64_t{123456789} << " in " << 2.5;
    benchmark::DoNotOptimize(s.Text());
  }
}
BENCHMARK(BM_ShortMessage_Streamed);

void BM_ShortMessage_StdString(benchmark::State& state) {
  int32_t i = 0;
  for (auto _ : state) {
    std::string s("input_");
    char number[40];
    s.append(number, static_cast<std::size_t>(std::snprintf(number, sizeof number, "%d", i++)));
    s += ": ";
    s.append(number, static_cast<std::size_t>(
                         std::snprintf(number, sizeof number, "%" PRId64, int64_t{123456789})));
    s += " in ";
    s.append(number, static_cast<std::size_t>(std::snprintf(number, sizeof number, "%.10g", 2.5)));
    benchmark::DoNotOptimize(s.data());
  }
}
BENCHMARK(BM_ShortMessage_StdString);

std::vector<std::string> Keys(int n) {
  std::vector<std::string> keys;
  for (int i = 0; i < n; ++i) {
    keys.push_back("module" + std::to_string(i) + ".output.fifosize");
  }
  return keys;
}

void BM_InsertAndFind_StringHashTable(benchmark::State& state) {
  const auto keys = Keys(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    VANTStringHashTable<int> table(16, true);
    for (std::size_t i = 0; i < keys.size(); ++i) {
      table.Insert(keys[i].c_str()) = static_cast<int>(i);
    }
    int64_t sum = 0;
    for (const auto& key : keys) {
      const int* value = table.Find(key.c_str());
      sum += value != nullptr ? *value : -1;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_InsertAndFind_StringHashTable)->Arg(64)->Arg(4096);

void BM_InsertAndFind_UnorderedMap(benchmark::State& state) {
  const auto keys = Keys(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    std::unordered_map<std::string, int> table(16);
    for (std::size_t i = 0; i < keys.size(); ++i) {
      table.emplace(keys[i], static_cast<int>(i));
    }
    int64_t sum = 0;
    for (const auto& key : keys) {
      const auto found = table.find(key);
      sum += found != table.end() ? found->second : -1;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_InsertAndFind_UnorderedMap)->Arg(64)->Arg(4096);

void BM_Hash64(benchmark::State& state) {
  const std::string text(static_cast<std::size_t>(state.range(0)), 'n');
  for (auto _ : state) {
    benchmark::DoNotOptimize(VANT::Hash64(text.data(), text.size(), VANT::StringHashLevel));
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Hash64)->Arg(16)->Arg(1024);

} // namespace

BENCHMARK_MAIN();

#if 0
// AMD EPYC, 2 cores shared with other builds (CPU time; wall time was about 3x higher from load),
// RelWithDebInfo, g++ 12:
// BM_ShortMessage_Streamed                    348 ns CPU
// BM_ShortMessage_StdString                   350 ns CPU   (ratio 0.99)
// BM_InsertAndFind_StringHashTable/64        8281 ns CPU   7.7 M items/s
// BM_InsertAndFind_UnorderedMap/64           5916 ns CPU  10.8 M items/s (ratio 1.40)
// BM_InsertAndFind_StringHashTable/4096    742360 ns CPU   5.5 M items/s
// BM_InsertAndFind_UnorderedMap/4096       687203 ns CPU   6.0 M items/s (ratio 1.08)
// BM_Hash64/16                               12.2 ns CPU   1.2 GB/s
// BM_Hash64/1024                              396 ns CPU   2.4 GB/s
#endif
