#include "extension/picture_store.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/exception.h"

namespace tallyhand {
namespace {

namespace fs = std::filesystem;

std::string ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> FolderEntries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  return names;
}

TEST(PicturesFolderTest, LiesBesideTheHostExecutable) {
  char exe[PATH_MAX] = {};
  ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
  const std::string expected = fs::path(exe).parent_path().string() + "/mobiletcimages/";
  EXPECT_EQ(PicturesFolder(), expected);
}

TEST(CheckPictureNameTest, AcceptsPlainNames) {
  const std::string accepted[] = {"a.jpg",       "IMG 0001.JPG",      "photo-1_2.jpeg",
                                 ".hidden.jpg", "caf\xC3\xA9.jpg", std::string(255, 'x')};
  for (const auto& name : accepted) {
    EXPECT_EQ(CheckPictureName(name), std::nullopt) << name;
  }
}

TEST(CheckPictureNameTest, RefusesNamesThatAreNoPlainFileName) {
  const std::string refused[] = {
      "../x.jpg",   "..\\x.jpg",       "/etc/passwd", "C:x.jpg",        "c:\\x.jpg",
      "a\\b.jpg",   "a/b.jpg",         "a.jpg\n",     "a.jpg\r",        "\tx.jpg",
      "",           ".",               "..",          "x..jpg",         "a.jpg:stream",
      " a.jpg",     "a.jpg ",          "a\x7F.jpg",   std::string("a\0.jpg", 6),
      std::string("a.jpg\0", 6),       std::string(256, 'x'),
  };
  for (const auto& name : refused) {
    const auto reason = CheckPictureName(name);
    ASSERT_TRUE(reason.has_value()) << "accepted: " << name;
    EXPECT_FALSE(reason->empty());
  }
}

class SavePictureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "picture_store_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    folder_ = (root_ / "host" / "mobiletcimages").string() + "/";
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path root_;
  std::string folder_;
};

TEST_F(SavePictureTest, CreatesTheFolderAndReplacesAnEarlierFile) {
  const std::string first("\xFF\xD8 first\0bytes", 15);
  SavePicture(folder_, "a.jpg", first);
  EXPECT_EQ(ReadWhole(folder_ + "a.jpg"), first);

  SavePicture(folder_, "a.jpg", "second");
  EXPECT_EQ(ReadWhole(folder_ + "a.jpg"), "second");
  SavePicture(folder_, "empty.jpg", "");
  EXPECT_TRUE(fs::is_regular_file(folder_ + "empty.jpg"));
  EXPECT_EQ(fs::file_size(folder_ + "empty.jpg"), 0u);
  EXPECT_EQ(FolderEntries(folder_).size(), 2u);
}

TEST_F(SavePictureTest, ConcurrentSavesOfOneNameLeaveOneWholeFile) {
  constexpr int kThreads = 20;
  std::vector<std::string> contents;
  for (int i = 0; i < kThreads; ++i) {
    // Different sizes and letters, so a file mixed from two uploads (a shorter one written
    // over a longer one) never equals any single upload.
    contents.push_back(std::string(1024 * 1024 - static_cast<size_t>(i) * 4096, static_cast<char>('A' + i)));
  }
  for (int round = 0; round < 5; ++round) {
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] { SavePicture(folder_, "same.jpg", contents[static_cast<size_t>(i)]); });
    }
    for (auto& thread : threads) thread.join();

    const std::string saved = ReadWhole(folder_ + "same.jpg");
    ASSERT_NE(std::find(contents.begin(), contents.end(), saved), contents.end())
        << "the saved file mixes uploads (size " << saved.size() << ")";
    ASSERT_EQ(FolderEntries(folder_), std::vector<std::string>{"same.jpg"});
  }
}

TEST_F(SavePictureTest, FailuresRaiseNamingTheCauseAndLeaveNoTemporaryFile) {
  // A folder whose parent is a file cannot be created.
  std::ofstream(root_ / "plainfile") << "x";
  const std::string underFile = (root_ / "plainfile" / "pics").string() + "/";
  try {
    SavePicture(underFile, "a.jpg", "bytes");
    FAIL() << "no exception";
  } catch (const EInOutError& e) {
    EXPECT_NE(std::string(e.what()).find(underFile), std::string::npos) << e.what();
  }

  // The final name is taken by a folder: the rename fails after the bytes were written.
  fs::create_directories(folder_ + "taken.jpg");
  try {
    SavePicture(folder_, "taken.jpg", "bytes");
    FAIL() << "no exception";
  } catch (const EInOutError& e) {
    EXPECT_NE(std::string(e.what()).find("taken.jpg"), std::string::npos) << e.what();
  }
  EXPECT_EQ(FolderEntries(folder_), std::vector<std::string>{"taken.jpg"});
}

}  // namespace
}  // namespace tallyhand
