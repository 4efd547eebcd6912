#include "platform/codepage.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace tallyhand {
namespace {

// Code points of the bytes 0x80..0x9F; the five bytes the code page leaves undefined
// keep their own value (C1 controls), as the Windows conversion does.
constexpr std::array<char32_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

constexpr char32_t kInvalid = 0xFFFFFFFF;

char32_t Cp1252ByteToCodePoint(unsigned char byte) {
  if (byte >= 0x80 && byte <= 0x9F) return kHighControls[byte - 0x80];
  return byte;
}

// The byte for a code point, or '?' when the code page lacks it.
char CodePointToCp1252(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<char>(cp);
  for (std::size_t i = 0; i < kHighControls.size(); ++i) {
    if (kHighControls[i] == cp) return static_cast<char>(0x80 + i);
  }
  return '?';
}

}  // namespace

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
    return;
  }
  // Encoded into a small buffer first so the string grows once per character.
  char encoded[4];
  std::size_t length;
  if (cp < 0x800) {
    encoded[0] = static_cast<char>(0xC0 | (cp >> 6));
    encoded[1] = static_cast<char>(0x80 | (cp & 0x3F));
    length = 2;
  } else if (cp < 0x10000) {
    encoded[0] = static_cast<char>(0xE0 | (cp >> 12));
    encoded[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    encoded[2] = static_cast<char>(0x80 | (cp & 0x3F));
    length = 3;
  } else {
    encoded[0] = static_cast<char>(0xF0 | (cp >> 18));
    encoded[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    encoded[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    encoded[3] = static_cast<char>(0x80 | (cp & 0x3F));
    length = 4;
  }
  out.append(encoded, length);
}

namespace {

// Decodes one character at pos and advances past it. An invalid sequence yields
// kInvalid and is skipped by its maximal valid prefix (at least one byte), so that
// each ill-formed subsequence counts once, as the Unicode standard recommends.
char32_t DecodeOne(std::string_view text, std::size_t& pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  ++pos;
  if (lead < 0x80) return lead;
  int trailing;
  char32_t cp;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the first trailing byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    trailing = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trailing = 2;
    cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trailing = 3;
    cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return kInvalid;
  }
  for (int i = 0; i < trailing; ++i) {
    if (pos >= text.size()) return kInvalid;
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (byte < low || byte > high) return kInvalid;
    low = 0x80;
    high = 0xBF;
    cp = (cp << 6) | (byte & 0x3F);
    ++pos;
  }
  return cp;
}

// Position of the first byte at or after pos that is not ASCII (text.size() when none).
// Looks at eight bytes at a time: most text is ASCII and is copied in runs.
std::size_t AsciiRunEnd(std::string_view text, std::size_t pos) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  const std::size_t size = text.size();
  while (pos + 8 <= size) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + pos, sizeof word);
    if ((word & kHighBits) != 0) break;
    pos += 8;
  }
  while (pos < size && static_cast<unsigned char>(text[pos]) < 0x80) ++pos;
  return pos;
}

bool ContainsIgnoringCase(std::string_view text, std::string_view upperNeedle) {
  if (upperNeedle.size() > text.size()) return false;
  for (std::size_t start = 0; start + upperNeedle.size() <= text.size(); ++start) {
    bool match = true;
    for (std::size_t i = 0; i < upperNeedle.size() && match; ++i) {
      char c = text[start + i];
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      match = c == upperNeedle[i];
    }
    if (match) return true;
  }
  return false;
}

}  // namespace

std::string Cp1252ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const std::size_t runEnd = AsciiRunEnd(bytes, pos);
    out.append(bytes.data() + pos, runEnd - pos);
    for (pos = runEnd; pos < bytes.size(); ++pos) {
      const auto byte = static_cast<unsigned char>(bytes[pos]);
      if (byte < 0x80) break;
      AppendUtf8(out, Cp1252ByteToCodePoint(byte));
    }
  }
  return out;
}

std::string Utf8ToCp1252(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t runEnd = AsciiRunEnd(text, pos);
    out.append(text.data() + pos, runEnd - pos);
    pos = runEnd;
    while (pos < text.size() && static_cast<unsigned char>(text[pos]) >= 0x80) {
      const char32_t cp = DecodeOne(text, pos);
      out += cp == kInvalid ? '?' : CodePointToCp1252(cp);
    }
  }
  return out;
}

std::string SanitizeUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  // Well-formed stretches, ASCII or not, are copied whole when an invalid sequence or
  // the end is reached; only the invalid sequences are rewritten.
  std::size_t copiedTo = 0;
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    pos = AsciiRunEnd(bytes, pos);
    if (pos >= bytes.size()) break;
    const std::size_t start = pos;
    if (DecodeOne(bytes, pos) == kInvalid) {
      out.append(bytes.data() + copiedTo, start - copiedTo);
      out.append("\xEF\xBF\xBD", 3);  // U+FFFD
      copiedTo = pos;
    }
  }
  out.append(bytes.data() + copiedTo, bytes.size() - copiedTo);
  return out;
}

bool IsValidUtf8(std::string_view bytes) {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    pos = AsciiRunEnd(bytes, pos);
    if (pos < bytes.size() && DecodeOne(bytes, pos) == kInvalid) return false;
  }
  return true;
}

bool ContentTypeMeansUtf8(std::string_view contentType) {
  return ContainsIgnoringCase(contentType, "CHARSET") && ContainsIgnoringCase(contentType, "UTF-8");
}

std::string DecodeByContentType(std::string_view bytes, std::string_view contentType) {
  return ContentTypeMeansUtf8(contentType) ? SanitizeUtf8(bytes) : Cp1252ToUtf8(bytes);
}

std::u32string Utf8ToCodePoints(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const char32_t cp = DecodeOne(text, pos);
    out += cp == kInvalid ? char32_t{0xFFFD} : cp;
  }
  return out;
}

size_t Utf8Length(std::string_view text) {
  size_t count = 0;
  for (char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  }
  return count;
}

}  // namespace tallyhand
