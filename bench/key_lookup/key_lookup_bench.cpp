// Cost of one session key lookup with a small, a sign-in flood's and a very large key table.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "clock/session_keys.h"

namespace {

std::int64_t filledWith = -1;
std::vector<std::string> keys;

// Fills the table with `count` live keys (once per size) and returns their texts.
const std::vector<std::string>& LiveKeys(std::int64_t count) {
  if (filledWith != count) {
    tallyhand::ClearKeysForTesting();
    keys.clear();
    keys.reserve(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i) {
      keys.push_back(tallyhand::CreateKey(static_cast<std::int32_t>(i), 1));
    }
    filledWith = count;
  }
  return keys;
}

void BM_CheckKeyFound(benchmark::State& state) {
  // Clients look keys up in no particular order; the texts are laid out one after the
  // other so that reading them costs the benchmark itself next to nothing.
  std::vector<std::array<char, tallyhand::kKeyLength>> lookups;
  for (const std::string& key : LiveKeys(state.range(0))) {
    auto& text = lookups.emplace_back();
    std::copy(key.begin(), key.end(), text.begin());
  }
  std::shuffle(lookups.begin(), lookups.end(), std::mt19937_64(42));
  std::size_t next = 0;
  for (auto _ : state) {
    std::int32_t uid = -1, cid = -1;
    const auto& text = lookups[next];
    const bool found = tallyhand::CheckKey(std::string_view(text.data(), text.size()), uid, cid);
    benchmark::DoNotOptimize(found);
    if (!found) state.SkipWithError("a live key was not found");
    if (++next == lookups.size()) next = 0;
  }
  state.counters["keys"] = static_cast<double>(tallyhand::KeyCount());
}

void BM_CheckKeyUnknown(benchmark::State& state) {
  LiveKeys(state.range(0));
  // Fresh texts that were never issued, so that each lookup lands in another bucket.
  std::vector<std::string> unknown;
  for (int i = 0; i < 4096; ++i) unknown.push_back(tallyhand::GenerateKeyText());
  std::size_t next = 0;
  for (auto _ : state) {
    std::int32_t uid = -1, cid = -1;
    benchmark::DoNotOptimize(tallyhand::CheckKey(unknown[next], uid, cid));
    if (++next == unknown.size()) next = 0;
  }
  state.counters["keys"] = static_cast<double>(tallyhand::KeyCount());
}

void BM_CreateKey(benchmark::State& state) {
  tallyhand::ClearKeysForTesting();
  filledWith = -1;
  std::int32_t uid = 0;
  for (auto _ : state) benchmark::DoNotOptimize(tallyhand::CreateKey(uid++, 1));
  tallyhand::ClearKeysForTesting();
}

BENCHMARK(BM_CheckKeyFound)->Arg(100)->Arg(240'000)->Arg(1'000'000);
BENCHMARK(BM_CheckKeyUnknown)->Arg(100)->Arg(240'000)->Arg(1'000'000);
BENCHMARK(BM_CreateKey);

}  // namespace

BENCHMARK_MAIN();
