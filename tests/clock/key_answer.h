// Reads the success envelope that hands out a fresh session key.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tallyhand::testing {

// The key of {"error":"0","RID":"<rid>","response":"success","key":"<32 letters A-T>",
// "eofline":"eof"}, or nullopt when the response has another shape.
inline std::optional<std::string> KeyOfAnswer(std::string_view response, std::string_view rid) {
  const std::string head =
      R"({"error":"0","RID":")" + std::string(rid) + R"(","response":"success","key":")";
  constexpr std::string_view tail = R"(","eofline":"eof"})";
  constexpr std::size_t kLength = 32;
  if (response.size() != head.size() + kLength + tail.size()) return std::nullopt;
  if (response.substr(0, head.size()) != head) return std::nullopt;
  if (response.substr(head.size() + kLength) != tail) return std::nullopt;
  const std::string_view key = response.substr(head.size(), kLength);
  for (char c : key) {
    if (c < 'A' || c > 'T') return std::nullopt;
  }
  return std::string(key);
}

}  // namespace tallyhand::testing
