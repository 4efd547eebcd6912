// Comparison of names (SQL keywords, column and driver names) without regard to the
// letter case of ASCII letters.
#pragma once

#include <cctype>
#include <string_view>

namespace tallyhand {

inline bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace tallyhand
