#include "clock/rows_json.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
}  // namespace tallyhand
