#include "extension/web_request.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

namespace tallyhand {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A request as a host would hand it over; counts how often the body is fetched.
class FakeSource : public RequestSource {
 public:
  std::string method = "POST";
  std::string queryString;
  std::string pathInfo = "/tcclientRequest.app";
  std::string contentType;
  std::string body;
  bool announceBody = true;
  int bodyReads = 0;

  std::string_view Method() const override { return method; }
  std::string_view QueryString() const override { return queryString; }
  std::string_view PathInfo() const override { return pathInfo; }
  std::string_view ContentType() const override { return contentType; }
  uint64_t ContentLength() const override { return announceBody ? body.size() : 0; }
  std::string_view Body() override {
    ++bodyReads;
    return body;
  }
};

class WebRequestTest : public ::testing::Test {
 protected:
  FakeSource source;
  TWebRequest request{source};
};

TEST_F(WebRequestTest, QueryFieldsAreReadInWindows1252) {
  source.queryString = "a=1&A=2&n=caf\xE9&e=%C3%A9";
  EXPECT_EQ(request.QueryString(), "a=1&A=2&n=caf\xC3\xA9&e=%C3%A9");
  EXPECT_EQ(request.QueryFields().Values("A"), "1");
  EXPECT_EQ(request.QueryFields().Values("n"), "caf\xC3\xA9");
  EXPECT_EQ(request.QueryFields().Values("e"), "\xC3\xA9");
}

TEST_F(WebRequestTest, RawValuesArePassedOn) {
  source.method = "GET";
  source.pathInfo = "/test.app";
  source.contentType = "text/plain";
  EXPECT_EQ(request.Method(), "GET");
  EXPECT_EQ(request.PathInfo(), "/test.app");
  EXPECT_EQ(request.ContentType(), "text/plain");
}

struct BodyCase {
  const char* name;
  std::string contentType;
  std::string body;
  std::string text;
};

class ContentFieldsTest : public ::testing::TestWithParam<BodyCase> {};

TEST_P(ContentFieldsTest, DecodesBodyByCodePage) {
  FakeSource source;
  source.contentType = GetParam().contentType;
  source.body = GetParam().body;
  TWebRequest request(source);
  EXPECT_EQ(request.ContentFields().Text(), GetParam().text);
  EXPECT_THAT(request.Files(), IsEmpty());
}

constexpr const char* kUtf8Form = "application/x-www-form-urlencoded; charset=UTF-8";
constexpr const char* kAnsiForm = "application/x-www-form-urlencoded";

INSTANTIATE_TEST_SUITE_P(
    Cases, ContentFieldsTest,
    ::testing::Values(
        BodyCase{"EscapeInUtf8Body", kUtf8Form, "x=%C3%A9", "x=\xC3\xA9\r\n"},
        BodyCase{"RawCharacterInUtf8Body", kUtf8Form, "x=\xC3\xA9", "x=\xC3\xA9\r\n"},
        BodyCase{"EscapeInAnsiBody", kAnsiForm, "x=%C3%A9", "x=\xC3\xA9\r\n"},
        BodyCase{"RawUtf8BytesInAnsiBody", kAnsiForm, "x=\xC3\xA9", "x=\xC3\x83\xC2\xA9\r\n"},
        BodyCase{"AnsiCharacterInAnsiBody", kAnsiForm, "x=\xE9", "x=\xC3\xA9\r\n"},
        BodyCase{"InvalidUtf8InUtf8Body", "text/plain; CHARSET=utf-8", "x=\xE9", "x=\xEF\xBF\xBD\r\n"},
        BodyCase{"InvalidUtf8AfterDecoding", kAnsiForm, "x=%E9", "x=\xEF\xBF\xBD\r\n"},
        BodyCase{"NoContentType", "", "a&&b", "a\r\n\r\nb\r\n"},
        BodyCase{"GraveAccentJson", kAnsiForm, "%7B%60RID%60%3A%6012%60%7D",
                 "{`RID`:`12`}\r\n"},
        BodyCase{"PlusAndEscapedPlus", kAnsiForm, "a+b%2Bc", "a b+c\r\n"},
        BodyCase{"UpperCaseMultipartIsNoMultipart", "Multipart/form-data; boundary=b", "--b",
                 "--b\r\n"}),
    [](const auto& info) { return info.param.name; });

TEST_F(WebRequestTest, EmptyOrUnannouncedBodyGivesNoFieldsAndIsNotRead) {
  source.body = "a=1";
  source.announceBody = false;
  EXPECT_EQ(request.ContentFields().Count(), 0u);
  EXPECT_EQ(request.ContentFields().Text(), "");
  EXPECT_THAT(request.Files(), IsEmpty());
  EXPECT_EQ(source.bodyReads, 0);
}

TEST_F(WebRequestTest, MultipartGivesFieldsAndFilesFromOneRead) {
  source.contentType = "multipart/form-data; boundary=B";
  source.body =
      "--B\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\nhello\r\n"
      "--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.jpg\"\r\n"
      "Content-Type: image/jpeg\r\n\r\nJPEG\r\n--B--\r\n";
  ASSERT_EQ(request.Files().size(), 1u);
  EXPECT_EQ(request.Files()[0].fileName, "a.jpg");
  EXPECT_EQ(request.Files()[0].bytes, "JPEG");
  EXPECT_THAT(request.ContentFields().Entries(), ElementsAre("x=hello"));
  EXPECT_EQ(request.ContentFields().Values("X"), "hello");
  EXPECT_EQ(source.bodyReads, 1);
}

TEST_F(WebRequestTest, MultipartWithoutBoundaryGivesNothing) {
  source.contentType = "multipart/form-data";
  source.body = "--B\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\n1\r\n--B--";
  EXPECT_EQ(request.ContentFields().Count(), 0u);
  EXPECT_THAT(request.Files(), IsEmpty());
}

TEST_F(WebRequestTest, FilesOfPlainBodyDoNotDecodeIt) {
  source.contentType = kAnsiForm;
  source.body = "bad=%G1";
  EXPECT_THAT(request.Files(), IsEmpty());
  EXPECT_EQ(source.bodyReads, 0);
}

TEST_F(WebRequestTest, FailedViewRaisesAgainWithoutBeingRebuilt) {
  source.contentType = kAnsiForm;
  source.body = "ok=1&bad=%4";
  const std::string message = "Error decoding URL style (%XX) encoded string at position 5";
  for (int read = 0; read < 2; ++read) {
    try {
      request.ContentFields();
      FAIL() << "no error raised on read " << read;
    } catch (const EUrlDecodeError& error) {
      EXPECT_EQ(error.Message(), message);
    }
  }
  EXPECT_EQ(source.bodyReads, 1);
}

TEST_F(WebRequestTest, BadQueryStringDoesNotSpoilContent) {
  source.queryString = "RID=%G1";
  source.contentType = kAnsiForm;
  source.body = "a=1";
  EXPECT_THROW(request.QueryFields(), EUrlDecodeError);
  EXPECT_THROW(request.QueryFields(), EUrlDecodeError);
  EXPECT_EQ(request.ContentFields().Values("a"), "1");
}

TEST_F(WebRequestTest, ViewsAreBuiltOnce) {
  source.queryString = "a=1";
  source.contentType = kAnsiForm;
  source.body = "b=2";
  const FieldList& first = request.ContentFields();
  EXPECT_EQ(&request.ContentFields(), &first);
  EXPECT_EQ(&request.QueryFields(), &request.QueryFields());
  EXPECT_EQ(source.bodyReads, 1);
}

}  // namespace
}  // namespace tallyhand
