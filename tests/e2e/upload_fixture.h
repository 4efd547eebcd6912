// Picture uploads over real HTTP: a site whose host executable is a private copy (so the
// pictures folder beside it belongs to one test), multipart requests, sign-in, and the
// expected answers and stored rows.
#pragma once

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "e2e/client_exchange.h"
#include "e2e/e2e_site.h"
#include "support/http_client.h"
#include "support/jpeg_samples.h"

namespace tallyhand::e2e {

inline constexpr std::string_view kBeginMarker = "-------begin of response message----------";
inline constexpr std::string_view kEndMarker = "-------endof response message----------";
inline constexpr std::string_view kBoundary = "----TallyhandUploadBoundary7MA4YWxkTrZu0gW";

using Query = std::vector<std::pair<std::string, std::string>>;

// One part of a multipart body: a file part when fileName is set (sent as written, so
// a test can send it percent-encoded or raw), a plain field otherwise.
struct Part {
  std::string name = "file";
  std::string fileName;
  std::string contentType = "image/jpeg";
  std::string bytes;
};

inline std::string QueryString(const Query& query) {
  std::string text;
  for (const auto& [name, value] : query) {
    if (!text.empty()) text += '&';
    text += name + "=" + PercentEncode(value);
  }
  return text;
}

inline std::string MultipartBody(const std::vector<Part>& parts) {
  std::string body;
  for (const Part& part : parts) {
    body += "--" + std::string(kBoundary) + "\r\nContent-Disposition: form-data; name=\"" +
            part.name + "\"";
    if (!part.fileName.empty()) {
      body += "; filename=\"" + part.fileName + "\"\r\nContent-Type: " + part.contentType;
    }
    body += "\r\n\r\n" + part.bytes + "\r\n";
  }
  return body + "--" + std::string(kBoundary) + "--\r\n";
}

inline std::string UploadTarget(const Query& query) {
  return "/tcclientData2.app" + (query.empty() ? std::string() : "?" + QueryString(query));
}

inline std::string PostRequest(std::string_view target, std::string_view contentType,
                               std::string_view body) {
  return "POST " + std::string(target) + " HTTP/1.1\r\nHost: localhost\r\nContent-Type: " +
         std::string(contentType) + "\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + std::string(body);
}

inline std::string UploadRequest(const Query& query, const std::vector<Part>& parts) {
  return PostRequest(UploadTarget(query),
                     "multipart/form-data; boundary=" + std::string(kBoundary),
                     MultipartBody(parts));
}

inline Part JpegPart(std::string fileName, std::string bytes) {
  Part part;
  part.fileName = std::move(fileName);
  part.bytes = std::move(bytes);
  return part;
}

// The whole HTTP answer of an action: status 200, text/html, the body as given.
inline std::string ExpectedResponse(std::string_view body) {
  return "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

inline std::string ErrorBody(std::string_view rid, std::string_view message) {
  return Framed(R"({"error":"1","RID":")" + std::string(rid) + R"(","response":")" +
                std::string(message) + R"(","eofline":"eof"})");
}

// The upload procedure's one row, as the answer carries it.
inline std::string RegisteredBody(std::string_view rid, Driver driver, int pictureId,
                                  std::string_view path) {
  const std::string_view message = driver == Driver::SQLite ? "Picture saved" : "OK";
  return Framed(R"({"error":"0","RID":")" + std::string(rid) +
                R"(","response":[{"ResultStatus":"0","ResultCode":"0","ResultMessage":")" +
                std::string(message) + R"(","PictureID":")" + std::to_string(pictureId) +
                R"(","FileName":")" + std::string(path) + R"("}],"eofline":"eof"})");
}

// The text between the markers parses as one JSON object (or is empty).
inline bool EnvelopeIsValidJson(std::string_view body) {
  if (body.size() < kBeginMarker.size() + kEndMarker.size()) return false;
  const std::string envelope(body.substr(
      kBeginMarker.size(), body.size() - kBeginMarker.size() - kEndMarker.size()));
  if (envelope.empty()) return true;
  rapidjson::Document document;
  document.Parse(envelope.c_str(), envelope.size());
  return !document.HasParseError() && document.IsObject();
}

// A site served by a copy of tallyhand-server inside the site's scratch folder, so that
// the pictures folder beside the executable is this test's own.
class UploadSite {
 public:
  explicit UploadSite(SiteOptions options) : site_(options) {
    executable_ = site_.Root() + "tallyhand-server";
    std::filesystem::copy_file(testsupport::ServerExecutablePath(), executable_);
  }

  E2eSite& Site() { return site_; }
  const E2eSite& Site() const { return site_; }
  Build GetBuild() const { return site_.Options().build; }
  Driver GetDriver() const { return site_.Options().driver; }
  uint16_t Start(std::vector<std::string> extraArgs = {}) {
    return port_ = site_.Start(std::move(extraArgs), {}, executable_).Port();
  }
  uint16_t Port() const { return port_; }

  // Stops the server; it must end cleanly, without a sanitizer's report.
  void StopAndExpectCleanExit() {
    EXPECT_EQ(site_.Stop(), 0);
    const std::string errors = site_.Server().StderrText();
    for (const char* mark : {"Sanitizer", "runtime error:"}) {
      EXPECT_EQ(errors.find(mark), std::string::npos) << "server reported:\n" << errors;
    }
  }

  std::string PicturesFolder() const { return site_.Root() + "mobiletcimages/"; }
  std::string PicturePath(std::string_view name) const {
    return PicturesFolder() + std::string(name);
  }
  // The bytes of a saved picture; nullopt when there is no such file.
  std::optional<std::string> Picture(std::string_view name) const {
    std::ifstream in(PicturePath(name), std::ios::binary);
    if (!in) return std::nullopt;
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }
  // Every entry of the pictures folder, sorted; empty when the folder does not exist.
  std::vector<std::string> PictureFolderEntries() const {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(PicturesFolder(), error)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::optional<testsupport::HttpResponse> Send(const std::string& request) {
    return testsupport::HttpExchange(port_, request, std::chrono::seconds(30));
  }

  // Signs jsmith in over HTTP and returns the session key ("" when none came back).
  std::string SignIn() {
    const std::string body = PercentEncode(
        "{`AuthUser`:`jsmith`,`AuthPass`:`secret`,`AuthComp`:`Acme Builders`,"
        "`ReqMethod`:`checkLogin`,`RID`:`1`}");
    const auto response =
        Send(PostRequest("/tcclientRequest.app", "application/x-www-form-urlencoded", body));
    if (!response) return "";
    const std::string member = R"("key":")";
    const auto at = response->body.find(member);
    if (at == std::string::npos) return "";
    const auto end = response->body.find('"', at + member.size());
    return response->body.substr(at + member.size(), end - at - member.size());
  }

  int PictureRows() const { return std::stoi(site_.Scalar("SELECT COUNT(*) FROM employee_pictures")); }

  // Every column that the upload procedure stored for one picture, joined with "|";
  // NULL reads as <null>.
  std::string StoredPicture(int pictureId) const {
    static constexpr std::string_view kColumns[] = {
        "UserID", "PMID", "EmployeeNo", "FileName", "ClockType", "Lat",
        "Lon",    "ClockDate", "OClockDate", "TsKey", "DevId"};
    std::string select;
    for (const std::string_view column : kColumns) {
      if (!select.empty()) select += " || '|' || ";
      select += "COALESCE(CAST(" + std::string(column) + " AS TEXT), '<null>')";
    }
    return site_.Scalar("SELECT " + select + " FROM employee_pictures WHERE PictureID = " +
                        std::to_string(pictureId));
  }

  // The log messages written since `from` messages were there.
  std::vector<std::string> LogMessagesSince(size_t from) const {
    std::vector<std::string> messages = site_.LogMessages();
    messages.erase(messages.begin(),
                   messages.begin() + static_cast<std::ptrdiff_t>(std::min(from, messages.size())));
    return messages;
  }

 private:
  E2eSite site_;
  std::string executable_;
  uint16_t port_ = 0;
};

inline std::string BuildName(Build build) { return build == Build::Az ? "Az" : "Standard"; }

inline std::string ExpectedInvalidRequest(Build build) {
  return build == Build::Az ? "Invalid request!" : "invalid request!";
}

// The clock event of a typical clock-in, with jsmith's credentials.
inline Query ClockInQuery(std::string rid) {
  return {{"AuthUser", "jsmith"},       {"AuthPass", "secret"},
          {"AuthComp", "Acme Builders"}, {"lat", "40.25"},
          {"lon", "-74.5"},              {"clock_type", "1"},
          {"clock_date", "02/13/2020"},  {"oclock_date", "02/13/2020 07:00:00"},
          {"pmid", "1"},                 {"e_no", "1007"},
          {"tskey", "ts-1"},             {"devId", "dev-1"},
          {"RID", std::move(rid)}};
}

// The value of a query field; "" when absent.
inline std::string ValueOf(const Query& query, std::string_view name) {
  for (const auto& [field, value] : query) {
    if (field == name) return value;
  }
  return "";
}

// The query with one field set (added when missing) or removed (value nullopt).
inline Query With(Query query, const std::string& name, std::optional<std::string> value) {
  for (auto it = query.begin(); it != query.end(); ++it) {
    if (it->first == name) {
      if (value) {
        it->second = *value;
      } else {
        query.erase(it);
      }
      return query;
    }
  }
  if (value) query.emplace_back(name, *value);
  return query;
}

}  // namespace tallyhand::e2e
