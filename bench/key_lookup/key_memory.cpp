// Memory the session key table takes per live key: issues a number of keys from a number
// of threads (as request threads do) and prints what the process gained, per key.
//
//   bench_key_memory [keys=1000000] [threads=1]
//
// "in use" is what malloc has handed out (mallinfo2, over every arena), "held" adds what
// the arenas keep free for later, "resident" is the growth of the resident set, "peak"
// the growth of the resident high-water mark (the index's growth steps included).
#include <malloc.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "clock/session_keys.h"

namespace {

struct Usage {
  double inUse;
  double held;
  double resident;
  double peak;
};

double StatusKilobytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::strtod(line.c_str() + field.size() + 1, nullptr);
  }
  return 0;
}

Usage Measure() {
  const struct mallinfo2 info = mallinfo2();
  return Usage{static_cast<double>(info.uordblks + info.hblkhd),
               static_cast<double>(info.arena + info.hblkhd), StatusKilobytes("VmRSS") * 1024,
               StatusKilobytes("VmHWM") * 1024};
}

// Lets the high-water mark start from the current resident set.
void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

}  // namespace

int main(int argc, char** argv) {
  const long keys = argc > 1 ? std::atol(argv[1]) : 1'000'000;
  const int threadCount = argc > 2 ? std::atoi(argv[2]) : 1;
  if (keys <= 0 || threadCount <= 0) {
    std::fprintf(stderr, "usage: %s [keys] [threads]\n", argv[0]);
    return 2;
  }
  // Start the threads' arenas and the table's statics before the first reading.
  {
    std::vector<std::thread> warm;
    for (int t = 0; t < threadCount; ++t) warm.emplace_back([] { tallyhand::CreateKey(0, 0); });
    for (std::thread& thread : warm) thread.join();
    tallyhand::ClearKeysForTesting();
  }
  ResetPeak();
  const Usage before = Measure();
  std::vector<std::thread> threads;
  for (int t = 0; t < threadCount; ++t) {
    const long share = keys / threadCount + (t < keys % threadCount ? 1 : 0);
    threads.emplace_back([t, share] {
      for (long i = 0; i < share; ++i) tallyhand::CreateKey(t, static_cast<std::int32_t>(i));
    });
  }
  for (std::thread& thread : threads) thread.join();
  const Usage after = Measure();
  const double n = static_cast<double>(tallyhand::KeyCount());
  std::printf("%ld keys, %d threads: bytes per live key: in use %.1f, held %.1f, resident %.1f, "
              "peak %.1f\n",
              keys, threadCount, (after.inUse - before.inUse) / n, (after.held - before.held) / n,
              (after.resident - before.resident) / n, (after.peak - before.peak) / n);
  return 0;
}
