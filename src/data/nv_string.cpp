// Unscrambling of the credentials kept in data.ini.
#include <cstdint>

#include "data/mainDM.h"
#include "platform/codepage.h"

namespace tallyhand {

std::string TMainDM::LoadFromNVString(std::string_view s, std::uint16_t key) {
  constexpr std::uint16_t kMultiplier = 52119;
  constexpr std::uint16_t kAddend = 28463;
  auto advance = [](std::uint16_t k, std::uint8_t b) {
    return static_cast<std::uint16_t>((k + b) * kMultiplier + kAddend);
  };
  std::string plain;
  if (s.empty()) return plain;
  std::uint16_t k = advance(key, 0);
  for (const char32_t code : Utf8ToCodePoints(s)) {
    const auto scrambled = static_cast<std::uint8_t>(code & 0xFF);
    AppendUtf8(plain, static_cast<char32_t>(scrambled ^ (k >> 8)));
    // The scrambled byte, not the plain one, feeds the key.
    k = advance(k, scrambled);
  }
  return plain;
}

}  // namespace tallyhand
