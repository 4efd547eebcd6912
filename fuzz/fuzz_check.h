// The fuzz targets' property check: a violated property names itself and aborts, which
// libFuzzer reports as a finding with the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace tallyhand::fuzzing {

inline void Check(bool condition, const char* property) {
  if (!condition) {
    std::fprintf(stderr, "property violated: %s\n", property);
    std::abort();
  }
}

}  // namespace tallyhand::fuzzing
