#include "data/data_ini.h"

#include <gtest/gtest.h>

#include <random>

#include "data/mainDM.h"
#include "platform/codepage.h"
#include "platform/exception.h"

namespace tallyhand {
namespace {

std::string Latin1(const std::u32string& codes) {
  std::string out;
  for (char32_t c : codes) AppendUtf8(out, c);
  return out;
}

TEST(ScanDataIni, MatchesKeysByPrefixAndPosition) {
  struct Case {
    std::vector<std::string> lines;
    std::string userName, password, debugLogging;
  } cases[] = {
      {{"[BaseGlob]", "User_Name=abc", "Password=xyz"}, "abc", "xyz", ""},
      {{"User_NameX=abc"}, "=abc", "", ""},
      {{"user_name=abc", "password=x", " User_Name=y"}, "", "", ""},
      {{"[A]", "User_Name=first", "[B]", "User_Name=second"}, "second", "", ""},
      {{"Password=a", "Password"}, "", "", ""},
      {{"DebugLoggingEnabled = true"}, "", "", "= true"},
      {{"User_Name=\xC3\xA9\xC4\x80"}, "\xC3\xA9\xC4\x80", "", ""},
      {{"User_Name=" + std::string(300, 'u')}, std::string(255, 'u'), "", ""},
      // The session key store's password is its own, wherever its section stands.
      {{"[BaseGlob]", "Password=db", "[SessionKeys]", "Password=store", "User_Name=s"}, "", "db", ""},
      {{"[ sessionkeys ]", "Password=store", "[BaseGlob]", "User_Name=u"}, "u", "", ""},
      {{"[SessionKeys]", "DebugLoggingEnabled=true"}, "", "", "true"},
  };
  for (const auto& c : cases) {
    const DataIniScan scan = ScanDataIni(c.lines);
    EXPECT_EQ(scan.userName, c.userName) << c.lines.back();
    EXPECT_EQ(scan.password, c.password) << c.lines.back();
    EXPECT_EQ(scan.debugLogging, c.debugLogging) << c.lines.back();
  }
}

TEST(FindIniSection, ReadsTrimmedEntriesOfTheNamedSection) {
  const std::vector<std::string> lines = {
      "; connection definitions", "[Other]",       "DriverID=PG",  "[ baseglob ]",
      "DriverID = SQLite",        "; Database=x",  "",             "Database=demo.db ",
      "NoEqualsSign",             "Params=a=b",    "[Later]",      "Database=late.db"};
  const auto def = FindIniSection(lines, "BaseGlob");
  ASSERT_TRUE(def.has_value());
  EXPECT_EQ(def->Get("DriverID"), "SQLite");
  EXPECT_EQ(def->Get("database"), "demo.db");
  EXPECT_EQ(def->Get("Params"), "a=b");
  EXPECT_FALSE(def->Has("NoEqualsSign"));
  EXPECT_FALSE(FindIniSection(lines, "Absent").has_value());
  const auto empty = FindIniSection({"[Empty]"}, "EMPTY");
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->Entries().empty());
}

TEST(ReadAllIniEntries, TakesEverySection) {
  const ConnectionDef all =
      ReadAllIniEntries({"[ADS]", "BusyTimeout=100", "[SQLite]", "ConnectTimeout = 5", ";x=y"});
  EXPECT_EQ(all.Get("BusyTimeout"), "100");
  EXPECT_EQ(all.Get("ConnectTimeout"), "5");
  EXPECT_FALSE(all.Has(";x"));
}

TEST(LoadFromNVString, EmptyGivesEmptyAndLengthIsKept) {
  EXPECT_EQ(TMainDM::LoadFromNVString("", kScrambleStartKey), "");
  const std::string plain = TMainDM::LoadFromNVString("Abc\xC4\x80", kScrambleStartKey);
  EXPECT_EQ(Utf8Length(plain), 4u);
  for (char32_t c : Utf8ToCodePoints(plain)) EXPECT_LE(c, 0xFFu);
}

// Answers computed apart from the code with the key rule taken modulo 65536. The key
// products pass 2^31, so the arithmetic must not be done in int, to which the 16-bit
// operands are promoted (that overflow is undefined behaviour).
TEST(LoadFromNVString, KeyArithmeticWrapsAtSixteenBits) {
  const std::string scrambled = Latin1({0x00, 0xFF, 0x7F, 0x80, 0x41, 0xFE, 0x20, 0x3D});
  EXPECT_EQ(TMainDM::LoadFromNVString(scrambled, 3),
            Latin1({0xD1, 0x3D, 0x5E, 0x2B, 0xE3, 0x89, 0x51, 0x11}));
  EXPECT_EQ(TMainDM::LoadFromNVString(scrambled, 65535),
            Latin1({0xA3, 0x8A, 0x46, 0x0F, 0x65, 0x39, 0xE1, 0xDE}));
}

TEST(LoadFromNVString, OnlyTheLowByteOfEachCharacterCounts) {
  // 'A' is 0x41; U+0141 carries the same low byte.
  EXPECT_EQ(TMainDM::LoadFromNVString("xA", 3), TMainDM::LoadFromNVString("x\xC5\x81", 3));
}

TEST(LoadFromNVString, EachCharacterDependsOnlyOnThoseBeforeIt) {
  const std::string a = TMainDM::LoadFromNVString("Prefix!one", kScrambleStartKey);
  const std::string b = TMainDM::LoadFromNVString("Prefix!two", kScrambleStartKey);
  const std::u32string ca = Utf8ToCodePoints(a), cb = Utf8ToCodePoints(b);
  EXPECT_EQ(ca.substr(0, 7), cb.substr(0, 7));
  EXPECT_NE(ca.substr(7), cb.substr(7));
}

TEST(ScrambleNVString, RoundTripsEveryByteValue) {
  for (std::uint16_t key : {std::uint16_t{0}, kScrambleStartKey, std::uint16_t{65535}}) {
    for (char32_t b = 0; b < 256; ++b) {
      const std::string plain = Latin1({b});
      EXPECT_EQ(TMainDM::LoadFromNVString(ScrambleNVString(plain, key), key), plain)
          << static_cast<unsigned>(b);
    }
    std::u32string all;
    for (char32_t b = 0; b < 255; ++b) all += b;
    EXPECT_EQ(TMainDM::LoadFromNVString(ScrambleNVString(Latin1(all), key), key), Latin1(all));
  }
}

TEST(ScrambleNVString, RoundTripsRandomTextsThroughADataIniLine) {
  std::mt19937 random(20240601);
  for (int i = 0; i < 300; ++i) {
    std::u32string codes(random() % 40, U'\0');
    for (auto& c : codes) c = random() % 256;
    const std::string plain = Latin1(codes);
    const std::string scrambled = ScrambleNVString(plain, kScrambleStartKey);
    // Printable and free of line breaks, so that it survives as a line of data.ini.
    for (char32_t c : Utf8ToCodePoints(scrambled)) {
      EXPECT_GT(c, 0x20u);
      EXPECT_NE(c, 0x7Fu);
      EXPECT_NE(c, U'=');
      EXPECT_NE(c, U';');
    }
    const DataIniScan scan = ScanDataIni({"[BaseGlob]", "Password=" + scrambled});
    EXPECT_EQ(TMainDM::LoadFromNVString(scan.password, kScrambleStartKey), plain);
  }
}

TEST(ScrambleNVString, RefusesWhatCannotRoundTrip) {
  EXPECT_EQ(ScrambleNVString("", 7), "");
  EXPECT_THROW(ScrambleNVString("\xE2\x82\xAC", 7), EConvertError);  // beyond U+00FF
  EXPECT_THROW(ScrambleNVString(std::string(256, 'a'), 7), EConvertError);
  EXPECT_NO_THROW(ScrambleNVString(std::string(255, 'a'), 7));
}

}  // namespace
}  // namespace tallyhand
