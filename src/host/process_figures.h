// The process's own figures, as Prometheus's process collector names them, read from
// /proc/self at each scrape.
#pragma once

#include <cstdint>
#include <optional>

namespace tallyhand::host {

struct ProcessFigures {
  double cpuSeconds = 0;
  double startTimeSeconds = 0;  // since the epoch
  uint64_t residentBytes = 0;
  uint64_t virtualBytes = 0;
  uint64_t openDescriptors = 0;
  uint64_t maxDescriptors = 0;
};

// Nullopt when /proc cannot be read.
std::optional<ProcessFigures> ReadProcessFigures();

}  // namespace tallyhand::host
