// What the host counts per answered request (by action and status, with the time each
// took) and per refused one. Counting runs on every io thread and extension worker, so
// the counters are spread over shards that threads take in turn: relaxed atomics, no
// lock, and few threads on one cache line.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tallyhand::host {

enum class Refusal : std::size_t {
  BodyTooLarge,
  HeaderTooLarge,
  BadRequest,
  BodyBufferFull,
  ConnectionLimit,
  Timeout,
};
inline constexpr std::size_t kRefusalCount = 6;
// The label value of each refusal.
const char* RefusalName(Refusal refusal);

class RequestFigures {
 public:
  // Upper bounds in seconds of the request duration buckets.
  static constexpr std::array<double, 14> kDurationBounds = {
      0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 5.0};
  // Statuses 100 to 599 each have a slot; any other status counts in the last one.
  static constexpr unsigned kLowestStatus = 100;
  static constexpr std::size_t kStatusSlots = 501;

  // actionCount: the actions answers are counted under (index 0 to actionCount - 1).
  explicit RequestFigures(std::size_t actionCount);
  RequestFigures(const RequestFigures&) = delete;
  RequestFigures& operator=(const RequestFigures&) = delete;

  void CountAnswer(std::size_t action, unsigned status, std::chrono::nanoseconds took);
  void CountRefusal(Refusal refusal) {
    refusals_[static_cast<std::size_t>(refusal)].fetch_add(1, std::memory_order_relaxed);
  }

  struct ActionTotals {
    std::vector<uint64_t> answersByStatusSlot;  // kStatusSlots entries
    std::array<uint64_t, kDurationBounds.size() + 1> durationBuckets{};  // not cumulative
    double durationSecondsSum = 0;
  };
  struct Totals {
    std::vector<ActionTotals> actions;
    std::array<uint64_t, kRefusalCount> refusals{};
  };
  // The sums over every shard; counts that arrive meanwhile may or may not be in it.
  Totals Read() const;

  std::size_t ActionCount() const { return actionCount_; }
  static std::size_t StatusSlot(unsigned status) {
    return status >= kLowestStatus && status < kLowestStatus + kStatusSlots - 1
               ? status - kLowestStatus
               : kStatusSlots - 1;
  }

 private:
  static constexpr std::size_t kShards = 16;
  static constexpr std::size_t kBuckets = kDurationBounds.size() + 1;
  // One shard's counters for every action: answers by status slot, duration buckets,
  // and the nanoseconds summed.
  struct alignas(64) Shard {
    explicit Shard(std::size_t actions)
        : answers(std::make_unique<std::atomic<uint64_t>[]>(actions * kStatusSlots)),
          buckets(std::make_unique<std::atomic<uint64_t>[]>(actions * kBuckets)),
          nanoseconds(std::make_unique<std::atomic<uint64_t>[]>(actions)) {}
    std::unique_ptr<std::atomic<uint64_t>[]> answers;
    std::unique_ptr<std::atomic<uint64_t>[]> buckets;
    std::unique_ptr<std::atomic<uint64_t>[]> nanoseconds;
  };
  Shard& ThisThreadsShard();

  const std::size_t actionCount_;
  std::vector<std::unique_ptr<Shard>> shards_;
  std::array<std::atomic<uint64_t>, kRefusalCount> refusals_{};
};

}  // namespace tallyhand::host
