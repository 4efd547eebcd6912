#include "extension/picture_store.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

// Holds a file locked from another process, as a live server writing an upload does.
class LockingProcess {
 public:
  explicit LockingProcess(const std::string& path) {
    int ready[2];
    if (::pipe(ready) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0600);
      const char done = fd >= 0 && ::flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
      (void)!::write(ready[1], &done, 1);
      ::pause();
      ::_exit(0);
    }
    char done = 'n';
    if (pid_ > 0) (void)!::read(ready[0], &done, 1);
    locked_ = done == 'y';
    ::close(ready[0]);
    ::close(ready[1]);
  }
  ~LockingProcess() { End(); }
  bool Locked() const { return locked_; }
  void End() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  bool locked_ = false;
};

TEST_F(SavePictureTest, RemoveUnfinishedUploadsTakesOnlyFilesNoLiveProcessHolds) {
  fs::create_directories(folder_);
  const std::string ownPid = std::to_string(::getpid());
  // Left by dead processes; the one under this process's own number too (a restarted
  // server may get the number of the one that crashed): the lock decides, not the number.
  const std::vector<std::string> stale = {".upload:999999:1.part", ".upload:" + ownPid + ":7.part",
                                          ".upload:1:0.part"};
  for (const auto& name : stale) std::ofstream(folder_ + name) << "half a picture";
  // Not temporary files of uploads, or not files at all.
  const std::vector<std::string> others = {"a.jpg", ".upload:1:2.jpg", "x.part", ".upload:.part",
                                           ".upload:1:3.part"};
  for (const auto& name : {others[0], others[1], others[2], others[3]}) {
    std::ofstream(folder_ + name) << "kept";
  }
  fs::create_directory(folder_ + others[4]);
  const std::string outside = (root_ / "outside.jpg").string();
  std::ofstream(outside) << "outside";
  fs::create_symlink(outside, folder_ + ".upload:1:4.part");
  LockingProcess writer(folder_ + ".upload:424242:9.part");
  ASSERT_TRUE(writer.Locked());

  EXPECT_EQ(RemoveUnfinishedUploads(folder_), stale.size());
  std::vector<std::string> expected = others;
  expected.push_back(".upload:1:4.part");
  expected.push_back(".upload:424242:9.part");
  std::sort(expected.begin(), expected.end());
  std::vector<std::string> left = FolderEntries(folder_);
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, expected);
  EXPECT_EQ(ReadWhole(outside), "outside");

  // Once its writer is gone, its file is stale too.
  writer.End();
  EXPECT_EQ(RemoveUnfinishedUploads(folder_), 1u);
  EXPECT_FALSE(fs::exists(folder_ + ".upload:424242:9.part"));
  EXPECT_EQ(RemoveUnfinishedUploads(root_.string() + "/missing/"), 0u);
}

TEST_F(SavePictureTest, ConcurrentSweepsNeverTakeTheFileOfAnUploadInProgress) {
  constexpr int kWriters = 4;
  constexpr int kSavesEach = 60;
  std::atomic<bool> writing{true};
  std::atomic<int> failures{0};
  std::thread sweeper([&] {
    while (writing.load()) RemoveUnfinishedUploads(folder_);
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      const std::string bytes(16 * 1024, static_cast<char>('a' + w));
      for (int i = 0; i < kSavesEach; ++i) {
        try {
          SavePicture(folder_, std::to_string(w) + "-" + std::to_string(i) + ".jpg", bytes);
        } catch (const EInOutError&) {
          ++failures;
        }
      }
    });
  }
  for (auto& writer : writers) writer.join();
  writing = false;
  sweeper.join();

  EXPECT_EQ(failures.load(), 0);
  const std::vector<std::string> entries = FolderEntries(folder_);
  EXPECT_EQ(entries.size(), static_cast<size_t>(kWriters * kSavesEach));
  for (const auto& name : entries) {
    ASSERT_FALSE(name.starts_with(".upload:")) << name;
    ASSERT_EQ(ReadWhole(folder_ + name), std::string(16 * 1024, name[0] - '0' + 'a')) << name;
  }
}

}  // namespace
}  // namespace tallyhand
