// Picture uploads to "/tcclientData2.app" over real HTTP against the reference database:
// the picture saved beside the host executable, registered through the upload procedure
// of each build and answered with its rows; and the edge cases of the upload.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "e2e/upload_fixture.h"

namespace tallyhand::e2e {
namespace {

using testing::JpegKind;
using testing::MakeJpeg;

// ---------------------------------------------------------------------------------------
// Main flows, on both builds and both drivers.

struct FlowCase {
  std::string label;
  bool withKey;             // sign in first and send only the key, no credentials
  Query query;              // the clock event (credentials removed when withKey)
  std::string partName;     // the file name the part carries
  std::string savedName;    // where the picture must land
  std::string storedAz;     // the row after the path, az build
  std::string storedStandard;
};

std::vector<FlowCase> FlowCases() {
  const std::string clockIn = "1|40.25|-74.5|02/13/2020|02/13/2020 07:00:00";
  Query quoted = ClockInQuery("14");
  quoted = With(quoted, "fn", "quote.jpg");
  quoted = With(quoted, "clock_date", "02/14/2020");
  quoted = With(quoted, "oclock_date", "it's 07:00'); DROP TABLE company;--");
  quoted = With(quoted, "tskey", "T_userID_x");
  quoted = With(quoted, "devId", "_userID_");
  return {
      {"CredentialsSavedUnderFn", false, With(ClockInQuery("11"), "fn", "a.jpg"),
       "IMG_0001.jpg", "a.jpg", clockIn + "|ts-1|dev-1", clockIn + "|<null>|<null>"},
      {"CredentialsEmptyFnTakesThePartsName", false, With(ClockInQuery("12"), "fn", ""),
       "IMG_0002.jpg", "IMG_0002.jpg", clockIn + "|ts-1|dev-1", clockIn + "|<null>|<null>"},
      {"KeyOnlyTakesThePartsName", true, ClockInQuery("13"), "clock in 0003.jpg",
       "clock in 0003.jpg", clockIn + "|ts-1|dev-1", clockIn + "|<null>|<null>"},
      {"KeyWithQuotesAndUserIdPlaceholders", true, quoted, "IMG_0004.jpg", "quote.jpg",
       "1|40.25|-74.5|02/14/2020|it's 07:00'); DROP TABLE company;--|T42x|42",
       "1|40.25|-74.5|02/14/2020|it's 07:00'); DROP TABLE company;--|<null>|<null>"},
  };
}

class UploadFlow : public ::testing::TestWithParam<std::tuple<Build, Driver>> {};

TEST_P(UploadFlow, SavesRegistersAndAnswersTheProceduresRows) {
  const auto [build, driver] = GetParam();
  UploadSite site({.build = build, .driver = driver});
  const uint16_t port = site.Start();
  ASSERT_NE(port, 0);
  const std::string key = site.SignIn();
  ASSERT_EQ(key.size(), 32u);

  int pictureId = 0;
  for (const FlowCase& flow : FlowCases()) {
    SCOPED_TRACE(flow.label);
    Query query = flow.query;
    if (flow.withKey) {
      for (const char* credential : {"AuthUser", "AuthPass", "AuthComp"}) {
        query = With(query, credential, std::nullopt);
      }
      query = With(query, "key", key);
    }
    // Every upload its own picture, so the saved bytes prove which one landed.
    const std::string jpeg = MakeJpeg(JpegKind::Baseline, 20 + pictureId, 12);
    const auto response = site.Send(UploadRequest(query, {JpegPart(flow.partName, jpeg)}));
    ASSERT_TRUE(response);
    ++pictureId;
    const std::string path = site.PicturePath(flow.savedName);
    const std::string rid = ValueOf(query, "RID");
    EXPECT_EQ(response->raw, ExpectedResponse(RegisteredBody(rid, driver, pictureId, path)));
    EXPECT_TRUE(EnvelopeIsValidJson(response->body)) << response->body;

    EXPECT_EQ(site.Picture(flow.savedName), jpeg);
    if (flow.savedName != flow.partName) {
      EXPECT_EQ(site.Picture(flow.partName), std::nullopt);
    }
    const std::string stored = build == Build::Az ? flow.storedAz : flow.storedStandard;
    EXPECT_EQ(site.StoredPicture(pictureId), "42|1|1007|" + path + "|" + stored);
    EXPECT_EQ(site.Site().CountLogLines("AuthUser:" + std::string(flow.withKey ? "" : "jsmith") +
                                        "- FileName:" + path),
              1u);
  }
  EXPECT_EQ(site.PictureRows(), pictureId);
  // The quoted text that names a statement stayed a value.
  EXPECT_EQ(site.Site().Scalar("SELECT COUNT(*) FROM company"), "4");
  site.StopAndExpectCleanExit();
}

INSTANTIATE_TEST_SUITE_P(
    BuildsAndDrivers, UploadFlow,
    ::testing::Combine(::testing::Values(Build::Az, Build::Standard),
                       ::testing::Values(Driver::SQLite, Driver::PostgreSQL, Driver::ODBC)),
    [](const auto& info) {
      return BuildName(std::get<0>(info.param)) + DriverName(std::get<1>(info.param));
    });

// ---------------------------------------------------------------------------------------
// Edge cases: what is written, registered and answered.

enum class Outcome {
  NoFilesAttached,  // the "No files attached" envelope
  MarkersOnly,      // not a JPEG: the two markers and nothing between them
  Registered,       // the procedure's row
  Refused,          // an error envelope from the upload request
};

struct EdgeCase {
  std::string label;
  std::string request;    // the whole HTTP request
  std::string rid;
  Outcome outcome;
  std::string message;    // Refused: the response text
  std::string savedName;  // "" when nothing may be written
  std::string savedBytes;
};

std::string CutShortInItsImageData(const std::string& jpeg) {
  const size_t offset = testing::ImageDataOffset(jpeg);
  return jpeg.substr(0, offset + (jpeg.size() - offset) / 2);
}

std::vector<EdgeCase> EdgeCases(Build build, const std::string& key) {
  const std::string baseline = MakeJpeg(JpegKind::Baseline);
  const std::string gray = MakeJpeg(JpegKind::Grayscale);
  const std::string progressive = MakeJpeg(JpegKind::Progressive);
  const std::string cut = CutShortInItsImageData(baseline);
  const std::string text = "This is a note, not a picture.\r\n";
  const Query q = ClockInQuery("21");
  Part plainField;
  plainField.name = "note";
  plainField.bytes = "hello";
  Part textFile = JpegPart("note.jpg", text);
  textFile.contentType = "text/plain";
  Query byKey = With(With(With(q, "AuthUser", std::nullopt), "AuthPass", std::nullopt),
                     "AuthComp", std::nullopt);

  return {
      {"NoFilePart", UploadRequest(q, {plainField}), "21", Outcome::NoFilesAttached, "", "", ""},
      {"Get", "GET " + UploadTarget(q) + " HTTP/1.1\r\nHost: localhost\r\n\r\n", "21",
       Outcome::NoFilesAttached, "", "", ""},
      {"FormBody",
       PostRequest(UploadTarget(q), "application/x-www-form-urlencoded", "file=abc&x=1"), "21",
       Outcome::NoFilesAttached, "", "", ""},
      {"TwoFilePartsOnlyTheFirstCounts",
       UploadRequest(q, {JpegPart("first.jpg", baseline), JpegPart("second.jpg", gray)}), "21",
       Outcome::Registered, "", "first.jpg", baseline},
      {"TextFileIsKeptButNotRegistered", UploadRequest(q, {textFile}), "21",
       Outcome::MarkersOnly, "", "note.jpg", text},
      {"ZeroByteFile", UploadRequest(q, {JpegPart("empty.jpg", "")}), "21", Outcome::Registered,
       "", "empty.jpg", ""},
      {"JpegCutShortInItsImageData", UploadRequest(q, {JpegPart("cut.jpg", cut)}), "21",
       Outcome::Registered, "", "cut.jpg", cut},
      {"ProgressiveJpeg", UploadRequest(q, {JpegPart("progressive.jpg", progressive)}), "21",
       Outcome::Registered, "", "progressive.jpg", progressive},
      {"GrayscaleJpeg", UploadRequest(q, {JpegPart("gray.jpg", gray)}), "21",
       Outcome::Registered, "", "gray.jpg", gray},
      {"KeyWithTrailingSpace",
       UploadRequest(With(byKey, "key", key + " "), {JpegPart("trailing.jpg", baseline)}), "21",
       Outcome::Refused, ExpectedInvalidRequest(build), "trailing.jpg", baseline},
      {"UnknownKeyWithCredentials",
       UploadRequest(With(q, "key", "ABCDEFGHIJKLMNOPQRSTUVWXYZABCDEF"),
                     {JpegPart("unknown-key.jpg", baseline)}),
       "21", Outcome::Registered, "", "unknown-key.jpg", baseline},
      {"NoPasswordNoKey",
       UploadRequest(With(q, "AuthPass", std::nullopt), {JpegPart("nopass.jpg", baseline)}),
       "21", Outcome::Refused, ExpectedInvalidRequest(build), "nopass.jpg", baseline},
      {"CompanyInOtherLetterCase",
       UploadRequest(With(q, "AuthComp", "acme builders"), {JpegPart("case.jpg", baseline)}),
       "21", Outcome::Refused, "Invalid Company,Username,Password or Request !", "case.jpg",
       baseline},
      {"WrongPassword",
       UploadRequest(With(q, "AuthPass", "Secret"), {JpegPart("login.jpg", baseline)}), "21",
       Outcome::Refused, "Invalid Login !", "login.jpg", baseline},
      {"UserWithoutMobileAccess",
       UploadRequest(With(With(q, "AuthUser", "mjones"), "AuthPass", "pass2"),
                     {JpegPart("access.jpg", baseline)}),
       "21", Outcome::Refused, "Quarrow User is NOT enabled for Mobile Access", "access.jpg",
       baseline},
  };
}

class UploadEdgeCase : public ::testing::TestWithParam<Build> {};

TEST_P(UploadEdgeCase, WritesRegistersAndAnswersAsEachCaseRequires) {
  const Build build = GetParam();
  UploadSite site({.build = build});
  site.Start();
  const std::string key = site.SignIn();
  ASSERT_EQ(key.size(), 32u);

  int registered = 0;
  for (const EdgeCase& edge : EdgeCases(build, key)) {
    SCOPED_TRACE(edge.label);
    const std::vector<std::string> foldersBefore = site.PictureFolderEntries();
    const size_t logBefore = site.Site().LogMessages().size();
    const auto response = site.Send(edge.request);
    ASSERT_TRUE(response);

    std::string body;
    switch (edge.outcome) {
      case Outcome::NoFilesAttached:
        body = ErrorBody(edge.rid, "No files attached");
        break;
      case Outcome::MarkersOnly:
        body = Framed("");
        break;
      case Outcome::Registered:
        body = RegisteredBody(edge.rid, Driver::SQLite, ++registered,
                              site.PicturePath(edge.savedName));
        break;
      case Outcome::Refused:
        body = ErrorBody(edge.rid, edge.message);
        break;
    }
    EXPECT_EQ(response->raw, ExpectedResponse(body));
    EXPECT_EQ(site.PictureRows(), registered);

    std::vector<std::string> foldersAfter = foldersBefore;
    if (!edge.savedName.empty()) {
      EXPECT_EQ(site.Picture(edge.savedName), edge.savedBytes);
      if (std::find(foldersAfter.begin(), foldersAfter.end(), edge.savedName) ==
          foldersAfter.end()) {
        foldersAfter.push_back(edge.savedName);
        std::sort(foldersAfter.begin(), foldersAfter.end());
      }
    }
    // Nothing else appears: no second part, no temporary file left behind.
    EXPECT_EQ(site.PictureFolderEntries(), foldersAfter);

    if (edge.outcome == Outcome::MarkersOnly) {
      EXPECT_EQ(site.LogMessagesSince(logBefore),
                (std::vector<std::string>{"Request dispatched to Client File Action",
                                          "Finish request on Client File Action"}));
    }
    if (edge.outcome == Outcome::NoFilesAttached) {
      // The envelope's own error line, then the action's.
      const std::string envelope = body.substr(kBeginMarker.size(),
                                               body.size() - kBeginMarker.size() - kEndMarker.size());
      EXPECT_EQ(site.LogMessagesSince(logBefore),
                (std::vector<std::string>{"Request dispatched to Client File Action",
                                          "No files attached", "FormatResponse: " + envelope,
                                          "No files attached",
                                          "Finish request on Client File Action"}));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Builds, UploadEdgeCase, ::testing::Values(Build::Az, Build::Standard),
                         [](const auto& info) { return BuildName(info.param); });

// ---------------------------------------------------------------------------------------
// The database out of reach: the exception answer, and nothing written.

class UploadUnreachableDatabase : public ::testing::TestWithParam<Build> {};

TEST_P(UploadUnreachableDatabase, AnswersTheExceptionWithTheRidAndWritesNothing) {
  UploadSite site({.build = GetParam(), .createDatabase = false});
  site.Start();
  const auto response = site.Send(
      UploadRequest(With(ClockInQuery("31"), "fn", "a.jpg"),
                    {JpegPart("IMG_0001.jpg", MakeJpeg(JpegKind::Baseline))}));
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 200);
  EXPECT_EQ(response->Header("Content-Type"), "text/html");
  const std::string& body = response->body;
  const std::string head =
      std::string(kBeginMarker) + R"({"error":"1","RID":"31","response":"Error: )";
  const std::string tail = R"(","eofline":"eof"})" + std::string(kEndMarker);
  ASSERT_GT(body.size(), head.size() + tail.size()) << body;
  EXPECT_EQ(body.substr(0, head.size()), head) << body;
  EXPECT_EQ(body.substr(body.size() - tail.size()), tail) << body;
  EXPECT_EQ(body.find(kBeginMarker, 1), std::string::npos) << body;
  EXPECT_FALSE(std::filesystem::exists(site.PicturesFolder()));
  EXPECT_EQ(site.Site().CountLogLines("WebModuleException: "), 1u);
  EXPECT_EQ(site.Site().CountLogLines("Finish request on Client File Action"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Builds, UploadUnreachableDatabase,
                         ::testing::Values(Build::Az, Build::Standard),
                         [](const auto& info) { return BuildName(info.param); });

}  // namespace
}  // namespace tallyhand::e2e
