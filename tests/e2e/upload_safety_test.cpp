// Hostile uploads over real HTTP: file names that try to leave the pictures folder, number
// fields that try to extend the upload statement, and many uploads racing for one name.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <set>

#include "e2e/upload_fixture.h"

namespace tallyhand::e2e {
namespace {

using testing::JpegKind;
using testing::MakeJpeg;

// ---------------------------------------------------------------------------------------
// Refused file names.

struct FileState {
  bool folder = false;
  std::uintmax_t size = 0;
  std::filesystem::file_time_type written;
  bool operator==(const FileState&) const = default;
};

// Every file and folder under the site's scratch folder, except those the server writes
// on every request (the log) or may touch while reading (the database and its journal).
std::map<std::string, FileState> FileSystemState(UploadSite& site) {
  std::map<std::string, FileState> state;
  const std::string log = site.Site().Folder() + site.Site().LogFileName();
  for (const auto& entry : std::filesystem::recursive_directory_iterator(site.Site().Root())) {
    const std::string path = entry.path().string();
    if (path == log || path.find("tallyhand.db") != std::string::npos) continue;
    FileState file;
    file.folder = entry.is_directory();
    if (!file.folder) file.size = entry.file_size();
    file.written = entry.last_write_time();
    state.emplace(path, file);
  }
  return state;
}

struct RefusedName {
  std::string label;
  std::string name;    // as the server decodes it
  std::string reason;  // the refusal, after "Invalid file name: "
};

std::vector<RefusedName> RefusedNames(const UploadSite& site) {
  const std::string separator = "the name holds a path separator";
  const std::string dots = "the name holds '..'";
  return {
      {"Parent", "../escaped.jpg", dots},
      {"GrandParent", "../../escaped.jpg", dots},
      {"ParentAlone", "..", dots},
      {"CurrentFolder", ".", "the name is '.'"},
      {"OverwriteTheSiteConfiguration", "../site/data.ini", dots},
      {"IntoTheExtensionsFolder", "../site/Tallyhand_az.so", dots},
      {"SubFolder", "sub/escaped.jpg", separator},
      {"Absolute", site.Site().Root() + "escaped.jpg", separator},
      {"BackslashParent", "..\\escaped.jpg", dots},
      {"Backslash", "sub\\escaped.jpg", separator},
      {"DriveRelative", "C:escaped.jpg", "the name holds a drive or ':'"},
      {"DriveAbsolute", "C:\\escaped.jpg", separator},
      {"AlternateStream", "escaped.jpg:hidden", "the name holds a drive or ':'"},
      {"ControlCharacter", "escaped\x01.jpg", "the name holds a control character"},
      {"LineBreak", "escaped\r\n.jpg", "the name holds a control character"},
      {"LeadingBlank", " escaped.jpg", "the name begins or ends with a blank"},
      {"TrailingBlank", "escaped.jpg ", "the name begins or ends with a blank"},
      {"TooLong", std::string(252, 'e') + ".jpg", "the name is longer than 255 bytes"},
  };
}

bool PrintableInAHeader(std::string_view name) {
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == '"') return false;
  }
  return true;
}

TEST(UploadRefusedName, EveryWayOfSendingItLeavesTheFileSystemUntouched) {
  UploadSite site({});
  site.Start();
  // The first request opens the connection, so later ones only read.
  ASSERT_TRUE(site.Send("GET /test.app HTTP/1.1\r\nHost: localhost\r\n\r\n"));
  const auto before = FileSystemState(site);
  const std::string jpeg = MakeJpeg(JpegKind::Baseline);

  for (const RefusedName& refused : RefusedNames(site)) {
    SCOPED_TRACE(refused.label);
    struct Sending {
      std::string how;
      std::string request;
    };
    std::vector<Sending> sendings = {
        {"fn", UploadRequest(With(ClockInQuery("41"), "fn", refused.name),
                             {JpegPart("IMG_0001.jpg", jpeg)})},
        {"encoded part name",
         UploadRequest(ClockInQuery("41"), {JpegPart(PercentEncode(refused.name), jpeg)})},
    };
    if (PrintableInAHeader(refused.name)) {
      sendings.push_back(
          {"raw part name", UploadRequest(ClockInQuery("41"), {JpegPart(refused.name, jpeg)})});
    }
    for (const Sending& sending : sendings) {
      SCOPED_TRACE(sending.how);
      const auto response = site.Send(sending.request);
      ASSERT_TRUE(response);
      const std::string body = ErrorBody("41", "Error: Invalid file name: " + refused.reason);
      EXPECT_EQ(response->raw, ExpectedResponse(body));
      EXPECT_TRUE(EnvelopeIsValidJson(response->body)) << response->body;
      EXPECT_EQ(FileSystemState(site), before);
    }
  }
  EXPECT_FALSE(std::filesystem::exists(site.PicturesFolder()));
  EXPECT_EQ(site.PictureRows(), 0);

  // A name in fn is the only one that counts: the part's unsafe name is never used.
  const auto response = site.Send(UploadRequest(With(ClockInQuery("42"), "fn", "safe.jpg"),
                                                {JpegPart("../escaped.jpg", jpeg)}));
  ASSERT_TRUE(response);
  EXPECT_EQ(response->raw, ExpectedResponse(RegisteredBody("42", Driver::SQLite, 1,
                                                           site.PicturePath("safe.jpg"))));
  EXPECT_EQ(site.PictureFolderEntries(), std::vector<std::string>{"safe.jpg"});
  EXPECT_FALSE(std::filesystem::exists(site.Site().Root() + "escaped.jpg"));
}

// ---------------------------------------------------------------------------------------
// Values written into the statement without quotes.

struct InjectedValue {
  std::string field;
  std::string value;
};

const InjectedValue kInjectedValues[] = {
    {"pmid", "1);DROP TABLE company;--"},
    {"pmid", "1,1,'x',1,1,1,'a','b','c','d');DELETE FROM company;--"},
    {"e_no", "1007 OR 1=1"},
    {"clock_type", "(SELECT COUNT(*) FROM company)"},
    {"lat", "0;DELETE FROM company"},
    {"lon", "-74.5--"},
};

class UploadInjectedNumber : public ::testing::TestWithParam<Driver> {};

TEST_P(UploadInjectedNumber, IsRefusedBeforeAnyStatementRuns) {
  UploadSite site({.driver = GetParam()});
  site.Start();
  for (const InjectedValue& injected : kInjectedValues) {
    SCOPED_TRACE(injected.field + "=" + injected.value);
    const size_t logBefore = site.Site().LogMessages().size();
    const auto response =
        site.Send(UploadRequest(With(ClockInQuery("51"), injected.field, injected.value),
                                {JpegPart("injected.jpg", MakeJpeg(JpegKind::Baseline))}));
    ASSERT_TRUE(response);
    EXPECT_EQ(response->raw,
              ExpectedResponse(ErrorBody("51", "Invalid value for " + injected.field)));
    for (const std::string& line : site.LogMessagesSince(logBefore)) {
      EXPECT_NE(line.rfind("Executing ", 0), 0u) << line;
      EXPECT_NE(line.rfind("ExecuteQuery", 0), 0u) << line;
    }
  }
  EXPECT_EQ(site.Site().Scalar("SELECT COUNT(*) FROM company"), "4");
  EXPECT_EQ(site.PictureRows(), 0);
}

INSTANTIATE_TEST_SUITE_P(Drivers, UploadInjectedNumber,
                         ::testing::Values(Driver::SQLite, Driver::PostgreSQL, Driver::ODBC),
                         [](const auto& info) { return std::string(DriverName(info.param)); });

// ---------------------------------------------------------------------------------------
// Many uploads under one name at once.

class UploadConcurrently : public ::testing::TestWithParam<Driver> {};

TEST_P(UploadConcurrently, TwentyUploadsUnderOneNameLeaveOneWholePicture) {
  constexpr int kUploads = 20;
  const Driver driver = GetParam();
  UploadSite site({.driver = driver});
  site.Start();

  std::vector<std::string> pictures;
  std::vector<std::unique_ptr<testsupport::HttpConnection>> connections;
  for (int i = 0; i < kUploads; ++i) {
    // Pictures of different sizes, so a mix of two would show.
    pictures.push_back(MakeJpeg(JpegKind::Baseline, 16 + 8 * i, 16 + 4 * i));
    connections.push_back(std::make_unique<testsupport::HttpConnection>(site.Port()));
    ASSERT_TRUE(connections.back()->Connected());
  }
  // Every request is on its way before any answer is read.
  for (int i = 0; i < kUploads; ++i) {
    const Query query = With(With(ClockInQuery(std::to_string(i)), "fn", "same.jpg"), "e_no",
                             std::to_string(1000 + i));
    ASSERT_TRUE(connections[static_cast<size_t>(i)]->Send(
        UploadRequest(query, {JpegPart("IMG.jpg", pictures[static_cast<size_t>(i)])})));
  }

  const std::string path = site.PicturePath("same.jpg");
  std::set<int> pictureIds;
  for (int i = 0; i < kUploads; ++i) {
    const auto response = connections[static_cast<size_t>(i)]->ReadResponse(std::chrono::seconds(60));
    ASSERT_TRUE(response) << i << "\nserver reported:\n" << site.Site().Server().StderrText();
    const std::string member = R"("PictureID":")";
    const auto at = response->body.find(member);
    ASSERT_NE(at, std::string::npos) << response->body;
    const int id = std::atoi(response->body.c_str() + at + member.size());
    pictureIds.insert(id);
    EXPECT_EQ(response->raw,
              ExpectedResponse(RegisteredBody(std::to_string(i), driver, id, path)));
  }
  EXPECT_EQ(pictureIds.size(), static_cast<size_t>(kUploads));
  EXPECT_EQ(site.PictureRows(), kUploads);

  // One file, no temporary leftovers, and its bytes are exactly one upload's.
  EXPECT_EQ(site.PictureFolderEntries(), std::vector<std::string>{"same.jpg"});
  const std::optional<std::string> saved = site.Picture("same.jpg");
  ASSERT_TRUE(saved);
  EXPECT_EQ(std::count(pictures.begin(), pictures.end(), *saved), 1)
      << "the saved picture (" << saved->size() << " bytes) is none of the uploads";
  site.StopAndExpectCleanExit();
}

INSTANTIATE_TEST_SUITE_P(Drivers, UploadConcurrently,
                         ::testing::Values(Driver::SQLite, Driver::PostgreSQL, Driver::ODBC),
                         [](const auto& info) { return std::string(DriverName(info.param)); });

}  // namespace
}  // namespace tallyhand::e2e
