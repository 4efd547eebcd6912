// Cutting and percent-decoding copy plain stretches in bulk; these tests hold them to
// the character-by-character versions they replaced, kept here as the reference.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "extension/request_fields.h"
#include "platform/codepage.h"
#include "support/random_texts.h"

namespace tallyhand {
namespace {

namespace reference {

size_t CharLengthAt(std::string_view text, size_t pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  size_t length = 1;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  }
  if (length == 1 || pos + length > text.size()) return 1;
  for (size_t i = 1; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(text[pos + i]);
    if (byte < low || byte > high) return 1;
    low = 0x80;
    high = 0xBF;
  }
  return length;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::vector<std::string_view> CutIntoEntries(std::string_view text) {
  std::vector<std::string_view> entries;
  const size_t size = text.size();
  size_t pos = 0;
  while (true) {
    while (pos < size && (text[pos] == '\r' || text[pos] == '\n')) ++pos;
    if (pos >= size) break;
    if (text[pos] == '"') {
      const size_t close = text.find('"', pos + 1);
      if (close == std::string_view::npos) {
        entries.push_back(text.substr(pos + 1));
        break;
      }
      entries.push_back(text.substr(pos + 1, close - pos - 1));
      pos = close + 1;
      continue;
    }
    const size_t stop = text.find_first_of("&\r\n\"", pos);
    if (stop == std::string_view::npos) {
      entries.push_back(text.substr(pos));
      break;
    }
    if (text[stop] != '"') {
      entries.push_back(text.substr(pos, stop - pos));
      pos = stop + 1;
      continue;
    }
    const size_t close = text.find('"', stop + 1);
    if (close == std::string_view::npos) {
      entries.push_back(text.substr(pos));
      break;
    }
    entries.push_back(text.substr(pos, close + 1 - pos));
    pos = close + 2;
  }
  return entries;
}

// The final UTF-8 clean-up is the library's SanitizeUtf8, which the platform tests hold
// to its own reference.
std::string PercentDecode(std::string_view entry) {
  std::string bytes;
  const size_t size = entry.size();
  size_t pos = 0;
  size_t charIndex = 0;
  while (pos < size) {
    const char c = entry[pos];
    if (c == '+') {
      bytes += ' ';
      ++pos;
      ++charIndex;
      continue;
    }
    if (c != '%') {
      const size_t length = CharLengthAt(entry, pos);
      bytes.append(entry.substr(pos, length));
      pos += length;
      ++charIndex;
      continue;
    }
    const size_t first = pos + 1;
    const size_t firstIndex = charIndex + 1;
    if (first < size && entry[first] == '%') {
      bytes += '%';
      pos += 2;
      charIndex += 2;
      continue;
    }
    const std::string truncated =
        "Error decoding URL style (%XX) encoded string at position " + std::to_string(firstIndex);
    if (first >= size) throw EUrlDecodeError(truncated);
    const size_t second = first + CharLengthAt(entry, first);
    if (second >= size) throw EUrlDecodeError(truncated);
    const int high = HexValue(entry[first]);
    const int low = HexValue(entry[second]);
    if (high < 0 || low < 0) {
      const size_t end = second + CharLengthAt(entry, second);
      throw EUrlDecodeError("Invalid URL encoded character (" +
                            SanitizeUtf8(entry.substr(pos, end - pos)) + ") at position " +
                            std::to_string(firstIndex));
    }
    bytes += static_cast<char>(high * 16 + low);
    pos = second + 1;
    charIndex += 3;
  }
  return SanitizeUtf8(bytes);
}

}  // namespace reference

// The decoded text, or "error: " and the message of the decoding error.
template <typename Decode>
std::string Outcome(Decode decode, std::string_view entry) {
  try {
    return decode(entry);
  } catch (const EUrlDecodeError& e) {
    return std::string("error: ") + e.what();
  }
}

std::vector<std::string> TrickyEntries() {
  return {
      "",
      "a=b",
      "name=J%C3%A9r%C3%B4me+M%C3%BCller",
      "%",
      "a%",
      "a%4",
      "%4G",
      "%G4",
      "%%",
      "%%%",
      "a%%b%%",
      "++%2B+",
      "x=%zz",
      "\xC3\xA9%",                      // escape truncated after a two-byte character
      "\xC3\xA9\xE2\x82\xAC%4",
      "\xC3\xA9%\xC3\xA9" "1",          // multi-byte character as the first digit
      "%4\xC3\xA9",                     // and as the second
      "%\xE2\x82\xAC",                  // a three-byte character then the end
      "\xE2\x82%41",                    // truncated sequence right before an escape
      "%C3",                            // decodes to a lone lead byte
      "%C3+",                           // lead byte then a blank
      "%E2%82%AC%F0%9F%98%80",
      "%FF%FE%80",
      "\xFF\xFE+%",
      "\xF0\x9F\x98\x80%2",
      std::string("a\0%41\0b", 7),
      "x=" + std::string(300, 'a') + "%41" + std::string(300, 'b') + "+",
  };
}

std::vector<std::string> TrickyBodies() {
  return {
      "",
      "a=1&b=2",
      "\r\n\r\na=1\r\nb=2\n",
      "\"quoted & kept\"&next=1",
      "\"unterminated & rest",
      "a=\"x&y\"zb=2",
      "a=\"x&y",
      "&&&",
      "a=%zz&b=1",
      "a=1&b=%4",
      "\"\"\"\"",
      "k=J%C3%A9r%C3%B4me&t=Front+Door&s=%E2%82%AC5",
  };
}

// Fixed-seed random strings of pieces that matter to the decoder and the cutter.
std::vector<std::string> RandomTexts(std::size_t count) {
  static const testsupport::RandomTextRecipe recipe{{
      "a", "name=", "0123456789", "+", "%", "%%", "%41", "%4", "%e9", "%C3%A9", "%zz", "%G",
      "&", "\r", "\n", "\"", "=", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xC3",
      "\xE2\x82", "\x80", "\xFF", " ",
  }, 160, 20, 5};
  return testsupport::RandomTexts(recipe, count);
}

TEST(RequestFieldsFastPath, DecodingAndCuttingMatchTheCharacterByCharacterReference) {
  std::vector<std::string> texts = TrickyEntries();
  for (std::string& body : TrickyBodies()) texts.push_back(std::move(body));
  for (std::string& text : RandomTexts(4000)) texts.push_back(std::move(text));
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Outcome(PercentDecode, text), Outcome(reference::PercentDecode, text));
    EXPECT_EQ(CutIntoEntries(text), reference::CutIntoEntries(text));

    std::string fields;
    try {
      fields = ParseFields(text).Text();
    } catch (const EUrlDecodeError& e) {
      fields = std::string("error: ") + e.what();
    }
    std::string expected;
    try {
      for (std::string_view entry : reference::CutIntoEntries(text)) {
        expected += reference::PercentDecode(entry) + "\r\n";
      }
    } catch (const EUrlDecodeError& e) {
      expected = std::string("error: ") + e.what();
    }
    EXPECT_EQ(fields, expected);
  }
}

}  // namespace
}  // namespace tallyhand
