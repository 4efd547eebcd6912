#include "extension/multipart.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tallyhand {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr std::string_view kFormType = "multipart/form-data; boundary=XyZ";

std::string PlainPart(std::string_view name, std::string_view content) {
  return "--XyZ\r\nContent-Disposition: form-data; name=\"" + std::string(name) +
         "\"\r\n\r\n" + std::string(content) + "\r\n";
}

std::string FilePart(std::string_view disposition, std::string_view type,
                     std::string_view content) {
  return "--XyZ\r\nContent-Disposition: " + std::string(disposition) +
         "\r\nContent-Type: " + std::string(type) + "\r\n\r\n" + std::string(content) + "\r\n";
}

const std::string kClosing = "--XyZ--\r\n";

bool IsSliceOf(std::string_view slice, std::string_view body) {
  return slice.data() >= body.data() && slice.data() + slice.size() <= body.data() + body.size();
}

TEST(ParseMultipartTest, FilePartAndPlainPart) {
  const std::string picture = std::string("\xFF\xD8\x00\xFF\xD9", 5) + "\r\n";
  const std::string body =
      PlainPart("x", "hello") +
      FilePart("form-data; name=\"pic\"; filename=\"a.jpg\"", "image/jpeg", picture) + kClosing;
  const MultipartForm form = ParseMultipart(body, kFormType);

  EXPECT_THAT(form.content.Entries(), ElementsAre("x=hello"));
  ASSERT_EQ(form.files.size(), 1u);
  const FileEntry& file = form.files[0];
  EXPECT_EQ(file.fieldName, "pic");
  EXPECT_EQ(file.fileName, "a.jpg");
  EXPECT_EQ(file.contentType, "image/jpeg");
  EXPECT_EQ(file.bytes, picture);  // only the CR LF before the boundary is removed
  EXPECT_TRUE(IsSliceOf(file.bytes, body));
}

TEST(ParseMultipartTest, FilesKeepTheirOrder) {
  const std::string body =
      FilePart("form-data; name=\"a\"; filename=\"1.jpg\"", "image/jpeg", "one") +
      FilePart("form-data; name=\"b\"; filename=\"2.jpg\"", "image/jpeg", "two") + kClosing;
  const MultipartForm form = ParseMultipart(body, kFormType);
  ASSERT_EQ(form.files.size(), 2u);
  EXPECT_EQ(form.files[0].bytes, "one");
  EXPECT_EQ(form.files[1].bytes, "two");
}

TEST(ParseMultipartTest, PartWithContentTypeAndNoFileNameIsIgnored) {
  const std::string body =
      FilePart("form-data; name=\"meta\"", "application/json", "{}") + PlainPart("x", "1") +
      kClosing;
  const MultipartForm form = ParseMultipart(body, kFormType);
  EXPECT_THAT(form.content.Entries(), ElementsAre("x=1"));
  EXPECT_THAT(form.files, IsEmpty());
}

TEST(ParseMultipartTest, EmptyFileNameMakesAContentField) {
  const std::string body =
      "--XyZ\r\nContent-Disposition: form-data; name=\"f\"; filename=\"\"\r\n\r\nv\r\n" +
      kClosing;
  const MultipartForm form = ParseMultipart(body, kFormType);
  EXPECT_THAT(form.content.Entries(), ElementsAre("f=v"));
  EXPECT_THAT(form.files, IsEmpty());
}

TEST(ParseMultipartTest, PlainContentIsReadInWindows1252) {
  const MultipartForm form = ParseMultipart(PlainPart("x", "caf\xE9 \x80") + kClosing, kFormType);
  EXPECT_THAT(form.content.Entries(), ElementsAre("x=caf\xC3\xA9 \xE2\x82\xAC"));
}

TEST(ParseMultipartTest, HeaderNamesIgnoreCase) {
  const std::string body =
      "--XyZ\r\ncontent-disposition: form-data; NAME=\"p\"; FileName=\"f.jpg\"\r\n"
      "CONTENT-TYPE: image/jpeg\r\n\r\ndata\r\n" + kClosing;
  const MultipartForm form = ParseMultipart(body, kFormType);
  ASSERT_EQ(form.files.size(), 1u);
  EXPECT_EQ(form.files[0].fieldName, "p");
  EXPECT_EQ(form.files[0].fileName, "f.jpg");
  EXPECT_EQ(form.files[0].contentType, "image/jpeg");
}

struct FileNameCase {
  const char* name;
  std::string disposition;
  std::string fieldName;
  std::string fileName;
};

class DispositionTest : public ::testing::TestWithParam<FileNameCase> {};

TEST_P(DispositionTest, ReadsNames) {
  const std::string body = FilePart(GetParam().disposition, "image/jpeg", "x") + kClosing;
  const MultipartForm form = ParseMultipart(body, kFormType);
  ASSERT_EQ(form.files.size(), 1u);
  EXPECT_EQ(form.files[0].fieldName, GetParam().fieldName);
  EXPECT_EQ(form.files[0].fileName, GetParam().fileName);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DispositionTest,
    ::testing::Values(
        FileNameCase{"PercentDecoded", "form-data; name=\"a%20b\"; filename=\"%C3%A9+1.jpg\"",
                     "a b", "\xC3\xA9 1.jpg"},
        FileNameCase{"Unquoted", "form-data; name=p; filename=p.jpg", "p", "p.jpg"},
        FileNameCase{"SemicolonInsideQuotes", "form-data; name=\"p\"; filename=\"a;b.jpg\"", "p",
                     "a;b.jpg"},
        FileNameCase{"MalformedEscapeKeptAsSent", "form-data; name=\"p\"; filename=\"100%.jpg\"",
                     "p", "100%.jpg"},
        FileNameCase{"RawUtf8Name", "form-data; name=\"p\"; filename=\"\xC3\xA9.jpg\"", "p",
                     "\xC3\xA9.jpg"},
        FileNameCase{"Windows1252Name", "form-data; name=\"p\"; filename=\"\xE9.jpg\"", "p",
                     "\xC3\xA9.jpg"},
        FileNameCase{"NoName", "form-data; filename=\"f.jpg\"", "", "f.jpg"}),
    [](const auto& info) { return info.param.name; });

struct BoundaryCase {
  const char* name;
  std::string contentType;
  bool parsed;
};

class BoundaryTest : public ::testing::TestWithParam<BoundaryCase> {};

TEST_P(BoundaryTest, FindsBoundary) {
  const MultipartForm form = ParseMultipart(PlainPart("x", "1") + kClosing, GetParam().contentType);
  EXPECT_EQ(form.content.Count(), GetParam().parsed ? 1u : 0u);
  EXPECT_THAT(form.files, IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BoundaryTest,
    ::testing::Values(BoundaryCase{"Plain", "multipart/form-data; boundary=XyZ", true},
                      BoundaryCase{"Quoted", "multipart/form-data; boundary=\"XyZ\"", true},
                      BoundaryCase{"NoBlank", "multipart/form-data;boundary=XyZ", true},
                      BoundaryCase{"BlanksAround", "multipart/form-data;  boundary = XyZ ;x=1", true},
                      BoundaryCase{"NameCaseIgnored", "multipart/form-data; Boundary=XyZ", true},
                      BoundaryCase{"NotFirstParameter", "multipart/form-data; a=b; boundary=XyZ",
                                   true},
                      BoundaryCase{"Missing", "multipart/form-data", false},
                      BoundaryCase{"Empty", "multipart/form-data; boundary=", false},
                      BoundaryCase{"EmptyQuoted", "multipart/form-data; boundary=\"\"", false},
                      BoundaryCase{"OtherBoundary", "multipart/form-data; boundary=Other", false},
                      BoundaryCase{"PrefixOfParameterName", "multipart/form-data; xboundary=XyZ",
                                   false}),
    [](const auto& info) { return info.param.name; });

TEST(ParseMultipartTest, BoundaryLengthIsLimited) {
  const std::string longest(kMaxBoundaryLength, 'b');
  const std::string body = "--" + longest + "\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\n1\r\n--" +
                           longest + "--\r\n";
  EXPECT_EQ(ParseMultipart(body, "multipart/form-data; boundary=" + longest).content.Count(), 1u);

  const std::string tooLong(kMaxBoundaryLength + 1, 'b');
  const std::string longBody = "--" + tooLong + "\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\n1\r\n--" +
                               tooLong + "--\r\n";
  EXPECT_EQ(ParseMultipart(longBody, "multipart/form-data; boundary=" + tooLong).content.Count(),
            0u);
}

struct MalformedCase {
  const char* name;
  std::string body;
  std::vector<std::string> content;
};

class MalformedBodyTest : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedBodyTest, KeepsOnlyCompleteParts) {
  const MultipartForm form = ParseMultipart(GetParam().body, kFormType);
  EXPECT_EQ(form.content.Entries(), GetParam().content);
  EXPECT_THAT(form.files, IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MalformedBodyTest,
    ::testing::Values(
        MalformedCase{"Empty", "", {}},
        MalformedCase{"BoundaryNeverAppears", "Content-Disposition: form-data; name=\"x\"\r\n\r\n1", {}},
        MalformedCase{"OnlyOneBoundary", "--XyZ", {}},
        MalformedCase{"NoClosingBoundary", PlainPart("a", "1") + PlainPart("b", "2"), {"a=1"}},
        MalformedCase{"BodyEndsInsideHeaders",
                      PlainPart("a", "1") + "--XyZ\r\nContent-Disposition: form-da", {"a=1"}},
        MalformedCase{"PartWithoutBlankLine",
                      "--XyZ\r\nContent-Disposition: form-data; name=\"x\"\r\n1\r\n" +
                          PlainPart("b", "2") + kClosing,
                      {"b=2"}},
        MalformedCase{"AdjacentBoundaries", "--XyZ--XyZ--XyZ--XyZ--", {}},
        MalformedCase{"PreambleIgnored", "preamble\r\n" + PlainPart("a", "1") + kClosing, {"a=1"}},
        MalformedCase{"NoCrLfAfterBoundary",
                      "--XyZContent-Disposition: form-data; name=\"a\"\r\n\r\n1" + kClosing,
                      {"a=1"}},
        MalformedCase{"NoHeaders", "--XyZ\r\n\r\n\r\nv\r\n" + kClosing, {"=v"}},
        MalformedCase{"HeaderLineWithoutColon",
                      "--XyZ\r\nnonsense\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n" +
                          kClosing,
                      {"a=1"}}),
    [](const auto& info) { return info.param.name; });

TEST(ParseMultipartTest, NumberOfPartsIsCapped) {
  std::string body;
  for (size_t i = 0; i < kMaxMultipartParts + 50; ++i) body += PlainPart("x", "1");
  body += kClosing;
  EXPECT_EQ(ParseMultipart(body, kFormType).content.Count(), kMaxMultipartParts);
}

TEST(ParseMultipartTest, ManyTinyPartsAreHandled) {
  std::string body;
  for (int i = 0; i < 200000; ++i) body += "--XyZ";
  EXPECT_EQ(ParseMultipart(body, kFormType).content.Count(), 0u);
}

struct ParameterCase {
  const char* name;
  std::string header;
  std::string parameter;
  std::string value;
};

class HeaderParameterTest : public ::testing::TestWithParam<ParameterCase> {};

TEST_P(HeaderParameterTest, ReadsValue) {
  EXPECT_EQ(HeaderParameter(GetParam().header, GetParam().parameter), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HeaderParameterTest,
    ::testing::Values(
        ParameterCase{"Quoted", "form-data; name=\"x\"", "name", "x"},
        ParameterCase{"FileNameIsNotName", "form-data; filename=\"f\"", "name", ""},
        ParameterCase{"FirstOfTwo", "a; name=1; name=2", "name", "1"},
        ParameterCase{"UnclosedQuote", "a; name=\"x;y", "name", "x;y"},
        ParameterCase{"FirstEqualsSplits", "a; name=x=y", "name", "x=y"},
        ParameterCase{"TabsAreBlanks", "a;\tname\t=\tx\t", "name", "x"},
        ParameterCase{"Absent", "form-data", "name", ""},
        ParameterCase{"EmptyHeader", "", "name", ""}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tallyhand
