// Text edits of the request processing: trimming (leading and trailing characters with
// codes up to U+0020, blanks and control characters) and placeholder replacement.
#pragma once

#include <string>
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

// Every occurrence of `from`, left to right, replaced by `to`; case-sensitive.
inline std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
  std::string result;
  std::size_t start = 0;
  for (std::size_t at = text.find(from); at != std::string_view::npos;
       at = text.find(from, start)) {
    result.append(text, start, at - start);
    result += to;
    start = at + from.size();
  }
  result.append(text, start);
  return result;
}

}  // namespace tallyhand
