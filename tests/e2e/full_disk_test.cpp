// A full disk over real HTTP: the pictures folder, and the module folder with the event
// log, each on a small tmpfs that the test fills. An upload that cannot be stored is
// answered an error and leaves nothing behind; a log that cannot grow loses lines but no
// answer; once there is room again everything works as before.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "e2e/upload_fixture.h"
#include "support/small_tmpfs.h"

namespace tallyhand::e2e {
namespace {

namespace fs = std::filesystem;
using testing::JpegKind;
using testing::MakeJpeg;
using testsupport::SmallTmpfs;

constexpr std::size_t kDiskBytes = 512 * 1024;

std::string HttpGet(std::string_view target) {
  return "GET " + std::string(target) + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
}

// A request of the app: its JSON written with grave accents, sent as a form body.
std::string AppRequest(std::string json) {
  std::replace(json.begin(), json.end(), '"', '`');
  return PostRequest("/tcclientRequest.app", "application/x-www-form-urlencoded",
                     PercentEncode(json));
}

std::vector<std::string> EntriesBut(const std::vector<std::string>& entries,
                                    std::string_view filler) {
  std::vector<std::string> left;
  for (const std::string& name : entries) {
    if (name != filler) left.push_back(name);
  }
  return left;
}

TEST(FullDisk, UploadIsAnsweredAnErrorLeavesNothingBehindAndWorksOnceThereIsRoom) {
  UploadSite site({.build = Build::Az, .driver = Driver::SQLite});
  fs::create_directories(site.PicturesFolder());
  SmallTmpfs disk(kDiskBytes, site.PicturesFolder());
  ASSERT_TRUE(disk.Mounted()) << disk.Why();
  ASSERT_NE(site.Start(), 0);
  const int rowsBefore = site.PictureRows();

  ASSERT_TRUE(disk.Fill());
  // Larger than any slack the filler left in its last page.
  const std::string jpeg = MakeJpeg(JpegKind::Baseline, 800, 600);
  ASSERT_GT(jpeg.size(), 3 * 4096u);
  const Query query = With(ClockInQuery("21"), "fn", "full.jpg");
  const auto refused = site.Send(UploadRequest(query, {JpegPart("IMG_1.jpg", jpeg)}));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->raw, ExpectedResponse(ErrorBody("21", "Error: Cannot write file " +
                                                               site.PicturePath("full.jpg") +
                                                               ": No space left on device")));
  EXPECT_EQ(EntriesBut(site.PictureFolderEntries(), ".filler"), std::vector<std::string>{})
      << "a partial picture or temporary file stayed";
  EXPECT_EQ(site.PictureRows(), rowsBefore);

  // Everything that needs no room is served meanwhile.
  const auto page = site.Send(HttpGet("/test.app"));
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("Tallyhand Application Test page"), std::string::npos) << page->raw;
  EXPECT_EQ(site.SignIn().size(), 32u);

  disk.Free();
  const auto stored = site.Send(UploadRequest(query, {JpegPart("IMG_1.jpg", jpeg)}));
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->raw, ExpectedResponse(RegisteredBody("21", Driver::SQLite, rowsBefore + 1,
                                                         site.PicturePath("full.jpg"))));
  EXPECT_EQ(site.Picture("full.jpg"), jpeg);
  EXPECT_EQ(site.PictureRows(), rowsBefore + 1);
  site.StopAndExpectCleanExit();
}

// Moves a site's module folder onto a tmpfs of its own; the database stays where it was,
// so that only the event log lacks room when the tmpfs is full.
class SiteOnSmallDisk {
 public:
  explicit SiteOnSmallDisk(Build build) : site_({.build = build, .driver = Driver::SQLite}) {
    const std::string folder = site_.Folder();
    held_ = site_.Root() + "held/";
    fs::rename(folder, held_);
    fs::create_directory(folder);
    // Room for the module, and as much again as the pictures test has.
    disk_ = std::make_unique<SmallTmpfs>(fs::file_size(held_ + site_.ModuleFileName()) + kDiskBytes,
                                         folder);
    if (!disk_->Mounted()) return;
    fs::copy_file(held_ + site_.ModuleFileName(), folder + site_.ModuleFileName());
    std::ifstream in(held_ + "data.ini", std::ios::binary);
    std::stringstream ini;
    ini << in.rdbuf();
    std::string text = ini.str();
    const std::string relative = "Database=tallyhand.db";
    text.replace(text.find(relative), relative.size(), "Database=" + held_ + "tallyhand.db");
    std::ofstream(folder + "data.ini", std::ios::binary) << text;
  }
  ~SiteOnSmallDisk() {
    // The server leaves the file system before it is unmounted.
    if (started_) site_.Stop();
    disk_.reset();
  }

  uint16_t Start() {
    started_ = true;
    return site_.Start().Port();
  }
  E2eSite& Site() { return site_; }
  SmallTmpfs& Disk() { return *disk_; }

 private:
  E2eSite site_;
  std::string held_;
  std::unique_ptr<SmallTmpfs> disk_;
  bool started_ = false;
};

// Every line of the log whole: a time stamp, a TAB, and CR LF at its end.
::testing::AssertionResult LinesAreWhole(const std::string& log) {
  std::size_t start = 0;
  while (start < log.size()) {
    const std::size_t end = log.find("\r\n", start);
    if (end == std::string::npos)
      return ::testing::AssertionFailure() << "cut line: " << log.substr(start);
    if (log.compare(start + 19, 1, "\t") != 0) {
      return ::testing::AssertionFailure()
             << "line without a time stamp: " << log.substr(start, end - start);
    }
    start = end + 2;
  }
  return ::testing::AssertionSuccess();
}

class FullDiskEventLog : public ::testing::TestWithParam<Build> {};

TEST_P(FullDiskEventLog, LosesLinesButNoAnswerAndLogsAgainOnceThereIsRoom) {
  SiteOnSmallDisk small(GetParam());
  ASSERT_TRUE(small.Disk().Mounted()) << small.Disk().Why();
  E2eSite& site = small.Site();
  const uint16_t port = small.Start();
  const std::string credentials =
      R"("AuthUser":"jsmith","AuthPass":"secret","AuthComp":"Acme Builders")";
  // One of each answer the app relies on; each must come back the same with a full disk.
  auto serveEach = [&](int month) {
    const auto page = testsupport::HttpExchange(port, HttpGet("/test.app"));
    ASSERT_TRUE(page);
    EXPECT_NE(page->body.find("Test page"), std::string::npos) << page->raw;
    const auto key = testsupport::HttpExchange(
        port, AppRequest("{" + credentials + R"(,"ReqMethod":"checkLogin","RID":"5"})"));
    ASSERT_TRUE(key);
    EXPECT_NE(key->body.find(R"("response":"success","key":")"), std::string::npos) << key->raw;
    const std::string date = "0" + std::to_string(month) + "/01/2031";
    const auto written = testsupport::HttpExchange(
        port, AppRequest("{" + credentials +
                         R"(,"RID":"6","ReqMethod":"EXECUTE PROCEDURE nvm_DailyReportRecord_Write()"
                         R"(_userID_,0,'JOB 2',')" +
                         date + R"(','disk','');"})"));
    ASSERT_TRUE(written);
    EXPECT_NE(written->body.find(R"("error":"0")"), std::string::npos) << written->raw;
    EXPECT_NE(written->body.find("Daily report saved"), std::string::npos) << written->raw;
  };
  const std::string dispatched = "Request dispatched to Default Handler Action";

  serveEach(1);
  ASSERT_TRUE(small.Disk().Fill());
  // More lines than the slack in the log's last page can take.
  for (int month = 2; month <= 8; ++month) serveEach(month);
  EXPECT_TRUE(LinesAreWhole(site.LogText()));
  const std::size_t loggedWhileFull = site.CountLogLines(dispatched);
  EXPECT_LT(loggedWhileFull, 8u) << "the log never ran out of room";
  EXPECT_NE(site.Server().StderrText().find("lines lost until there is room again"),
            std::string::npos);

  small.Disk().Free();
  serveEach(9);
  EXPECT_TRUE(LinesAreWhole(site.LogText()));
  EXPECT_EQ(site.CountLogLines(dispatched), loggedWhileFull + 1)
      << "nothing logged once there was room";
  EXPECT_EQ(site.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Builds, FullDiskEventLog, ::testing::Values(Build::Az, Build::Standard),
                         [](const auto& info) { return BuildName(info.param); });

}  // namespace
}  // namespace tallyhand::e2e
