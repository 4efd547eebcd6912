#include "extension/request_fields.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tallyhand {
namespace {

using ::testing::ElementsAreArray;

std::vector<std::string> Cut(std::string_view text) {
  std::vector<std::string> entries;
  for (std::string_view entry : CutIntoEntries(text)) entries.emplace_back(entry);
  return entries;
}

struct CutCase {
  const char* name;
  std::string text;
  std::vector<std::string> entries;
};

class CutIntoEntriesTest : public ::testing::TestWithParam<CutCase> {};

TEST_P(CutIntoEntriesTest, GivesEntries) {
  EXPECT_THAT(Cut(GetParam().text), ElementsAreArray(GetParam().entries));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CutIntoEntriesTest,
    ::testing::Values(
        CutCase{"Empty", "", {}},
        CutCase{"TwoEntries", "a=1&A=2", {"a=1", "A=2"}},
        CutCase{"TwoSeparatorsGiveEmptyEntry", "a&&b", {"a", "", "b"}},
        CutCase{"TrailingSeparatorAddsNothing", "a&", {"a"}},
        CutCase{"LeadingSeparatorGivesEmptyEntry", "&a", {"", "a"}},
        CutCase{"CrLfCuts", "a\r\nb", {"a", "b"}},
        CutCase{"LoneLfCuts", "a\nb", {"a", "b"}},
        CutCase{"CrLfAtEntryStartSkipped", "\r\n\r\na\r\n\r\nb", {"a", "b"}},
        CutCase{"CrLfThenAmpersandGivesEmptyEntry", "a\r\n&b", {"a", "", "b"}},
        CutCase{"OnlyLineBreaks", "\r\n\n\r", {}},
        CutCase{"QuotedFirstEntryThenAmpersand", "\"x&y\"&z", {"x&y", "", "z"}},
        CutCase{"QuotedEntryNextStartsAfterQuote", "\"x&y\"z&w", {"x&y", "z", "w"}},
        CutCase{"QuotedEntryWithoutClosingQuote", "\"open&rest", {"open&rest"}},
        CutCase{"EmptyQuotes", "\"\"", {""}},
        CutCase{"QuoteAfterLineBreak", "\r\n\"q\r\n\"", {"q\r\n"}},
        CutCase{"StretchDropsFollowingCharacter", "a\"b&c\"d&e", {"a\"b&c\"", "", "e"}},
        CutCase{"StretchDropsFollowingSeparator", "a\"b&c\"&e", {"a\"b&c\"", "e"}},
        CutCase{"StretchWithoutClosingQuote", "a\"b&c\r\nd", {"a\"b&c\r\nd"}},
        CutCase{"StretchClosedAtEnd", "a\"b\"", {"a\"b\""}},
        CutCase{"QuoteDroppedAfterStretchStartsQuotedEntry", "a\"x\"\"y\"z", {"a\"x\"", "y\"z"}},
        CutCase{"OrdinaryJsonIsCut", "{\"RID\":\"12\"}", {"{\"RID\"", "12", "}"}}),
    [](const auto& info) { return info.param.name; });

struct DecodeCase {
  const char* name;
  std::string entry;
  std::string text;
};

class PercentDecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(PercentDecodeTest, GivesText) {
  EXPECT_EQ(PercentDecode(GetParam().entry), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PercentDecodeTest,
    ::testing::Values(
        DecodeCase{"PlusAndHexEscapes", "%41+%42", "A B"},
        DecodeCase{"EscapedPercent", "%25", "%"},
        DecodeCase{"DoublePercent", "%%", "%"},
        DecodeCase{"DoublePercentIsOnePass", "%%41", "%41"},
        DecodeCase{"EscapedPlus", "%2B", "+"},
        DecodeCase{"LowerCaseHex", "%c3%a9", "\xC3\xA9"},
        DecodeCase{"UpperCaseHexIsOneCharacter", "%C3%A9", "\xC3\xA9"},
        DecodeCase{"RawUtf8Kept", "n=\xC3\xA9\xE2\x82\xAC", "n=\xC3\xA9\xE2\x82\xAC"},
        DecodeCase{"InvalidByteBecomesReplacement", "%FF", "\xEF\xBF\xBD"},
        DecodeCase{"TruncatedSequenceBecomesReplacement", "a%E2%82b", "a\xEF\xBF\xBD" "b"},
        DecodeCase{"LoneLeadByte", "%C3", "\xEF\xBF\xBD"},
        DecodeCase{"NulByte", "%00", std::string(1, '\0')},
        DecodeCase{"ValueWithEquals", "a=b=c", "a=b=c"}),
    [](const auto& info) { return info.param.name; });

struct DecodeErrorCase {
  const char* name;
  std::string entry;
  std::string message;
};

class PercentDecodeErrorTest : public ::testing::TestWithParam<DecodeErrorCase> {};

TEST_P(PercentDecodeErrorTest, RaisesMessage) {
  try {
    PercentDecode(GetParam().entry);
    FAIL() << "no error raised";
  } catch (const EUrlDecodeError& error) {
    EXPECT_EQ(error.Message(), GetParam().message);
    EXPECT_STREQ(error.ClassName(), "EUrlDecodeError");
  }
}

const std::string kTruncated = "Error decoding URL style (%XX) encoded string at position ";
const std::string kInvalid = "Invalid URL encoded character (";

INSTANTIATE_TEST_SUITE_P(
    Cases, PercentDecodeErrorTest,
    ::testing::Values(
        DecodeErrorCase{"OneDigitAtEnd", "%4", kTruncated + "1"},
        DecodeErrorCase{"OneDigitAtEndOfLongerEntry", "ab=%4", kTruncated + "4"},
        DecodeErrorCase{"PercentAtEnd", "ab%", kTruncated + "3"},
        DecodeErrorCase{"PercentAfterDoublePercent", "%%%", kTruncated + "3"},
        DecodeErrorCase{"PositionCountsCharactersNotBytes", "\xC3\xA9\xE2\x82\xAC%4",
                        kTruncated + "3"},
        DecodeErrorCase{"OneNonAsciiCharacterIsFewerThanTwo", "%\xC3\xA9", kTruncated + "1"},
        DecodeErrorCase{"FirstNotHex", "%G1", kInvalid + "%G1) at position 1"},
        DecodeErrorCase{"SecondNotHex", "x=%1G", kInvalid + "%1G) at position 3"},
        DecodeErrorCase{"PlusIsNotHex", "%+1", kInvalid + "%+1) at position 1"},
        DecodeErrorCase{"AfterNonAsciiCharacter", "\xC3\xA9=%G1", kInvalid + "%G1) at position 3"},
        DecodeErrorCase{"NamesNonAsciiCharacter", "%\xC3\xA9" "1",
                        kInvalid + "%\xC3\xA9" "1) at position 1"},
        DecodeErrorCase{"MalformedBytesInMessageSanitized", "%\xFF\xFE",
                        kInvalid + "%\xEF\xBF\xBD\xEF\xBF\xBD) at position 1"}),
    [](const auto& info) { return info.param.name; });

TEST(ParseFieldsTest, LookupTakesFirstMatchIgnoringCase) {
  const FieldList fields = ParseFields("a=1&A=2");
  ASSERT_EQ(fields.Count(), 2u);
  EXPECT_EQ(fields.Values("A"), "1");
  EXPECT_EQ(fields.Values("a"), "1");
  EXPECT_EQ(fields.Values("b"), "");
}

TEST(ParseFieldsTest, LookupMatchesWholeNameBeforeFirstEquals) {
  const FieldList fields = ParseFields("ab&a&abc=1&x==2&=3");
  EXPECT_EQ(fields.Values("ab"), "");  // an entry without "=" has no name
  EXPECT_EQ(fields.Values("abc"), "1");
  EXPECT_EQ(fields.Values("x"), "=2");
  EXPECT_EQ(fields.Values(""), "3");
}

TEST(ParseFieldsTest, LookupFoldsWindows1252Letters) {
  const FieldList fields = ParseFields("%C3%89T%C3%89=summer");  // ÉTÉ
  EXPECT_EQ(fields.Values("\xC3\xA9t\xC3\xA9"), "summer");          // été
}

TEST(ParseFieldsTest, TextEndsEveryEntryWithCrLf) {
  EXPECT_EQ(ParseFields("a&&b").Text(), "a\r\n\r\nb\r\n");
  EXPECT_EQ(ParseFields("").Text(), "");
}

TEST(ParseFieldsTest, DecodesEveryEntry) {
  const FieldList fields = ParseFields("k=%41+%42&p=%25%%");
  EXPECT_THAT(fields.Entries(), ElementsAreArray({"k=A B", "p=%%"}));
}

TEST(ParseFieldsTest, ErrorPositionIsCountedWithinTheEntry) {
  try {
    ParseFields("first=ok&y=%G1");
    FAIL() << "no error raised";
  } catch (const EUrlDecodeError& error) {
    EXPECT_EQ(error.Message(), kInvalid + "%G1) at position 3");
  }
}

TEST(ParseFieldsTest, QuotedStretchIsNotDecodedAway) {
  EXPECT_THAT(ParseFields("\"a+b\"&c=%41").Entries(), ElementsAreArray({"a b", "", "c=A"}));
}

TEST(FieldListTest, EntryOutsideTheListRaises) {
  const FieldList fields = ParseFields("a=1");
  EXPECT_EQ(fields.Entry(0), "a=1");
  EXPECT_THROW(fields.Entry(1), EArgumentOutOfRangeException);
}

struct NameCase {
  const char* name;
  std::string left;
  std::string right;
  bool equal;
};

class NamesEqualIgnoringCaseTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(NamesEqualIgnoringCaseTest, Compares) {
  EXPECT_EQ(NamesEqualIgnoringCase(GetParam().left, GetParam().right), GetParam().equal);
  EXPECT_EQ(NamesEqualIgnoringCase(GetParam().right, GetParam().left), GetParam().equal);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NamesEqualIgnoringCaseTest,
    ::testing::Values(NameCase{"Ascii", "AuthUser", "authuser", true},
                      NameCase{"Different", "RID", "RIE", false},
                      NameCase{"Prefix", "RID", "RI", false},
                      NameCase{"Empty", "", "", true},
                      NameCase{"LatinAccent", "\xC3\x89", "\xC3\xA9", true},        // É é
                      NameCase{"SCaron", "\xC5\xA0", "\xC5\xA1", true},             // Š š
                      NameCase{"YDiaeresis", "\xC5\xB8", "\xC3\xBF", true},         // Ÿ ÿ
                      NameCase{"TimesIsNoLetter", "\xC3\x97", "\xC3\xB7", false},   // × ÷
                      NameCase{"SharpSIsNotSs", "\xC3\x9F", "SS", false},
                      NameCase{"MalformedBytesExact", "\xFF", "\xFF", true},
                      NameCase{"MalformedBytesDiffer", "\xFF", "\xFE", false}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tallyhand
