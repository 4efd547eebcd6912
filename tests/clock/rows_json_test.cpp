#include "clock/rows_json.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "clock/envelope.h"
#include "clock/site_fixture.h"
#include "data/data_ini.h"
#include "data/mainDM.h"
#include "data/odbc_test_drivers.h"
#include "data/postgres_test_server.h"
#include "data/sqlite_site_fixture.h"
#include "platform/datetime.h"
#include "platform/exception.h"

namespace tallyhand {
namespace {

TDateTime Feb13() { return EncodeDate(2020, 2, 13); }
TDateTime At080509() { return EncodeTime(8, 5, 9); }

struct RowsCase {
  const char* name;
  std::vector<Column> columns;
  std::vector<std::vector<Value>> rows;
  std::string expected;
};

class ResultSetToJSONCases : public ::testing::TestWithParam<RowsCase> {};

TEST_P(ResultSetToJSONCases, WritesEveryValueAsAString) {
  const RowsCase& c = GetParam();
  TResultSet set(c.columns, c.rows);
  EXPECT_EQ(ResultSetToJSON(set), c.expected);
}

const std::vector<Column> kTextAndInteger{{"A", FieldType::String}, {"B", FieldType::Integer}};

INSTANTIATE_TEST_SUITE_P(
    Rows, ResultSetToJSONCases,
    ::testing::Values(
        RowsCase{"NoRows", kTextAndInteger, {}, "[]"},
        RowsCase{"ColumnsInOrder", kTextAndInteger, {{"x", 5}}, R"([{"A":"x","B":"5"}])"},
        RowsCase{"RowsJoinedByComma", kTextAndInteger, {{"x", 5}, {"y", -6}},
                 R"([{"A":"x","B":"5"},{"A":"y","B":"-6"}])"},
        RowsCase{"QuotesAndBackslashesEscaped", {{"T", FieldType::String}},
                 {{R"(say "hi" C:\dir\ \")"}}, R"([{"T":"say \"hi\" C:\\dir\\ \\\""}])"},
        RowsCase{"ControlCharactersKept", {{"M", FieldType::Memo}}, {{"one\r\ntwo\tend"}},
                 "[{\"M\":\"one\r\ntwo\tend\"}]"},
        RowsCase{"NamesNotEscaped", {{"we\"ird\\", FieldType::String}}, {{"v"}},
                 "[{\"we\"ird\\\":\"v\"}]"},
        RowsCase{"DateShowsOnlyTheDate", {{"D", FieldType::Date}, {"E", FieldType::Date}},
                 {{Feb13(), Feb13() + At080509()}}, R"([{"D":"2020-02-13","E":"2020-02-13"}])"},
        RowsCase{"TimeShowsOnlyTheTime", {{"T", FieldType::Time}, {"U", FieldType::Time}},
                 {{At080509(), Feb13() + At080509()}}, R"([{"T":"08:05:09","U":"08:05:09"}])"},
        RowsCase{"DateTimeAndTimeStamp",
                 {{"DT", FieldType::DateTime}, {"TS", FieldType::TimeStamp}, {"M", FieldType::DateTime}},
                 {{Feb13() + At080509(), Feb13() + At080509(), Feb13()}},
                 R"([{"DT":"2020-02-13 08:05:09","TS":"2020-02-13 08:05:09","M":"2020-02-13 00:00:00"}])"},
        RowsCase{"NullsOfOtherKindsAreEmpty",
                 {{"S", FieldType::String}, {"I", FieldType::Integer}, {"F", FieldType::Float},
                  {"B", FieldType::Boolean}, {"M", FieldType::Memo}},
                 {{Value(), Value(), Value(), Value(), Value()}},
                 R"([{"S":"","I":"","F":"","B":"","M":""}])"},
        RowsCase{"EmptyText", {{"S", FieldType::String}}, {{""}}, R"([{"S":""}])"},
        RowsCase{"Booleans", {{"Y", FieldType::Boolean}, {"N", FieldType::Boolean}},
                 {{true, false}}, R"([{"Y":"True","N":"False"}])"},
        RowsCase{"WideIntegers", {{"I", FieldType::Integer}},
                 {{std::int64_t{-9223372036854775807} - 1}, {std::int64_t{9007199254740993}}},
                 R"([{"I":"-9223372036854775808"},{"I":"9007199254740993"}])"},
        RowsCase{"Floats",
                 {{"A", FieldType::Float}, {"B", FieldType::Float}, {"C", FieldType::Float},
                  {"D", FieldType::Float}, {"E", FieldType::Float}},
                 {{1234.5, 0.1 + 0.2, 1.0 / 3.0, -2.5, 100.0}},
                 R"([{"A":"1234.5","B":"0.3","C":"0.333333333333333","D":"-2.5","E":"100"}])"},
        RowsCase{"StatusColumnsWrittenLikeOthers",
                 {{"ResultStatus", FieldType::Integer}, {"ResultMessage", FieldType::String}},
                 {{0, "ok"}}, R"([{"ResultStatus":"0","ResultMessage":"ok"}])"}),
    [](const ::testing::TestParamInfo<RowsCase>& info) { return info.param.name; });

class NullDateKinds : public ::testing::TestWithParam<FieldType> {};

TEST_P(NullDateKinds, FailWithTheConversionMessage) {
  TResultSet set({{"S", FieldType::String}, {"D", GetParam()}}, {{"x", Feb13()}, {"y", Value()}});
  try {
    ResultSetToJSON(set);
    FAIL() << "no exception";
  } catch (const EVariantTypeCastError& e) {
    EXPECT_EQ(e.Message(), "Could not convert variant of type (Null) into type (Double)");
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, NullDateKinds,
                         ::testing::Values(FieldType::Date, FieldType::Time, FieldType::DateTime,
                                           FieldType::TimeStamp));

TEST(ResultSetToJSONCursor, StartsFromTheFirstRow) {
  TResultSet set(kTextAndInteger, {{"x", 1}, {"y", 2}});
  set.Next();
  set.Next();
  EXPECT_EQ(ResultSetToJSON(set), R"([{"A":"x","B":"1"},{"A":"y","B":"2"}])");
}

struct CleanCase {
  const char* name;
  std::string text;
  std::string expected;
};

class CleanErrorTextCases : public ::testing::TestWithParam<CleanCase> {};

TEST_P(CleanErrorTextCases, Cleans) {
  EXPECT_EQ(CleanErrorText(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Clean, CleanErrorTextCases,
    ::testing::Values(CleanCase{"Unchanged", "plain text: 1,2", "plain text: 1,2"},
                      CleanCase{"QuotesBecomeApostrophes", R"({"a":"b"})", "{'a':'b'}"},
                      CleanCase{"BackslashesDoubled", R"(C:\x\\)", R"(C:\\x\\\\)"},
                      CleanCase{"LineBreaksRemoved", "a\r\nb\nc\rd", "abcd"},
                      CleanCase{"TabsKept", "a\tb", "a\tb"},
                      CleanCase{"EscapedQuote", R"(\")", R"(\\')"}),
    [](const ::testing::TestParamInfo<CleanCase>& info) { return info.param.name; });

TEST(ProcedureErrorText, WrapsMessageAndRequestThenCleans) {
  EXPECT_EQ(ProcedureErrorText("Bad \"date\"", "{\"ReqMethod\":\"x\\y\"}\r\n"),
            "Error on executing procedure: Bad 'date' : Initial request{'ReqMethod':'x\\\\y'}");
  EXPECT_EQ(ProcedureErrorText("", ""), "Error on executing procedure:  : Initial request");
}


// Method runs through a real data module, on each database the server can use; ODBC is
// the PostgreSQL database through Debian's PostgreSQL ODBC driver.
using Database = testing::Backend;

// The sample row's columns but its NULL date and its time stamp (which the PostgreSQL
// sample holds with a time zone); both databases hold the same values.
std::string SampleSelect(Database database) {
  const std::vector<std::string> columns{"TextValue",  "MemoValue", "IntegerValue",
                                         "BooleanValue", "FloatValue", "DateValue",
                                         "TimeValue",  "DateTimeValue", "NullText"};
  const bool quoted = database != Database::Sqlite;
  std::string select = "SELECT ";
  for (const std::string& column : columns) {
    if (&column != &columns.front()) select += ", ";
    select += quoted ? '"' + column + '"' : column;
  }
  return select + (quoted ? " FROM nvm_Type_Sample()" : " FROM type_samples");
}

class ExecuteMethod : public ::testing::TestWithParam<Database> {
 protected:
  static void SetUpTestSuite() { postgres_.SetUp(); }
  static void TearDownTestSuite() { postgres_.TearDown(); }

  void SetUp() override {
    if (GetParam() != Database::Sqlite) {
      ASSERT_NE(postgres_.Get(), nullptr) << postgres_.Why();
      const testing_pg::ServerSettings& server = postgres_.Get()->Settings();
      site_ = std::make_unique<testing::SqliteSite>("", false);
      std::string definition = "DriverID=PG\r\nServer=" + server.host + "\r\nPort=" +
                               server.port + "\r\nDatabase=" + postgres_.Get()->Name() + "\r\n";
      if (GetParam() == Database::Odbc) {
        testing_odbc::UseTestDriverRegistry();
        definition.clear();
        for (const std::string& line :
             testing_odbc::PostgresOdbcIniLines(server.host, server.port, postgres_.Get()->Name()))
          definition += line + "\r\n";
      }
      site_->WriteFile("data.ini",
                       "\xEF\xBB\xBF[BaseGlob]\r\n" + definition +
                           "User_Name=" + ScrambleNVString(server.user, kScrambleStartKey) +
                           "\r\nPassword=" + ScrambleNVString(server.password, kScrambleStartKey) +
                           "\r\n");
    } else {
      site_ = std::make_unique<testing::SqliteSite>();
    }
    SetEventLog(&site_->Log());
    dm_ = std::make_unique<TMainDM>(site_->Folder(), site_->Log());
    dm_->LoadConnections();
    context_.dm = dm_.get();
  }
  void TearDown() override {
    dm_.reset();
    SetEventLog(nullptr);
  }

  std::string Run(std::string_view method) { return ExecuteMethodToJSON(method, context_); }
  std::vector<std::string> Logged(const std::string& prefix) const {
    return site_->LogMessages(prefix);
  }

  static testing_pg::SuiteDatabaseHolder postgres_;
  std::unique_ptr<testing::SqliteSite> site_;
  std::unique_ptr<TMainDM> dm_;
  RequestContext context_;
};

testing_pg::SuiteDatabaseHolder ExecuteMethod::postgres_;

TEST_P(ExecuteMethod, RowsOfAQueryInOrder) {
  // The ODBC driver names columns as the driver reports them: PostgreSQL folds unquoted
  // names to lower case.
  const bool folded = GetParam() == Database::Odbc;
  const std::string number = folded ? "companynumber" : "CompanyNumber";
  const std::string name = folded ? "companyname" : "CompanyName";
  const auto row = [&](const char* id, const char* company) {
    return "{\"" + number + "\":\"" + id + "\",\"" + name + "\":\"" + company + "\"}";
  };
  EXPECT_EQ(Run("Select CompanyNumber,company_name as CompanyName FROM company "
                "ORDER BY CompanyNumber"),
            "[" + row("1", "Acme Builders") + "," + row("2", "Northwind Paving") + "," +
                row("3", "Acme Builders") + "," + row("4", "Blue Ridge Electric") + "]");
}

TEST_P(ExecuteMethod, EveryFieldTypeAsAString) {
  EXPECT_EQ(Run(SampleSelect(GetParam())),
            "[{\"TextValue\":\"plain text\",\"MemoValue\":\"line one\r\nsay \\\"hi\\\" \\\\ back\","
            R"("IntegerValue":"42","BooleanValue":"True","FloatValue":"1234.5",)"
            R"("DateValue":"2020-02-13","TimeValue":"08:05:09",)"
            R"("DateTimeValue":"2020-02-13 08:05:09","NullText":""}])");
}

TEST_P(ExecuteMethod, TypeSampleFailsOnItsNullDate) {
  const std::string method = "EXECUTE PROCEDURE nvm_Type_Sample()";
  try {
    Run(method);
    FAIL() << "no exception";
  } catch (const EVariantTypeCastError& e) {
    EXPECT_EQ(ProcedureErrorText(e.Message(), "{`ReqMethod`:`" + method + "`}"),
              "Error on executing procedure: Could not convert variant of type (Null) into "
              "type (Double) : Initial request{`ReqMethod`:`EXECUTE PROCEDURE "
              "nvm_Type_Sample()`}");
  }
  EXPECT_TRUE(Logged("ReqResponse:").empty());
}

TEST_P(ExecuteMethod, NoRowsGiveAnEmptyArray) {
  EXPECT_EQ(Run("EXECUTE PROCEDURE nvm_DailyReportRecord_List('99999', '', 0)"), "[]");
}

TEST_P(ExecuteMethod, NegativeStatusGivesTheProcedureErrorText) {
  const std::string request = R"({"ReqMethod":"write"})";
  try {
    Run("EXECUTE PROCEDURE nvm_DailyReportRecord_Write('42', 0, 'JOB 1', '13/45/2020', 'n', 'w')");
    FAIL() << "no exception";
  } catch (const ENVMobileException& e) {
    ASSERT_FALSE(e.Message().empty());
    EXPECT_EQ(ProcedureErrorText(e.Message(), request),
              CleanErrorText("Error on executing procedure: " + e.Message() +
                             " : Initial request{'ReqMethod':'write'}"));
    EXPECT_EQ(Logged(e.Message()), std::vector<std::string>{e.Message()});
  }
  EXPECT_TRUE(Logged("ReqResponse:").empty());
}

TEST_P(ExecuteMethod, FailedRunLogsAndEchoesTheCleanedRequest) {
  const std::string request =
      "{\"ReqMethod\":\"EXECUTE PROCEDURE nvm_No_Such()\",\"Note\":\"C:\\x\"}\r\n";
  try {
    Run("EXECUTE PROCEDURE nvm_No_Such()");
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(Logged("ReqResponse:"), std::vector<std::string>{"ReqResponse:" + e.Message()});
    const std::string expectedTail =
        " : Initial request{'ReqMethod':'EXECUTE PROCEDURE nvm_No_Such()','Note':'C:\\\\x'}";
    EXPECT_EQ(ProcedureErrorText(e.Message(), request),
              "Error on executing procedure: " + CleanErrorText(e.Message()) + expectedTail);
  }
}

TEST_P(ExecuteMethod, EmptyMethodFailsInTheDatabaseLayer) {
  try {
    Run("");
    FAIL() << "no exception";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(Logged("ReqResponse:"), std::vector<std::string>{"ReqResponse:" + e.Message()});
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, ExecuteMethod,
                         ::testing::Values(Database::Sqlite, Database::Postgres, Database::Odbc),
                         [](const auto& info) { return testing::BackendName(info.param); });

}  // namespace
}  // namespace tallyhand
