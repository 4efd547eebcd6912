// Trimming as the request processing uses it: leading and trailing characters with
// codes up to U+0020 (blanks and control characters) are removed.
#pragma once

#include <string_view>

namespace tallyhand {

// Bytes of a UTF-8 text: every byte of a multi-byte character is above 0x7F, so a
// byte-wise trim never cuts into one.
constexpr bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= 0x20; }

constexpr std::string_view TrimText(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsBlankOrControl(text[begin])) ++begin;
  while (end > begin && IsBlankOrControl(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

}  // namespace tallyhand
