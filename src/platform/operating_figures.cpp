#include "platform/operating_figures.h"

#include <algorithm>

namespace tallyhand {

void OperatingFigures::CountStatement(std::chrono::nanoseconds took, bool failed) {
  const double seconds = std::chrono::duration<double>(took).count();
  const auto bound = std::lower_bound(kStatementBounds.begin(), kStatementBounds.end(), seconds);
  Add(statementBuckets_[static_cast<std::size_t>(bound - kStatementBounds.begin())]);
  Add(statementNanoseconds_, static_cast<uint64_t>(std::max<int64_t>(0, took.count())));
  if (failed) Add(dbStatementErrors_);
}

void OperatingFigures::Read(TALLYHAND_EXTENSION_FIGURES& figures) const {
  auto load = [](const std::atomic<uint64_t>& counter) {
    return counter.load(std::memory_order_relaxed);
  };
  figures.workersBusy = load(workersBusy_);
  figures.workerQueueDepth = load(queueDepth_);
  figures.dbReconnects = load(dbReconnects_);
  figures.dbStatementErrors = load(dbStatementErrors_);
  for (std::size_t i = 0; i < statementBuckets_.size(); ++i) {
    figures.statementBuckets[i] = load(statementBuckets_[i]);
  }
  figures.statementSecondsSum = static_cast<double>(load(statementNanoseconds_)) / 1e9;
  figures.uploadsStored = load(uploadsStored_);
  figures.uploadBytes = load(uploadBytes_);
  figures.eventLogWriteErrors = load(eventLogWriteErrors_);
}

OperatingFigures& Figures() {
  static OperatingFigures figures;
  return figures;
}

}  // namespace tallyhand
