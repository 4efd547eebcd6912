#include "clock/jpeg_check.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/jpeg_samples.h"

namespace tallyhand {
namespace {

namespace fs = std::filesystem;
using testing::ImageDataOffset;
using testing::JpegKind;
using testing::MakeJpeg;

class IsJPEGFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "jpeg_check_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override { fs::remove_all(folder_); }

  std::string Write(const std::string& name, const std::string& bytes) {
    const auto path = (folder_ / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  fs::path folder_;
};

struct JpegCase {
  const char* name;
  std::string bytes;
  bool expected;
};

TEST_F(IsJPEGFileTest, JudgesFilesByTheirJpegHeader) {
  const std::string baseline = MakeJpeg(JpegKind::Baseline);
  const size_t dataStart = ImageDataOffset(baseline);
  ASSERT_NE(dataStart, std::string::npos);
  ASSERT_LT(dataStart + 10, baseline.size());

  const JpegCase cases[] = {
      {"baseline.jpg", baseline, true},
      {"progressive.jpg", MakeJpeg(JpegKind::Progressive), true},
      {"grayscale.jpg", MakeJpeg(JpegKind::Grayscale), true},
      // The image data is not decoded, so a picture cut short after its header passes.
      {"cut_in_data.jpg", baseline.substr(0, dataStart + 10), true},
      {"header_only.jpg", baseline.substr(0, dataStart), true},
      {"cut_in_header.jpg", baseline.substr(0, dataStart / 2), false},
      {"start_marker_only.jpg", baseline.substr(0, 2), false},
      {"one_byte.jpg", std::string(1, '\xFF'), false},
      {"text.jpg", "This is not a picture.\r\n", false},
      {"png.jpg", std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16), false},
      {"empty.jpg", "", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsJPEGFile(Write(c.name, c.bytes)), c.expected) << c.name;
    // The bytes in memory are judged as their file is.
    EXPECT_EQ(IsJPEGData(c.bytes), c.expected) << c.name << " in memory";
  }
}

TEST_F(IsJPEGFileTest, FileThatCannotBeReadIsNoJpeg) {
  EXPECT_FALSE(IsJPEGFile((folder_ / "missing.jpg").string()));
  EXPECT_FALSE(IsJPEGFile(folder_.string()));  // a folder
  EXPECT_FALSE(IsJPEGFile(""));
}

TEST_F(IsJPEGFileTest, BrokenFilesPrintNothing) {
  const std::string baseline = MakeJpeg(JpegKind::Baseline);
  const auto cut = Write("cut.jpg", baseline.substr(0, ImageDataOffset(baseline) / 2));
  const auto text = Write("text.jpg", "plain text");
  ::testing::internal::CaptureStderr();
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(IsJPEGFile(cut));
  EXPECT_FALSE(IsJPEGFile(text));
  EXPECT_FALSE(IsJPEGData(baseline.substr(0, ImageDataOffset(baseline) / 2)));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace tallyhand
