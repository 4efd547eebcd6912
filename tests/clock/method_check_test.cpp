#include "clock/method_check.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "clock/daily_reports.h"
#include "clock/envelope.h"
#include "clock/key_answer.h"
#include "clock/session_keys.h"
#include "clock/site_fixture.h"
#include "platform/datetime.h"
#include "platform/exception.h"

namespace tallyhand {
namespace {

using testing::Backend;
using testing::Site;

// Every case works on a user of its own, so one site serves a whole suite.
Site& SiteFor(Backend backend) { return testing::SharedSite(backend); }

RequestContext ContextFor(Site& site, std::int32_t userId, Build build) {
  RequestContext ctx;
  ctx.dm = &site.Dm();
  ctx.requestText = "{}";
  ctx.rid = "r7";
  ctx.userId = userId;
  ctx.companyId = 3;
  ctx.build = build;
  return ctx;
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

constexpr const char* kAzTimeCard = "nvm_az_DailyReportTimeCardRecord_Write";
constexpr const char* kAzTimeCardWithCount = "nvm_az_DailyReportTimeCardRecord_WithCount_Write";
constexpr const char* kStandardTimeCard = "nvm_DailyReportTimeCardRecord_Write";

// A time-card write of 13 arguments: the daily report id is item 2, the job item 11.
std::string TimeCard(const std::string& name, const std::string& id, const std::string& date,
                     const std::string& job) {
  return "EXECUTE PROCEDURE " + name + "({U},0," + id + ",'" + date +
         "','7','08:00','16:00',8,'C1','E1','N','" + job + "','OK');";
}
std::string ReportWrite(const std::string& job, const std::string& date) {
  return "EXECUTE PROCEDURE nvm_DailyReportRecord_Write({U},0,'" + job + "','" + date +
         "','','');";
}

enum class Outcome { Unchanged, Rewritten, KeyAnswer, InvalidId };

struct Report {
  std::optional<std::string> job;
  std::optional<std::string> isoWorkDate;
};

struct SpecialCase {
  const char* name;
  std::vector<Report> reports;
  std::string method;  // {U}: the user; {P0}, {P1}: the reports made before
  Outcome outcome;
  std::string rewritten = {};  // for Rewritten; {NEW}: the report the check created
  Build build = Build::Az;
  int reportsCreated = 0;
  // A time of day in a work date needs a column that keeps it (PostgreSQL's date does not).
  bool needsTimeOfDay = false;
};

void PrintTo(const SpecialCase& c, std::ostream* out) { *out << c.name; }

const Report kJob1Feb13{"JOB 1", "2020-02-13"};

std::vector<SpecialCase> Cases() {
  return {
      {"NoSpecialName", {kJob1Feb13}, "EXECUTE PROCEDURE nvm_Job_List('{U}');", Outcome::Unchanged},
      {"AnswerWriteInCapitals", {kJob1Feb13},
       "EXECUTE PROCEDURE NVM_ANSWER_WRITE({U},0,'JOB 1','02/13/2020','','');", Outcome::Unchanged},
      {"AnswerWriteBesideReportWrite", {kJob1Feb13},
       "EXECUTE PROCEDURE nvm_DailyReportRecord_Write({U},0,'JOB 1','02/13/2020','nvm_Answer_Write','');",
       Outcome::Unchanged},
      {"ReportWriteForReportedDay", {kJob1Feb13}, ReportWrite("JOB 1", "02/13/2020"),
       Outcome::KeyAnswer},
      {"ReportWriteNameInOtherCase", {kJob1Feb13},
       "EXECUTE PROCEDURE NVM_dailyreportrecord_WRITE({U},0,'JOB 1','2/13/2020','','');",
       Outcome::KeyAnswer},
      {"ReportWriteWithFiveItems", {kJob1Feb13},
       "EXECUTE PROCEDURE nvm_DailyReportRecord_Write({U},0,'JOB 1','02/13/2020','');",
       Outcome::Unchanged},
      {"ReportWriteUnparsableDate", {kJob1Feb13}, ReportWrite("JOB 1", "2020-02-13"),
       Outcome::Unchanged},
      {"ReportWriteForDayWithoutReport", {kJob1Feb13}, ReportWrite("JOB 1", "02/14/2020"),
       Outcome::Unchanged},
      {"NullJobsNeverMatch", {{std::nullopt, "2020-02-13"}}, ReportWrite("JOB 1", "02/13/2020"),
       Outcome::Unchanged},
      {"JobsComparedTrimmed", {{"JOB 1 ", "2020-02-13"}}, ReportWrite(" JOB 1", "02/13/2020"),
       Outcome::KeyAnswer},
      {"JobsComparedWithLetterCase", {kJob1Feb13}, ReportWrite("job 1", "02/13/2020"),
       Outcome::Unchanged},
      {"EveningBeforeRoundsToTheDay", {{"JOB 1", "2020-02-12 18:00:00"}},
       ReportWrite("JOB 1", "02/13/2020"), Outcome::KeyAnswer, {}, Build::Az, 0, true},
      {"MorningOfTheDay", {{"JOB 1", "2020-02-13 11:00:00"}}, ReportWrite("JOB 1", "02/13/2020"),
       Outcome::KeyAnswer, {}, Build::Az, 0, true},
      {"MorningBeforeIsAnotherDay", {{"JOB 1", "2020-02-12 11:00:00"}},
       ReportWrite("JOB 1", "02/13/2020"), Outcome::Unchanged},
      // The walk fails on the missing date before it reaches the matching row.
      {"NullWorkDateOnMatchingJob", {{"JOB 1", std::nullopt}, kJob1Feb13},
       ReportWrite("JOB 1", "02/13/2020"), Outcome::Unchanged},
      {"NullWorkDateOnOtherJob", {{"JOB 2", std::nullopt}, kJob1Feb13},
       ReportWrite("JOB 1", "02/13/2020"), Outcome::KeyAnswer},
      {"ReportWriteUndefinedJob", {{"\"undefined\"", "2020-02-13"}},
       ReportWrite("\"undefined\"", "02/13/2020"), Outcome::Unchanged},

      {"TimeCardRightId", {kJob1Feb13}, TimeCard(kAzTimeCard, "{P0}", "02/13/2020", "JOB 1"),
       Outcome::Unchanged},
      {"TimeCardStaleId", {kJob1Feb13}, TimeCard(kAzTimeCard, "999999", "02/13/2020", "JOB 1"),
       Outcome::Rewritten, TimeCard(kAzTimeCard, "{P0}", "02/13/2020", "JOB 1")},
      {"TimeCardTwoMatchesLastWins", {kJob1Feb13, kJob1Feb13},
       TimeCard(kAzTimeCard, "{P0}", "02/13/2020", "JOB 1"), Outcome::Rewritten,
       TimeCard(kAzTimeCard, "{P1}", "02/13/2020", "JOB 1")},
      {"TimeCardTrimmedJob", {{" JOB 1", "2020-02-13"}},
       TimeCard(kAzTimeCard, "999999", "02/13/2020", "JOB 1 "), Outcome::Rewritten,
       TimeCard(kAzTimeCard, "{P0}", "02/13/2020", "JOB 1 ")},
      {"TimeCardIdBetweenApostrophes", {kJob1Feb13},
       TimeCard(kAzTimeCard, "'999999'", "02/13/2020", "JOB 1"), Outcome::Unchanged},
      {"EarlierArgumentEqualToSentId", {kJob1Feb13},
       "EXECUTE PROCEDURE nvm_az_DailyReportTimeCardRecord_Write({U},999999,999999,'02/13/2020',"
       "'7','08:00','16:00',8,'C1','E1','N','JOB 1','OK');",
       Outcome::Rewritten,
       "EXECUTE PROCEDURE nvm_az_DailyReportTimeCardRecord_Write({U},{P0},999999,'02/13/2020',"
       "'7','08:00','16:00',8,'C1','E1','N','JOB 1','OK');"},
      {"TimeCardWithElevenItems", {kJob1Feb13},
       "EXECUTE PROCEDURE nvm_az_DailyReportTimeCardRecord_Write({U},0,999999,'02/13/2020',"
       "'7','08:00','16:00',8,'C1','E1','JOB 1');",
       Outcome::Unchanged},
      {"TimeCardUnparsableDate", {kJob1Feb13}, TimeCard(kAzTimeCard, "999999", "13/02/2020", "JOB 1"),
       Outcome::Unchanged},
      {"MissingReportTwoLetterJobIsCreated", {}, TimeCard(kAzTimeCard, "-1", "02/13/2020", "AB"),
       Outcome::Rewritten, TimeCard(kAzTimeCard, "{NEW}", "02/13/2020", "AB"), Build::Az, 1},
      {"MissingReportOtherDayIsCreated", {kJob1Feb13},
       TimeCard(kAzTimeCard, "{P0}", "02/14/2020", "JOB 1"), Outcome::Rewritten,
       TimeCard(kAzTimeCard, "{NEW}", "02/14/2020", "JOB 1"), Build::Az, 1},
      {"MissingReportOneLetterJob", {}, TimeCard(kAzTimeCard, "-1", "02/13/2020", "X"),
       Outcome::InvalidId},
      {"MissingReportBlankPaddedOneLetterJob", {}, TimeCard(kAzTimeCard, "-1", "02/13/2020", " X "),
       Outcome::InvalidId},
      {"MissingReportNullJobRowsIgnored", {{std::nullopt, "2020-02-13"}},
       TimeCard(kAzTimeCard, "{P0}", "02/13/2020", "X"), Outcome::InvalidId},
      // No report is ever made for the undefined job, nor one filed under it reused.
      {"UndefinedJob", {{"\"undefined\"", "2020-02-13"}},
       TimeCard(kAzTimeCard, "{P0}", "02/13/2020", "\"undefined\""), Outcome::InvalidId},
      // The write procedure refuses a job the company does not have: the check gives up.
      {"FailingReportWriteRunsUnchanged", {}, TimeCard(kAzTimeCard, "-1", "02/13/2020", "ZZ"),
       Outcome::Unchanged},

      {"AzWithCountName", {kJob1Feb13},
       "EXECUTE PROCEDURE nvm_az_DailyReportTimeCardRecord_WithCount_Write({U},0,999999,"
       "'02/13/2020','7','08:00','16:00',8,'C1','E1','N','JOB 1','OK',2);",
       Outcome::Rewritten,
       "EXECUTE PROCEDURE nvm_az_DailyReportTimeCardRecord_WithCount_Write({U},0,{P0},"
       "'02/13/2020','7','08:00','16:00',8,'C1','E1','N','JOB 1','OK',2);"},
      {"StandardNameInStandardBuild", {kJob1Feb13},
       TimeCard(kStandardTimeCard, "999999", "02/13/2020", "JOB 1"), Outcome::Rewritten,
       TimeCard(kStandardTimeCard, "{P0}", "02/13/2020", "JOB 1"), Build::Standard},
      {"StandardNameInOtherCase", {kJob1Feb13},
       TimeCard("NVM_DailyReportTimeCardRecord_WRITE", "999999", "02/13/2020", "JOB 1"),
       Outcome::Rewritten,
       TimeCard("NVM_DailyReportTimeCardRecord_WRITE", "{P0}", "02/13/2020", "JOB 1"),
       Build::Standard},
      {"StandardNameNeedsItsParenthesis", {kJob1Feb13},
       TimeCard(kStandardTimeCard + std::string(" "), "999999", "02/13/2020", "JOB 1"),
       Outcome::Unchanged, {}, Build::Standard},
      {"AzNameNotSpecialInStandardBuild", {kJob1Feb13},
       TimeCard(kAzTimeCard, "999999", "02/13/2020", "JOB 1"), Outcome::Unchanged, {},
       Build::Standard},
      {"AzWithCountNameNotSpecialInStandardBuild", {kJob1Feb13},
       TimeCard(kAzTimeCardWithCount, "999999", "02/13/2020", "JOB 1"), Outcome::Unchanged, {},
       Build::Standard},
      {"StandardNameNotSpecialInAzBuild", {kJob1Feb13},
       TimeCard(kStandardTimeCard, "999999", "02/13/2020", "JOB 1"), Outcome::Unchanged},
      {"ReportWriteSpecialInStandardBuild", {kJob1Feb13}, ReportWrite("JOB 1", "02/13/2020"),
       Outcome::KeyAnswer, {}, Build::Standard},
  };
}

class CheckSpecialMethodCases
    : public ::testing::TestWithParam<std::tuple<Backend, SpecialCase>> {
 protected:
  static void TearDownTestSuite() { testing::ReleaseSharedSite(); }
};

TEST_P(CheckSpecialMethodCases, AnswersOrRewrites) {
  const auto& [backend, c] = GetParam();
  SKIP_WITHOUT_BACKEND(backend);
  if (backend != Backend::Sqlite && c.needsTimeOfDay)
    GTEST_SKIP() << "work dates hold no time of day in this backend";
  Site& site = SiteFor(backend);
  const std::int32_t user = site.AddUser();
  std::vector<std::string> ids;
  for (const Report& report : c.reports)
    ids.push_back(site.AddDailyReport(user, report.job, report.isoWorkDate));
  auto fill = [&](std::string text) {
    text = ReplaceAll(std::move(text), "{U}", std::to_string(user));
    for (std::size_t i = 0; i < ids.size(); ++i)
      text = ReplaceAll(std::move(text), "{P" + std::to_string(i) + "}", ids[i]);
    return text;
  };
  const std::string method = fill(c.method);

  const SpecialMethodResult result =
      CheckSpecialMethod(method, ContextFor(site, user, c.build));

  EXPECT_EQ(site.CountDailyReports(user), static_cast<int>(c.reports.size()) + c.reportsCreated);
  switch (c.outcome) {
    case Outcome::Unchanged:
      EXPECT_FALSE(result.handled);
      EXPECT_EQ(result.text, method);
      break;
    case Outcome::Rewritten: {
      EXPECT_FALSE(result.handled);
      std::string expected = fill(c.rewritten);
      if (c.reportsCreated > 0) {
        expected = ReplaceAll(std::move(expected), "{NEW}",
                              site.QueryText("SELECT MAX(PMID) AS P FROM daily_reports "
                                             "WHERE UserID = :u",
                                             {Value(user)}));
      }
      EXPECT_EQ(result.text, expected);
      break;
    }
    case Outcome::KeyAnswer: {
      EXPECT_TRUE(result.handled);
      const std::optional<std::string> key = testing::KeyOfAnswer(result.text, "r7");
      ASSERT_TRUE(key) << result.text;
      std::int32_t uid = -1;
      std::int32_t cid = -1;
      ASSERT_TRUE(CheckKey(*key, uid, cid));
      EXPECT_EQ(uid, user);
      EXPECT_EQ(cid, 3);
      break;
    }
    case Outcome::InvalidId:
      EXPECT_TRUE(result.handled);
      EXPECT_EQ(result.text,
                R"({"error":"1","RID":"r7","response":"Invalid Daily Report ID !","eofline":"eof"})");
      break;
  }
}

std::string CaseName(const ::testing::TestParamInfo<std::tuple<Backend, SpecialCase>>& info) {
  return std::string(testing::BackendName(std::get<0>(info.param))) + "_" +
         std::get<1>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(Table, CheckSpecialMethodCases,
                         ::testing::Combine(::testing::Values(Backend::Sqlite, Backend::Postgres,
                                                              Backend::Odbc),
                                            ::testing::ValuesIn(Cases())),
                         CaseName);

class DailyReportOperations : public ::testing::TestWithParam<Backend> {
 protected:
  static void TearDownTestSuite() { testing::ReleaseSharedSite(); }
  void SetUp() override { SKIP_WITHOUT_BACKEND(GetParam()); }
};

TEST_P(DailyReportOperations, WriteSendsTheWorkDay) {
  Site& site = SiteFor(GetParam());
  const std::int32_t user = site.AddUser();
  const RequestContext ctx = ContextFor(site, user, Build::Az);
  // An evening time must not move the report to another day.
  WriteDailyReport(std::to_string(user), "JOB 2", EncodeDate(2020, 2, 13) + 0.75, ctx);
  EXPECT_EQ(site.QueryText("SELECT Job FROM daily_reports WHERE UserID = :u", {Value(user)}),
            "JOB 2");
  std::unique_ptr<TResultSet> rows =
      site.Query("SELECT WorkDate FROM daily_reports WHERE UserID = :u", {Value(user)});
  ASSERT_FALSE(rows->IsEmpty());
  EXPECT_EQ(FormatDateTime("mm/dd/yyyy hh:nn", rows->Fields(0).AsFloat()), "02/13/2020 00:00");
}

TEST_P(DailyReportOperations, WriteRefusedByTheProcedureRaises) {
  Site& site = SiteFor(GetParam());
  const std::int32_t user = site.AddUser();
  EXPECT_THROW(WriteDailyReport(std::to_string(user), "NO SUCH JOB", EncodeDate(2020, 2, 13),
                                ContextFor(site, user, Build::Az)),
               ENVMobileException);
  EXPECT_EQ(site.CountDailyReports(user), 0);
}

TEST_P(DailyReportOperations, FindGivesTheLastMatchAndFailsOnAMissingWorkDate) {
  Site& site = SiteFor(GetParam());
  const std::int32_t user = site.AddUser();
  const RequestContext ctx = ContextFor(site, user, Build::Az);
  const std::string userId = std::to_string(user);
  std::string pmid = "untouched";
  EXPECT_FALSE(FindDailyReport(userId, "JOB 1", EncodeDate(2020, 2, 13), ctx, pmid));
  EXPECT_EQ(pmid, "untouched");

  site.AddDailyReport(user, "JOB 1", "2020-02-13");
  site.AddDailyReport(user, "JOB 2", "2020-02-13");
  const std::string last = site.AddDailyReport(user, "JOB 1", "2020-02-13");
  ASSERT_TRUE(FindDailyReport(userId, "JOB 1", EncodeDate(2020, 2, 13), ctx, pmid));
  EXPECT_EQ(pmid, last);

  site.AddDailyReport(user, "JOB 1", std::nullopt);
  try {
    FindDailyReport(userId, "JOB 1", EncodeDate(2020, 2, 13), ctx, pmid);
    FAIL() << "a matching job without a work date must fail the walk";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Could not convert variant of type (Null) into type (Double)");
  }
  // Other jobs never read the missing date.
  EXPECT_TRUE(FindDailyReport(userId, "JOB 2", EncodeDate(2020, 2, 13), ctx, pmid));
}

// Many time-card writes of one caller for a day without a report, all at once: one report
// is created and every time card is filed under it.
TEST_P(DailyReportOperations, ConcurrentTimeCardsCreateOneReport) {
  Site& site = SiteFor(GetParam());
  const std::int32_t user = site.AddUser();
  const RequestContext ctx = ContextFor(site, user, Build::Az);
  const std::string method = ReplaceAll(TimeCard(kAzTimeCard, "-1", "03/02/2020", "JOB 2"), "{U}",
                                        std::to_string(user));
  constexpr int kWriters = 20;
  std::vector<SpecialMethodResult> results(kWriters);
  std::vector<std::string> failures(kWriters);
  {
    std::vector<std::jthread> writers;
    for (int i = 0; i < kWriters; ++i) {
      writers.emplace_back([&, i] {
        results[i] = CheckSpecialMethod(method, ctx);
        try {
          site.Dm().ExecuteQuery(TSQLParams{}, results[i].text);
        } catch (const std::exception& e) {
          failures[i] = e.what();
        }
      });
    }
  }
  ASSERT_EQ(site.CountDailyReports(user), 1);
  const std::string pmid =
      site.QueryText("SELECT PMID FROM daily_reports WHERE UserID = :u", {Value(user)});
  for (int i = 0; i < kWriters; ++i) {
    EXPECT_FALSE(results[i].handled);
    EXPECT_EQ(results[i].text, ReplaceAll(method, ",-1,'03/02/2020'", "," + pmid + ",'03/02/2020'"));
    EXPECT_EQ(failures[i], "");
  }
  EXPECT_EQ(site.QueryText("SELECT COUNT(*) AS N FROM time_cards WHERE UserID = :u AND PMID = :p",
                           {Value(user), Value(std::stoi(pmid))}),
            std::to_string(kWriters));
}

INSTANTIATE_TEST_SUITE_P(Backends, DailyReportOperations,
                         ::testing::Values(Backend::Sqlite, Backend::Postgres, Backend::Odbc),
                         [](const auto& info) { return testing::BackendName(info.param); });

}  // namespace
}  // namespace tallyhand
