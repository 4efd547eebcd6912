// A server whose local clock runs ahead of the real one by an offset the test sets at
// any moment (libfaketime, reading its offset from a file at every clock reading); the
// server's timers keep the real monotonic clock.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace tallyhand::e2e {

inline constexpr std::string_view kFaketimeLibrary = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1";

// The environment entries that make a server read its clock offset from file.
inline std::vector<std::string> FaketimeEnvironment(const std::string& file) {
  std::vector<std::string> environment = {
      "LD_PRELOAD=" + std::string(kFaketimeLibrary), "FAKETIME_TIMESTAMP_FILE=" + file,
      "FAKETIME_NO_CACHE=1", "FAKETIME_DONT_FAKE_MONOTONIC=1"};
  // A server built with AddressSanitizer would refuse a library loaded before its runtime.
  const char* asan = std::getenv("ASAN_OPTIONS");
  environment.push_back("ASAN_OPTIONS=" + std::string(asan != nullptr ? asan : "") +
                        (asan != nullptr && *asan != '\0' ? ":" : "") + "verify_asan_link_order=0");
  return environment;
}

// Sets the offset ("+0", "+16m") of the servers reading that file.
inline void MoveClock(const std::string& file, std::string_view offset) {
  {
    std::ofstream out(file + ".new", std::ios::binary);
    out << offset << "\n";
  }
  // Replaced in one step: the server reads the file at every clock reading.
  std::filesystem::rename(file + ".new", file);
}

}  // namespace tallyhand::e2e
