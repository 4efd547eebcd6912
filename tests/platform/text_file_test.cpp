#include "platform/text_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/exception.h"

namespace tallyhand {
namespace {

namespace fs = std::filesystem;

class TextFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("th_text_file_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Write(const std::string& bytes) {
    const std::string path = (dir_ / "file.txt").string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  fs::path dir_;
};

TEST_F(TextFileTest, DetectsEncodingByByteOrderMark) {
  struct Case {
    std::string bytes;
    TextEncoding encoding;
  } cases[] = {
      {"caf\xE9\r\n\x80", TextEncoding::Ansi},
      {"\xEF\xBB\xBF" "caf\xC3\xA9\r\n\xE2\x82\xAC", TextEncoding::Utf8Bom},
      {std::string("\xFF\xFE" "c\0a\0f\0\xE9\0\r\0\n\0\xAC\x20", 16), TextEncoding::Utf16LE},
      {std::string("\xFE\xFF\0c\0a\0f\0\xE9\0\r\0\n\x20\xAC", 16), TextEncoding::Utf16BE},
  };
  for (const auto& c : cases) {
    const TextLines text = ReadTextLines(Write(c.bytes));
    EXPECT_EQ(text.encoding, c.encoding);
    EXPECT_EQ(text.lines, (std::vector<std::string>{"caf\xC3\xA9", "\xE2\x82\xAC"}));
  }
}

TEST_F(TextFileTest, DecodesSurrogatePairsAndReplacesLoneOnes) {
  const TextLines text =
      ReadTextLines(Write(std::string("\xFF\xFE\x3D\xD8\x00\xDE\x00\xD8" "a\0", 10)));
  EXPECT_EQ(text.lines, (std::vector<std::string>{"\xF0\x9F\x98\x80\xEF\xBF\xBD" "a"}));
}

TEST_F(TextFileTest, SplitsAtEveryKindOfLineBreak) {
  struct Case {
    std::string bytes;
    std::vector<std::string> lines;
  } cases[] = {
      {"", {}},
      {"one", {"one"}},
      {"one\r\n", {"one"}},
      {"a\rb\nc\r\nd", {"a", "b", "c", "d"}},
      {"a\n\nb", {"a", "", "b"}},
      {"a\n\r\n", {"a", ""}},
      {"a\r\rb", {"a", "", "b"}},
      {"\xEF\xBB\xBF", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(ReadTextLines(Write(c.bytes)).lines, c.lines) << c.bytes;
}

TEST_F(TextFileTest, MissingFileRaisesOpenErrorNamingFileAndCause) {
  const std::string path = (dir_ / "absent.ini").string();
  try {
    ReadTextLines(path);
    FAIL() << "no error";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot open file \"" + path + "\". No such file or directory");
  }
  EXPECT_THROW(ReadTextLines(dir_.string()), EFOpenError);
}

TEST_F(TextFileTest, WritesEachEncodingWithByteOrderMarkAndCrLf) {
  const std::vector<std::string> lines = {"caf\xC3\xA9", "\xCE\xA9"};
  struct Case {
    TextEncoding encoding;
    std::string bytes;
  } cases[] = {
      {TextEncoding::Ansi, "caf\xE9\r\n?\r\n"},
      {TextEncoding::Utf8Bom, "\xEF\xBB\xBF" "caf\xC3\xA9\r\n\xCE\xA9\r\n"},
      {TextEncoding::Utf16LE, std::string("\xFF\xFE" "c\0a\0f\0\xE9\0\r\0\n\0\xA9\x03\r\0\n\0", 20)},
      {TextEncoding::Utf16BE, std::string("\xFE\xFF\0c\0a\0f\0\xE9\0\r\0\n\x03\xA9\0\r\0\n", 20)},
  };
  for (const auto& c : cases) {
    const std::string path = Write("previous content that is longer than the new one");
    WriteTextLines(path, lines, c.encoding);
    EXPECT_EQ(Read(path), c.bytes);
    if (c.encoding != TextEncoding::Ansi) {
      const TextLines back = ReadTextLines(path);
      EXPECT_EQ(back.lines, lines);
      EXPECT_EQ(back.encoding, c.encoding);
    }
  }
}

TEST_F(TextFileTest, WriteFailureRaisesInOutError) {
  EXPECT_THROW(WriteTextLines(dir_.string(), {"x"}, TextEncoding::Ansi), EInOutError);
  EXPECT_THROW(WriteTextLines((dir_ / "no" / "such.txt").string(), {}, TextEncoding::Ansi),
               EInOutError);
}

TEST(LastKeyLineValue, MatchesByPrefixAndCutsByPosition) {
  const std::vector<std::string> lines = {
      "[BaseGlob]", "User_Name=first", "user_name=lower", "User_NameX=abc", "Other=1"};
  EXPECT_EQ(LastKeyLineValue(lines, "User_Name"), "=abc");
  EXPECT_EQ(LastKeyLineValue(lines, "Absent"), "");
  EXPECT_EQ(LastKeyLineValue({"Key=a", "Key"}, "Key"), "");
  EXPECT_EQ(LastKeyLineValue({"K=\xC3\xA9t\xC3\xA9"}, "K"), "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(LastKeyLineValue({"K=a", "KX=b"}, "K", "KX"), "a");
  const std::string longValue(300, 'v');
  EXPECT_EQ(LastKeyLineValue({"K=" + longValue}, "K"), std::string(255, 'v'));
}

TEST(Utf8Substr, CountsCodePoints) {
  EXPECT_EQ(Utf8Substr("a\xC3\xA9" "bc", 1, 2), "\xC3\xA9" "b");
  EXPECT_EQ(Utf8Substr("abc", 5, 2), "");
  EXPECT_EQ(Utf8Substr("abc", 1, 100), "bc");
}

}  // namespace
}  // namespace tallyhand
