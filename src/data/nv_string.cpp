// Scrambling of the credentials kept in data.ini: the unscrambling the system does at
// start, and its inverse for preparing data.ini.
#include <cstdint>

#include "data/data_ini.h"
#include "data/mainDM.h"
#include "platform/codepage.h"
#include "platform/exception.h"

namespace tallyhand {
namespace {

constexpr std::uint16_t kMultiplier = 52119;
constexpr std::uint16_t kAddend = 28463;

// In 32 unsigned bits, then cut to 16: the operands would otherwise be promoted to int,
// whose product can overflow.
std::uint16_t Advance(std::uint16_t key, std::uint8_t scrambled) {
  const std::uint32_t sum = std::uint32_t{key} + scrambled;
  return static_cast<std::uint16_t>(sum * kMultiplier + kAddend);
}

// A printable character carrying the byte in its low 8 bits. Bytes that are visible ASCII
// stand for themselves, except the INI syntax characters; every other byte moves to
// U+0100..U+01FF, which are all printable letters.
char32_t PrintableCarrier(std::uint8_t byte) {
  if (byte >= 0x21 && byte <= 0x7E && byte != '=' && byte != ';') return byte;
  return 0x100 + char32_t{byte};
}

}  // namespace

std::string TMainDM::LoadFromNVString(std::string_view s, std::uint16_t key) {
  std::string plain;
  if (s.empty()) return plain;
  std::uint16_t k = Advance(key, 0);
  for (const char32_t code : Utf8ToCodePoints(s)) {
    const auto scrambled = static_cast<std::uint8_t>(code & 0xFF);
    AppendUtf8(plain, static_cast<char32_t>(scrambled ^ (k >> 8)));
    // The scrambled byte, not the plain one, feeds the key.
    k = Advance(k, scrambled);
  }
  return plain;
}

std::string ScrambleNVString(std::string_view plainLatin1, std::uint16_t key) {
  constexpr std::size_t kMaxLength = 255;  // data.ini's reader keeps no more than this
  const std::u32string plain = Utf8ToCodePoints(plainLatin1);
  if (plain.size() > kMaxLength) {
    throw EConvertError("A text of more than 255 characters cannot be scrambled");
  }
  std::string scrambled;
  if (plain.empty()) return scrambled;
  std::uint16_t k = Advance(key, 0);
  for (const char32_t code : plain) {
    if (code > 0xFF) {
      throw EConvertError("Only characters U+0000 to U+00FF can be scrambled");
    }
    const auto byte = static_cast<std::uint8_t>(code ^ (k >> 8));
    AppendUtf8(scrambled, PrintableCarrier(byte));
    k = Advance(k, byte);
  }
  return scrambled;
}

}  // namespace tallyhand
