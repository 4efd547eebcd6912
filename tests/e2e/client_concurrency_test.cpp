// Twenty-five app clients at once against one server: signing in, calling procedures
// with their keys and with credentials, writing, and failing to sign in, for a while
// (TALLYHAND_E2E_CONCURRENT_SECONDS, 60 by default). Every answer is checked, every
// write must land, and the event log must show every request and no failure.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "e2e/client_exchange.h"
#include "e2e/e2e_site.h"

namespace tallyhand::e2e {
namespace {

using testsupport::HttpConnection;
using testsupport::HttpResponse;
using namespace std::chrono_literals;

constexpr int kClients = 25;
constexpr std::string_view kQuestion = "900";
constexpr std::string_view kListReports =
    "EXECUTE PROCEDURE nvm_DailyReportRecord_List('_userID_', '', 0)";
constexpr std::string_view kListCompanies = "EXECUTE PROCEDURE nvm_GetMobileCompanyNames_Lookup()";

std::chrono::seconds RunLength() {
  const char* text = std::getenv("TALLYHAND_E2E_CONCURRENT_SECONDS");
  const long seconds = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
  return std::chrono::seconds(seconds > 0 ? seconds : 60);
}

struct Account {
  std::string user, password, company;
  std::string reports;  // the rows of kListReports for this user, taken before the run
};

std::string Credentials(const Account& a) {
  return R"("AuthUser":")" + a.user + R"(","AuthPass":")" + a.password + R"(","AuthComp":")" +
         a.company + R"(")";
}

std::string Member(std::string_view name, std::string_view value) {
  return "\"" + std::string(name) + R"(":")" + std::string(value) + "\"";
}

// The answer of a write with its generated id blotted out.
std::string WithoutAnswerId(std::string_view body) {
  constexpr std::string_view kId = R"("AnswerID":")";
  std::string out(body);
  const size_t at = out.find(kId);
  if (at == std::string::npos) return out;
  size_t end = at + kId.size();
  while (end < out.size() && out[end] >= '0' && out[end] <= '9') ++end;
  if (end == at + kId.size()) return out;
  return out.replace(at + kId.size(), end - at - kId.size(), "#");
}

// One request on the client's kept-alive connection; reconnects after a failure.
class AppClient {
 public:
  explicit AppClient(uint16_t port) : port_(port) {}

  std::optional<HttpResponse> Send(const std::string& json) {
    if (!connection_ || !connection_->Connected()) {
      connection_ = std::make_unique<HttpConnection>(port_);
    }
    std::optional<HttpResponse> response;
    if (connection_->Send(HttpPost(kClientRequestPath, AppForm(json)))) {
      response = connection_->ReadResponse(30s);
    }
    if (!response) connection_.reset();
    ++requests_;
    return response;
  }
  size_t Requests() const { return requests_; }

 private:
  uint16_t port_;
  std::unique_ptr<HttpConnection> connection_;
  size_t requests_ = 0;
};

class Failures {
 public:
  void Add(std::string what) {
    std::lock_guard lock(mutex_);
    ++count_;
    if (kept_.size() < 10) kept_.push_back(std::move(what));
  }
  size_t Count() const {
    std::lock_guard lock(mutex_);
    return count_;
  }
  std::string Text() const {
    std::lock_guard lock(mutex_);
    std::string text;
    for (const std::string& what : kept_) text += what + "\n";
    return text;
  }

 private:
  mutable std::mutex mutex_;
  size_t count_ = 0;
  std::vector<std::string> kept_;
};

// Status line and exactly the two headers of every answer.
bool HasAnswerHead(const HttpResponse& response) {
  return response.raw == "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                             std::to_string(response.body.size()) + "\r\n\r\n" + response.body;
}

struct Expected {
  std::vector<Account> accounts;
  std::string companies;    // the rows of kListCompanies
  std::string writeAnswer;  // a write's envelope with RID "W" and no id
};

// One client's run: sign in now and then, use the key alone, use credentials, write,
// fail to sign in; every answer compared with what it must be.
void RunClient(int client, uint16_t port, const Expected& expected,
               std::chrono::steady_clock::time_point until, Failures& failures,
               std::atomic<size_t>& requests, std::atomic<size_t>& writes) {
  AppClient app(port);
  const Account& account =
      expected.accounts[static_cast<size_t>(client) % expected.accounts.size()];
  std::string key;
  size_t clientWrites = 0;
  const auto check = [&](const std::string& json, const std::string& rid, const std::string& body,
                         bool (*matches)(std::string_view, std::string_view)) {
    const std::optional<HttpResponse> response = app.Send(json);
    if (!response) {
      failures.Add(rid + ": no answer");
      return std::optional<std::string>();
    }
    if (!HasAnswerHead(*response) || !matches(response->body, body)) {
      failures.Add(rid + ": " + response->raw + "\n  expected: " + body);
      return std::optional<std::string>();
    }
    return std::optional<std::string>(response->body);
  };
  const auto same = +[](std::string_view a, std::string_view b) { return a == b; };

  for (int round = 0; std::chrono::steady_clock::now() < until; ++round) {
    const std::string rid = std::to_string(client) + "-" + std::to_string(round);
    if (round % 8 == 0) {
      const std::string signIn = "{" + Member("RID", rid + "s") + "," + Credentials(account) +
                                 R"(,"ReqMethod":"checkLogin"})";
      const std::optional<HttpResponse> response = app.Send(signIn);
      const std::optional<std::string> newKey = response && HasAnswerHead(*response)
                                                    ? KeyAnswered(response->body, rid + "s")
                                                    : std::nullopt;
      if (!newKey) {
        failures.Add(rid + "s: sign-in answered " + (response ? response->raw : "nothing"));
        continue;
      }
      key = *newKey;
    }
    // The key alone.
    check("{" + Member("RID", rid + "k") + "," + Member("key", key) + "," +
              Member("ReqMethod", kListReports) + "}",
          rid + "k", Framed(RowsEnvelope(rid + "k", account.reports)), same);
    // Credentials again, no key.
    check("{" + Member("RID", rid + "c") + "," + Credentials(account) + "," +
              Member("ReqMethod", kListCompanies) + "}",
          rid + "c", Framed(RowsEnvelope(rid + "c", expected.companies)), same);
    // A write with the key; each answer text is unique so that the table can be counted.
    const std::string write = "EXECUTE PROCEDURE nvm_Answer_Write(_userID_, " +
                              std::string(kQuestion) + ", 'client " + rid + "')";
    std::string writeAnswer = expected.writeAnswer;
    writeAnswer.replace(writeAnswer.find(R"("RID":"W")"), 9, R"("RID":")" + rid + R"(w")");
    if (check(
            "{" + Member("RID", rid + "w") + "," + Member("key", key) + "," +
                Member("ReqMethod", write) + "}",
            rid + "w", writeAnswer, +[](std::string_view body, std::string_view want) {
              return WithoutAnswerId(body) == want;
            })) {
      ++clientWrites;
    }
    if (round % 5 == 2) {
      Account wrong = account;
      wrong.password += "x";
      check("{" + Member("RID", rid + "x") + "," + Credentials(wrong) +
                R"(,"ReqMethod":"checkLogin"})",
            rid + "x", Framed(ErrorEnvelope(rid + "x", "Invalid Login !")), same);
    }
  }
  requests += app.Requests();
  writes += clientWrites;
}

// One request before the run, for the answers that the run must repeat.
std::string AnswerOf(uint16_t port, const std::string& json) {
  AppClient app(port);
  const std::optional<HttpResponse> response = app.Send(json);
  return response ? response->body : std::string();
}

std::string RowsOf(std::string_view body, std::string_view rid) {
  const std::string head = std::string(kResponseBegin) + R"({"error":"0","RID":")" +
                           std::string(rid) + R"(","response":)";
  const std::string tail = R"(,"eofline":"eof"})" + std::string(kResponseEnd);
  if (!body.starts_with(head) || !body.ends_with(tail) || body.size() < head.size() + tail.size()) {
    return {};
  }
  return std::string(body.substr(head.size(), body.size() - head.size() - tail.size()));
}

class ClientConcurrency : public ::testing::TestWithParam<Driver> {};

TEST_P(ClientConcurrency, TwentyFiveClientsSignInAndCallProcedures) {
  E2eSite site({.driver = GetParam()});
  const uint16_t port = site.Start().Port();

  Expected expected;
  expected.accounts = {{"jsmith", "secret", "Acme Builders", {}},
                       {"kwhite", "pw", "Northwind Paving", {}},
                       {"admin", "admin", "Acme Builders", {}}};
  for (Account& account : expected.accounts) {
    account.reports = RowsOf(AnswerOf(port, "{" + Member("RID", "R") + "," + Credentials(account) +
                                                "," + Member("ReqMethod", kListReports) + "}"),
                             "R");
    ASSERT_TRUE(account.reports.starts_with("[")) << account.user;
  }
  EXPECT_NE(expected.accounts[1].reports, "[]");
  const Account& first = expected.accounts[0];
  expected.companies = RowsOf(AnswerOf(port, "{" + Member("RID", "C") + "," + Credentials(first) +
                                                 "," + Member("ReqMethod", kListCompanies) + "}"),
                              "C");
  ASSERT_TRUE(expected.companies.starts_with("[{")) << expected.companies;
  expected.writeAnswer = WithoutAnswerId(
      AnswerOf(port, "{" + Member("RID", "W") + "," + Credentials(first) + "," +
                         Member("ReqMethod", "EXECUTE PROCEDURE nvm_Answer_Write(_userID_, " +
                                                 std::string(kQuestion) + ", 'before the run')") +
                         "}"));
  ASSERT_NE(expected.writeAnswer.find(R"({"error":"0","RID":"W","response":[{)"), std::string::npos)
      << expected.writeAnswer;
  ASSERT_NE(expected.writeAnswer.find(R"("AnswerID":"#")"), std::string::npos)
      << expected.writeAnswer;
  const size_t requestsBefore = site.CountLogLines("Request dispatched to Client Request Action");

  Failures failures;
  std::atomic<size_t> requests{0};
  std::atomic<size_t> writes{0};
  const auto until = std::chrono::steady_clock::now() + RunLength();
  std::vector<std::thread> clients;
  for (int client = 0; client < kClients; ++client) {
    clients.emplace_back(RunClient, client, port, std::cref(expected), until, std::ref(failures),
                         std::ref(requests), std::ref(writes));
  }
  for (std::thread& client : clients) client.join();

  RecordProperty("requests", std::to_string(requests.load()));
  std::printf("%zu requests, %zu writes\n", requests.load(), writes.load());
  EXPECT_EQ(failures.Count(), 0u) << failures.Text();
  EXPECT_GT(writes.load(), 0u);
  EXPECT_EQ(site.Scalar("SELECT COUNT(*) FROM answers WHERE QuestionID = " +
                        std::string(kQuestion) + " AND Answer LIKE 'client %'"),
            std::to_string(writes.load()));
  EXPECT_EQ(site.Scalar("SELECT COUNT(DISTINCT Answer) FROM answers WHERE QuestionID = " +
                        std::string(kQuestion) + " AND Answer LIKE 'client %'"),
            std::to_string(writes.load()));

  // Read before the server stops: unloading trims the log.
  size_t dispatched = 0, closed = 0, finished = 0, unexpected = 0;
  std::string firstUnexpected;
  site.ForEachLogMessage([&](std::string_view line) {
    dispatched += line == "Request dispatched to Client Request Action";
    finished += line == "Finish request on Client Request Action";
    closed += line.starts_with("Result processRequest: ");
    if (line.starts_with("ExecuteQuery: ") || line.starts_with("WebModuleException: ") ||
        line.starts_with("Error ")) {
      if (unexpected++ == 0) firstUnexpected = line;
    }
  });
  EXPECT_EQ(unexpected, 0u) << firstUnexpected;
  EXPECT_EQ(dispatched - requestsBefore, requests.load());
  EXPECT_EQ(finished, dispatched);
  EXPECT_EQ(closed, dispatched);

  ExpectCleanStop(site);
}

INSTANTIATE_TEST_SUITE_P(ClientRequest, ClientConcurrency,
                         ::testing::Values(Driver::SQLite, Driver::PostgreSQL, Driver::ODBC),
                         [](const auto& info) { return std::string(DriverName(info.param)); });

}  // namespace
}  // namespace tallyhand::e2e
