// The conversions copy ASCII runs in bulk; these tests hold them to the plain
// character-by-character conversions they replaced, kept here as the reference.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "support/random_texts.h"

namespace tallyhand {
namespace {

namespace reference {

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

char CodePointToCp1252(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<char>(cp);
  for (std::size_t i = 0; i < kHighControls.size(); ++i) {
    if (kHighControls[i] == cp) return static_cast<char>(0x80 + i);
  }
  return '?';
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

char32_t DecodeOne(std::string_view text, std::size_t& pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  ++pos;
  if (lead < 0x80) return lead;
  int trailing;
  char32_t cp;
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    trailing = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trailing = 2;
    cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
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

std::string Cp1252ToUtf8(std::string_view bytes) {
  std::string out;
  for (char c : bytes) AppendUtf8(out, Cp1252ByteToCodePoint(static_cast<unsigned char>(c)));
  return out;
}

std::string Utf8ToCp1252(std::string_view text) {
  std::string out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const char32_t cp = DecodeOne(text, pos);
    out += cp == kInvalid ? '?' : CodePointToCp1252(cp);
  }
  return out;
}

std::string SanitizeUtf8(std::string_view bytes) {
  std::string out;
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const std::size_t start = pos;
    const char32_t cp = DecodeOne(bytes, pos);
    if (cp == kInvalid) {
      AppendUtf8(out, 0xFFFD);
    } else {
      out.append(bytes.substr(start, pos - start));
    }
  }
  return out;
}

}  // namespace reference

// Inputs chosen to sit on the edges of the bulk copy: runs shorter and longer than the
// eight bytes looked at together, multi-byte sequences right before and after a run,
// truncated and invalid sequences at the start, middle and end.
std::vector<std::string> TrickyTexts() {
  std::vector<std::string> texts = {
      "",
      "a",
      "1234567",
      "12345678",
      "123456789",
      std::string("a\0b\0\0\0\0\0\0\0\0c", 12),
      "\xC3\xA9",
      "\xC3\xA9" "abcdefgh" "\xC3\xA9",
      "abcdefg\xC3\xA9",
      "abcdefgh\xC3\xA9",
      "abcdefghi\xC3\xA9xyz",
      "abcdefgh\xC3",                       // truncated at the end, after a full word
      "abcdefg\xE2\x82",                    // truncated three-byte sequence
      "abcdefg\xF0\x9F\x98",                // truncated four-byte sequence
      "\xF0\x9F\x98\x80" "0123456789abcdef" "\xF0\x9F\x98\x80",
      "\x80" "abcdefgh",                    // lone continuation byte first
      "abcdefgh\x80",
      "\xC0\xAF" "abcdefgh",                // overlong slash
      "\xE0\x80\xAF" "abc",                 // overlong three-byte form
      "\xED\xA0\x80" "abcdefgh",            // surrogate
      "\xF4\x90\x80\x80" "abcdefgh",        // beyond U+10FFFF
      "\xF5\x80\x80\x80",
      "\xFF\xFE" "abcdefghijklmnop" "\xFE\xFF",
      "\xC3" "abcdefgh",                    // lead byte followed by ASCII
      "\xE2\x82" "abcdefgh",
      "\xE2\x82\xAC" "\xE2\x82\xAC" "\xE2\x82\xAC",
      "\xC2\x80\xC2\x81\xC2\x9F\xC2\xA0\xC3\xBF",
      "\xC5\xB8\xC5\x92\xCB\x9C\xE2\x84\xA2",
  };
  std::string allBytes;
  for (int b = 0; b < 256; ++b) allBytes += static_cast<char>(b);
  texts.push_back(allBytes);
  texts.push_back(std::string(1000, 'x') + "\xC3\xA9" + std::string(1000, 'y'));
  return texts;
}

// Strings of fixed-seed random pieces: ASCII runs of every length around the word
// size, well-formed and broken multi-byte sequences, and raw high bytes.
std::vector<std::string> RandomTexts(std::size_t count) {
  static const testsupport::RandomTextRecipe recipe{{
      "a", "Zq", "0123456", "abcdefgh", "abcdefghijklmnopq", " ", "\r\n", std::string(1, '\0'),
      "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xC2\x80", "\xC5\xB8",
      "\x80", "\xBF", "\xC3", "\xE2\x82", "\xF0\x9F\x98", "\xC0\xAF", "\xE0\x80\xAF",
      "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF", "\xFE",
  }, 20240501, 24, 4};
  return testsupport::RandomTexts(recipe, count);
}

std::string Hex(std::string_view bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    out += digits[b >> 4];
    out += digits[b & 0xF];
    out += ' ';
  }
  return out;
}

TEST(CodepageFastPath, ConversionsMatchTheCharacterByCharacterReference) {
  std::vector<std::string> texts = TrickyTexts();
  for (std::string& text : RandomTexts(4000)) texts.push_back(std::move(text));
  for (const std::string& text : texts) {
    SCOPED_TRACE(Hex(text));
    EXPECT_EQ(Cp1252ToUtf8(text), reference::Cp1252ToUtf8(text));
    EXPECT_EQ(Utf8ToCp1252(text), reference::Utf8ToCp1252(text));
    const std::string sanitized = reference::SanitizeUtf8(text);
    EXPECT_EQ(SanitizeUtf8(text), sanitized);
    EXPECT_EQ(IsValidUtf8(text), sanitized == text);
    EXPECT_EQ(DecodeByContentType(text, "text/plain; charset=utf-8"), sanitized);
    EXPECT_EQ(DecodeByContentType(text, "text/plain"), reference::Cp1252ToUtf8(text));
  }
}

TEST(CodepageFastPath, AppendUtf8MatchesTheReferenceForEveryKindOfCodePoint) {
  std::vector<char32_t> codePoints = {0,       0x7F,     0x80,     0x7FF,    0x800,
                                      0xD7FF,  0xD800,   0xDFFF,   0xE000,   0xFFFD,
                                      0xFFFF,  0x10000,  0x10FFFF, 0x110000, 0xFFFFFFFF};
  std::mt19937 rng(7);
  for (int i = 0; i < 2000; ++i) codePoints.push_back(static_cast<char32_t>(rng() % 0x120000));
  for (char32_t cp : codePoints) {
    std::string fast = "x";
    std::string slow = "x";
    AppendUtf8(fast, cp);
    reference::AppendUtf8(slow, cp);
    EXPECT_EQ(fast, slow) << std::hex << static_cast<std::uint32_t>(cp);
  }
}

}  // namespace
}  // namespace tallyhand
