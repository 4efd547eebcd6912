// The counters the extension keeps for operators (statements, reconnects, uploads, event
// log write failures, workers), each a relaxed atomic: the request path takes no lock
// for them. One set per module, read whole by the figures export.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>

#include "isapi/figures_export.h"

namespace tallyhand {

class OperatingFigures {
 public:
  static constexpr std::size_t kStatementBuckets = TALLYHAND_STATEMENT_BUCKETS;
  static constexpr std::array<double, kStatementBuckets> kStatementBounds =
      TALLYHAND_STATEMENT_BUCKET_BOUNDS;

  void CountStatement(std::chrono::nanoseconds took, bool failed);
  void CountReconnect() { Add(dbReconnects_); }
  void CountUpload(uint64_t bytes) {
    Add(uploadsStored_);
    Add(uploadBytes_, bytes);
  }
  void CountEventLogWriteError() { Add(eventLogWriteErrors_); }
  void RequestQueued() { Add(queueDepth_); }
  // A worker took a queued request and serves it.
  void WorkerStarted() {
    queueDepth_.fetch_sub(1, std::memory_order_relaxed);
    Add(workersBusy_);
  }
  void WorkerFinished() { workersBusy_.fetch_sub(1, std::memory_order_relaxed); }

  // The counters into the export's figures; the gauges the caller knows are left alone.
  void Read(TALLYHAND_EXTENSION_FIGURES& figures) const;

 private:
  static void Add(std::atomic<uint64_t>& counter, uint64_t amount = 1) {
    counter.fetch_add(amount, std::memory_order_relaxed);
  }

  std::atomic<uint64_t> dbReconnects_{0};
  std::atomic<uint64_t> dbStatementErrors_{0};
  std::array<std::atomic<uint64_t>, kStatementBuckets + 1> statementBuckets_{};
  std::atomic<uint64_t> statementNanoseconds_{0};
  std::atomic<uint64_t> uploadsStored_{0};
  std::atomic<uint64_t> uploadBytes_{0};
  std::atomic<uint64_t> eventLogWriteErrors_{0};
  std::atomic<uint64_t> workersBusy_{0};
  std::atomic<uint64_t> queueDepth_{0};
};

// The module's one set.
OperatingFigures& Figures();

}  // namespace tallyhand
