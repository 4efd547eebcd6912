#include "host/request_figures.h"

#include <algorithm>

namespace tallyhand::host {

const char* RefusalName(Refusal refusal) {
  static constexpr std::array<const char*, kRefusalCount> kNames = {
      "body_too_large", "header_too_large", "bad_request",
      "body_buffer_full", "connection_limit", "timeout"};
  return kNames[static_cast<std::size_t>(refusal)];
}

RequestFigures::RequestFigures(std::size_t actionCount) : actionCount_(std::max<std::size_t>(1, actionCount)) {
  shards_.reserve(kShards);
  for (std::size_t i = 0; i < kShards; ++i) shards_.push_back(std::make_unique<Shard>(actionCount_));
}

RequestFigures::Shard& RequestFigures::ThisThreadsShard() {
  // Threads take the shards in turn as they first count; the index outlives any one
  // server, which only matters for spreading.
  static std::atomic<std::size_t> nextShard{0};
  thread_local const std::size_t shard = nextShard.fetch_add(1, std::memory_order_relaxed) % kShards;
  return *shards_[shard];
}

void RequestFigures::CountAnswer(std::size_t action, unsigned status, std::chrono::nanoseconds took) {
  if (action >= actionCount_) action = 0;
  Shard& shard = ThisThreadsShard();
  shard.answers[action * kStatusSlots + StatusSlot(status)].fetch_add(1, std::memory_order_relaxed);
  const double seconds = std::chrono::duration<double>(took).count();
  const std::size_t bucket = static_cast<std::size_t>(
      std::lower_bound(kDurationBounds.begin(), kDurationBounds.end(), seconds) - kDurationBounds.begin());
  shard.buckets[action * kBuckets + bucket].fetch_add(1, std::memory_order_relaxed);
  shard.nanoseconds[action].fetch_add(static_cast<uint64_t>(std::max<int64_t>(0, took.count())),
                                      std::memory_order_relaxed);
}

RequestFigures::Totals RequestFigures::Read() const {
  Totals totals;
  totals.actions.resize(actionCount_);
  std::vector<uint64_t> nanoseconds(actionCount_, 0);
  for (ActionTotals& action : totals.actions) action.answersByStatusSlot.assign(kStatusSlots, 0);
  for (const auto& shard : shards_) {
    for (std::size_t a = 0; a < actionCount_; ++a) {
      ActionTotals& action = totals.actions[a];
      for (std::size_t s = 0; s < kStatusSlots; ++s) {
        action.answersByStatusSlot[s] += shard->answers[a * kStatusSlots + s].load(std::memory_order_relaxed);
      }
      for (std::size_t b = 0; b < kBuckets; ++b) {
        action.durationBuckets[b] += shard->buckets[a * kBuckets + b].load(std::memory_order_relaxed);
      }
      nanoseconds[a] += shard->nanoseconds[a].load(std::memory_order_relaxed);
    }
  }
  for (std::size_t a = 0; a < actionCount_; ++a) {
    totals.actions[a].durationSecondsSum = static_cast<double>(nanoseconds[a]) / 1e9;
  }
  for (std::size_t r = 0; r < kRefusalCount; ++r) totals.refusals[r] = refusals_[r].load(std::memory_order_relaxed);
  return totals;
}

}  // namespace tallyhand::host
