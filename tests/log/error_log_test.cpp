#include "log/error_log.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>
#include <vector>

#include "platform/datetime.h"
#include "platform/exception.h"
#include "support/small_tmpfs.h"

namespace tallyhand {
namespace {

namespace fs = std::filesystem;

class ErrorLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("th_log_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    modulePath_ = (dir_ / "Tallyhand_az.so").string();
    logPath_ = (dir_ / "Tallyhand_azLog.txt").string();
    // 2020-02-03 19:05:09
    SetClockForTesting([] { return EncodeDate(2020, 2, 3) + EncodeTime(19, 5, 9); });
  }
  void TearDown() override {
    SetClockForTesting({});
    SetEventLog(nullptr);
    fs::remove_all(dir_);
  }

  void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  TErrorLog SwitchedLog(const std::string& dataIni = "[BaseGlob]\r\nDebugLoggingEnabled=true\r\n") {
    WriteFile((dir_ / "data.ini").string(), dataIni);
    return TErrorLog(modulePath_, LogStyle::Switched);
  }
  // "line 1\r\n" ... "line N\r\n"
  static std::string NumberedLines(int from, int to) {
    std::string text;
    for (int i = from; i <= to; ++i) text += "line " + std::to_string(i) + "\r\n";
    return text;
  }

  fs::path dir_;
  std::string modulePath_;
  std::string logPath_;
};

TEST(LogFileForModule, ReplacesTheExtensionOfTheFileName) {
  struct Case {
    const char* module;
    const char* log;
  } cases[] = {
      {"/site/Tallyhand_az.so", "/site/Tallyhand_azLog.txt"},
      {"/site/Tallyhand.dll", "/site/TallyhandLog.txt"},
      {"/site/name.with.dots.so", "/site/name.with.dotsLog.txt"},
      {"/site.d/module", "/site.d/moduleLog.txt"},
      {"module", "moduleLog.txt"},
  };
  for (const auto& c : cases) EXPECT_EQ(LogFileForModule(c.module), c.log) << c.module;
}

TEST_F(ErrorLogTest, LongModulePathsAreKeptWhole) {
  fs::path deep = dir_;
  for (int i = 0; i < 12; ++i) deep /= "a-rather-long-folder-name";
  fs::create_directories(deep);
  const std::string module = (deep / "Tallyhand_az.so").string();
  ASSERT_GT(module.size(), 250u);
  WriteFile((deep / "data.ini").string(), "DebugLoggingEnabled=true\r\n");
  TErrorLog log(module, LogStyle::Switched);
  EXPECT_EQ(log.LogFile(), (deep / "Tallyhand_azLog.txt").string());
  log.AddToLog("deep");
  EXPECT_TRUE(fs::exists(log.LogFile()));
}

TEST_F(ErrorLogTest, SwitchLines) {
  struct Case {
    const char* dataIni;
    bool on;
  } cases[] = {
      {"DebugLoggingEnabled=true", true},
      {"DebugLoggingEnabled=TRUE", true},
      {"DebugLoggingEnabled = true", true},
      {"DebugLoggingEnabled=1", false},
      {"DebugLoggingEnabled=false", false},
      {"DebugLoggingEnabled=untrue", true},
      {"debugloggingenabled=true", false},
      {" DebugLoggingEnabled=true", false},
      {"DebugLoggingEnabled=true\r\n[Other]\r\nDebugLoggingEnabled=false", false},
      {"DebugLoggingEnabled=false\nDebugLoggingEnabled=true", true},
      {"[BaseGlob]\r\nDriverID=SQLite", false},
      {"\xEF\xBB\xBF" "DebugLoggingEnabled=true", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SwitchedLog(c.dataIni).LogEvents(), c.on) << c.dataIni;
  }
}

TEST_F(ErrorLogTest, MissingDataIniStopsCreation) {
  EXPECT_THROW(TErrorLog(modulePath_, LogStyle::Switched), EFOpenError);
  EXPECT_NO_THROW(TErrorLog(modulePath_, LogStyle::AlwaysRewrite));
}

TEST_F(ErrorLogTest, SwitchedOffWritesNothingButClearLogStillCreatesTheFile) {
  TErrorLog log = SwitchedLog("[BaseGlob]\r\n");
  log.AddToLog("ignored");
  EXPECT_FALSE(fs::exists(logPath_));
  log.ClearLog();
  ASSERT_TRUE(fs::exists(logPath_));
  EXPECT_EQ(fs::file_size(logPath_), 0u);
}

TEST_F(ErrorLogTest, LinesAreTimeStampedAppendedAndWindows1252) {
  TErrorLog log = SwitchedLog();
  log.AddToLog("first");
  EXPECT_EQ(ReadFile(logPath_), "02/03/2020 19:05:09\tfirst\r\n");
  log.AddToLog("caf\xC3\xA9 \xE2\x82\xAC \xCE\xA9");
  EXPECT_EQ(ReadFile(logPath_),
            "02/03/2020 19:05:09\tfirst\r\n02/03/2020 19:05:09\tcaf\xE9 \x80 ?\r\n");
}

TEST_F(ErrorLogTest, MessageWithLineBreakContinuesUnstampedAndCountsTwice) {
  TErrorLog log = SwitchedLog();
  WriteFile(logPath_, NumberedLines(1, 4999));
  log.AddToLog("first part\r\nsecond part");
  EXPECT_TRUE(ReadFile(logPath_).ends_with("line 4999\r\n02/03/2020 19:05:09\tfirst part\r\nsecond part\r\n"));
  log.ClearLog();
  EXPECT_EQ(ReadFile(logPath_), NumberedLines(2, 4999) + "02/03/2020 19:05:09\tfirst part\r\nsecond part\r\n");
}

TEST_F(ErrorLogTest, ClearLogKeepsTheLast5000Lines) {
  TErrorLog log = SwitchedLog("");
  WriteFile(logPath_, NumberedLines(1, 5003));
  log.ClearLog();
  EXPECT_EQ(ReadFile(logPath_), NumberedLines(4, 5003));

  WriteFile(logPath_, NumberedLines(1, 4000));
  log.ClearLog();
  EXPECT_EQ(ReadFile(logPath_), NumberedLines(1, 4000));
}

TEST_F(ErrorLogTest, ClearLogKeepsTheEncodingItRead) {
  TErrorLog log = SwitchedLog("");
  WriteFile(logPath_, "\xEF\xBB\xBF" + NumberedLines(1, 5001));
  log.ClearLog();
  EXPECT_EQ(ReadFile(logPath_), "\xEF\xBB\xBF" + NumberedLines(2, 5001));
}

TEST_F(ErrorLogTest, FileErrorReachesTheCallerAndFreesTheLock) {
  TErrorLog log = SwitchedLog();
  // A folder where the file should be fails for every identity, root included.
  fs::create_directory(logPath_);
  EXPECT_THROW(log.AddToLog("lost"), EInOutError);
  try {
    log.AddToLog("lost");
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.Message(), "Is a directory");
  }
  bool otherThreadRaised = false;
  std::thread other([&] {
    try {
      log.AddToLog("from another thread");
    } catch (const EInOutError&) {
      otherThreadRaised = true;
    }
  });
  other.join();
  EXPECT_TRUE(otherThreadRaised);
  EXPECT_THROW(log.ClearLog(), EInOutError);

  fs::remove(logPath_);
  log.AddToLog("works again");
  EXPECT_EQ(ReadFile(logPath_), "02/03/2020 19:05:09\tworks again\r\n");
}

TEST_F(ErrorLogTest, ConcurrentLinesNeverInterleave) {
  TErrorLog log = SwitchedLog();
  constexpr int kThreads = 8;
  constexpr int kLinesEach = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, t] {
      const std::string payload(100 + t * 50, static_cast<char>('a' + t));
      for (int i = 0; i < kLinesEach; ++i) log.AddToLog(std::to_string(t) + ":" + payload);
    });
  }
  for (auto& thread : threads) thread.join();

  std::ifstream in(logPath_, std::ios::binary);
  std::string line;
  std::vector<int> counts(kThreads, 0);
  int total = 0;
  while (std::getline(in, line)) {
    ASSERT_TRUE(line.ends_with("\r")) << line;
    line.pop_back();
    ASSERT_TRUE(line.starts_with("02/03/2020 19:05:09\t")) << line;
    const std::string msg = line.substr(20);
    const int t = msg[0] - '0';
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    EXPECT_EQ(msg, std::to_string(t) + ":" + std::string(100 + t * 50, static_cast<char>('a' + t)));
    ++counts[t];
    ++total;
  }
  EXPECT_EQ(total, kThreads * kLinesEach);
  for (int count : counts) EXPECT_EQ(count, kLinesEach);
}

TEST_F(ErrorLogTest, ConcurrentClearLogNeverLosesAnAppend) {
  TErrorLog log = SwitchedLog();
  std::thread writer([&log] {
    for (int i = 0; i < 300; ++i) log.AddToLog("line " + std::to_string(i));
  });
  for (int i = 0; i < 50; ++i) log.ClearLog();
  writer.join();
  std::ifstream in(logPath_, std::ios::binary);
  std::string line;
  int count = 0;
  while (std::getline(in, line)) ++count;
  EXPECT_EQ(count, 300);
}

// Makes the existing log unreadable but still writable, and runs ClearLog. Root reads
// every file, so under root the run happens in a child process that gave up root.
TEST_F(ErrorLogTest, UnreadableLogIsKeptAndTheFailureLineAppended) {
  const std::string original = NumberedLines(1, 10);
  SwitchedLog("");
  WriteFile(logPath_, original);
  constexpr uid_t kNobody = 65534;
  auto runClearLog = [this]() -> int {
    try {
      TErrorLog log(modulePath_, LogStyle::Switched);
      log.ClearLog();
      return 0;
    } catch (const Exception&) {
      return 1;
    }
  };
  if (::geteuid() == 0) {
    fs::permissions(dir_, fs::perms::all);
    ASSERT_EQ(::chown(logPath_.c_str(), kNobody, kNobody), 0);
    fs::permissions(logPath_, fs::perms::owner_write);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(77);
      ::_exit(runClearLog());
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot give up root here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
  } else {
    fs::permissions(logPath_, fs::perms::owner_write);
    EXPECT_EQ(runClearLog(), 0);
  }
  fs::permissions(logPath_, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(ReadFile(logPath_), original + "Cound not load the previous log:Cannot open file \"" +
                                    logPath_ + "\". Permission denied\r\n");
}

TEST_F(ErrorLogTest, StandardStyleWritesEveryLineAndKeepsTheLast5000) {
  TErrorLog log(modulePath_, LogStyle::AlwaysRewrite);
  EXPECT_TRUE(log.LogEvents());
  log.AddToLog("first");
  EXPECT_EQ(ReadFile(logPath_), "02/03/2020 19:05:09\tfirst\r\n");

  WriteFile(logPath_, NumberedLines(1, 5000));
  log.AddToLog("newest");
  EXPECT_EQ(ReadFile(logPath_), NumberedLines(2, 5000) + "02/03/2020 19:05:09\tnewest\r\n");

  log.AddToLog("two\r\nlines");
  EXPECT_EQ(ReadFile(logPath_), NumberedLines(4, 5000) + "02/03/2020 19:05:09\tnewest\r\n" +
                                    "02/03/2020 19:05:09\ttwo\r\nlines\r\n");
}

TEST_F(ErrorLogTest, StandardStyleKeepsAByteOrderMark) {
  TErrorLog log(modulePath_, LogStyle::AlwaysRewrite);
  WriteFile(logPath_, "\xEF\xBB\xBFold\r\n");
  log.AddToLog("caf\xC3\xA9");
  EXPECT_EQ(ReadFile(logPath_), "\xEF\xBB\xBFold\r\n02/03/2020 19:05:09\tcaf\xC3\xA9\r\n");
}

// A log whose folder lies on a small file system that fills up.
class FullDiskLogTest : public ::testing::TestWithParam<LogStyle> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(disk_.Mounted()) << disk_.Why();
    modulePath_ = disk_.Path() + "Tallyhand_az.so";
    logPath_ = disk_.Path() + "Tallyhand_azLog.txt";
    std::ofstream(disk_.Path() + "data.ini", std::ios::binary)
        << "[BaseGlob]\r\nDebugLoggingEnabled=true\r\n";
    SetClockForTesting([] { return EncodeDate(2020, 2, 3) + EncodeTime(19, 5, 9); });
  }
  void TearDown() override { SetClockForTesting({}); }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(disk_.Path())) {
      names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  testsupport::SmallTmpfs disk_{256 * 1024};
  std::string modulePath_;
  std::string logPath_;
};

TEST_P(FullDiskLogTest, LinesAreLostWithoutAnErrorAndTheFileStaysWhole) {
  TErrorLog log(modulePath_, GetParam());
  log.AddToLog("before");
  const std::string before = ReadFile(logPath_);
  ASSERT_EQ(before, "02/03/2020 19:05:09\tbefore\r\n");
  ASSERT_TRUE(disk_.Fill());
  const std::vector<std::string> entries = Entries();

  // Longer than the room left in the file's last page, so the write needs space it
  // cannot get: the part that fitted must not stay behind as half a line.
  const std::string lost(3 * 4096, 'x');
  EXPECT_NO_THROW(log.AddToLog(lost));
  EXPECT_NO_THROW(log.AddToLog(lost));
  EXPECT_EQ(ReadFile(logPath_), before);
  if (GetParam() == LogStyle::Switched) {
    EXPECT_NO_THROW(log.ClearLog());
  }
  EXPECT_EQ(ReadFile(logPath_), before);
  EXPECT_EQ(Entries(), entries) << "a temporary copy of the log stayed behind";

  disk_.Free();
  log.AddToLog("after");
  EXPECT_EQ(ReadFile(logPath_), before + "02/03/2020 19:05:09\tafter\r\n");
}

INSTANTIATE_TEST_SUITE_P(Styles, FullDiskLogTest,
                         ::testing::Values(LogStyle::Switched, LogStyle::AlwaysRewrite),
                         [](const auto& info) {
                           return info.param == LogStyle::Switched ? "Switched" : "AlwaysRewrite";
                         });

TEST_F(ErrorLogTest, RewritingKeepsTheRightsOfTheLogAndWritesThroughALink) {
  TErrorLog log(modulePath_, LogStyle::AlwaysRewrite);
  WriteFile(logPath_, "old\r\n");
  fs::permissions(logPath_, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  log.AddToLog("new");
  EXPECT_EQ(fs::status(logPath_).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

  // A log that is a link to a file elsewhere stays a link; the file behind it is written.
  const std::string target = (dir_ / "elsewhere.txt").string();
  fs::rename(logPath_, target);
  fs::create_symlink(target, logPath_);
  log.AddToLog("through");
  EXPECT_TRUE(fs::is_symlink(logPath_));
  EXPECT_EQ(ReadFile(target),
            "old\r\n02/03/2020 19:05:09\tnew\r\n02/03/2020 19:05:09\tthrough\r\n");
}

TEST_F(ErrorLogTest, EventLogIsHarmlessUntilInstalled) {
  EXPECT_FALSE(EventLog().LogEvents());
  EXPECT_NO_THROW(EventLog().AddToLog("nowhere"));
  EXPECT_NO_THROW(EventLog().ClearLog());
  TErrorLog log = SwitchedLog();
  SetEventLog(&log);
  EXPECT_EQ(&EventLog(), &log);
  EventLog().AddToLog("installed");
  EXPECT_EQ(ReadFile(logPath_), "02/03/2020 19:05:09\tinstalled\r\n");
  SetEventLog(nullptr);
  EXPECT_NE(&EventLog(), &log);
}

}  // namespace
}  // namespace tallyhand
