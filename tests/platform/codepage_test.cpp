#include "platform/codepage.h"

#include <gtest/gtest.h>

namespace tallyhand {
namespace {

TEST(Cp1252ToUtf8, MapsEveryByteRange) {
  struct Case {
    std::string bytes;
    std::string utf8;
  } cases[] = {
      {"plain ASCII", "plain ASCII"},
      {"\x80", "\xE2\x82\xAC"},            // euro sign
      {"\x9F", "\xC5\xB8"},                // Y with diaeresis
      {"\x81\x8D\x8F\x90\x9D", "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D"},  // undefined: C1
      {"\xA0", "\xC2\xA0"},
      {"caf\xE9", "caf\xC3\xA9"},
      {"\xFF", "\xC3\xBF"},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& c : cases) EXPECT_EQ(Cp1252ToUtf8(c.bytes), c.utf8) << c.bytes;
}

TEST(Utf8ToCp1252, RoundTripsEveryByte) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(Utf8ToCp1252(Cp1252ToUtf8(all)), all);
}

TEST(Utf8ToCp1252, ReplacesWhatTheCodePageLacks) {
  struct Case {
    std::string utf8;
    std::string bytes;
  } cases[] = {
      {"\xE2\x82\xAC 5", "\x80 5"},
      {"\xCE\xA9", "?"},                  // Greek omega
      {"\xF0\x9F\x98\x80!", "?!"},        // emoji: one character, one '?'
      {"\xC2\x80", "?"},                  // C1 control the code page uses for the euro
      {"a\xFF" "b", "a?b"},               // invalid byte
      {"\xE2\x82", "?"},                  // truncated sequence
      {"\xC0\xAF", "??"},                 // overlong form
  };
  for (const auto& c : cases) EXPECT_EQ(Utf8ToCp1252(c.utf8), c.bytes) << c.utf8;
}

TEST(SanitizeUtf8, ReplacesEachInvalidSequence) {
  const std::string fffd = "\xEF\xBF\xBD";
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {"valid \xC3\xA9 \xF0\x9F\x98\x80", "valid \xC3\xA9 \xF0\x9F\x98\x80"},
      {"\xFF", fffd},
      {"a\xE2\x82" "b", "a" + fffd + "b"},     // maximal prefix counts once
      {"\xED\xA0\x80", fffd + fffd + fffd},     // surrogate
      {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // above U+10FFFF
      {"\xC3", fffd},
  };
  for (const auto& c : cases) EXPECT_EQ(SanitizeUtf8(c.in), c.out) << c.in;
}

TEST(ContentTypeMeansUtf8, NeedsBothWordsInAnyCase) {
  struct Case {
    const char* type;
    bool utf8;
  } cases[] = {
      {"application/x-www-form-urlencoded; charset=UTF-8", true},
      {"text/plain;CHARSET=utf-8", true},
      {"text/plain; Charset=\"Utf-8\"", true},
      {"text/utf-8", false},
      {"text/plain; charset=windows-1252", false},
      {"", false},
      {"charset=utf8", false},
  };
  for (const auto& c : cases) EXPECT_EQ(ContentTypeMeansUtf8(c.type), c.utf8) << c.type;
}

TEST(DecodeByContentType, ChoosesTheCodePage) {
  EXPECT_EQ(DecodeByContentType("\xC3\xA9", "text/plain; charset=utf-8"), "\xC3\xA9");
  EXPECT_EQ(DecodeByContentType("\xC3\xA9", "text/plain"), "\xC3\x83\xC2\xA9");
  EXPECT_EQ(DecodeByContentType("\xE9", "charset=UTF-8"), "\xEF\xBF\xBD");
}

TEST(Utf8Length, CountsCodePoints) {
  EXPECT_EQ(Utf8Length(""), 0u);
  EXPECT_EQ(Utf8Length("abc"), 3u);
  EXPECT_EQ(Utf8Length("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), 3u);
}

TEST(Utf8ToCodePoints, DecodesAndReplaces) {
  EXPECT_EQ(Utf8ToCodePoints("a\xC3\xA9\xFF"), (std::u32string{U'a', 0xE9, 0xFFFD}));
}

}  // namespace
}  // namespace tallyhand
