#include "clock/envelope.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "clock/captured_event_log.h"

namespace tallyhand {
namespace {

struct EnvelopeCase {
  const char* name;
  bool isError;
  std::string response;
  std::string rid;
  std::string key;
  bool raw;
  std::string expected;
};

class FormatResponseShapes : public ::testing::TestWithParam<EnvelopeCase> {
 protected:
  testing::CapturedEventLog log_;
};

TEST_P(FormatResponseShapes, MatchesByteForByte) {
  const EnvelopeCase& c = GetParam();
  EXPECT_EQ(FormatResponse(c.isError, c.response, c.rid, c.key, c.raw), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Envelope, FormatResponseShapes,
    ::testing::Values(
        EnvelopeCase{"ErrorAnswer", true, "Invalid Login !", "17", "", false,
                     R"({"error":"1","RID":"17","response":"Invalid Login !","eofline":"eof"})"},
        EnvelopeCase{"RawEmptyArray", false, "[]", "5", "", true,
                     R"({"error":"0","RID":"5","response":[],"eofline":"eof"})"},
        EnvelopeCase{"SuccessTextEmptyRid", false, "success", "", "", false,
                     R"({"error":"0","RID":"","response":"success","eofline":"eof"})"},
        EnvelopeCase{"SuccessWithKey", false, "success", "9", "ABCDEFGHIJKLMNOPQRSTABCDEFGHIJKL",
                     false,
                     R"({"error":"0","RID":"9","response":"success",)"
                     R"("key":"ABCDEFGHIJKLMNOPQRSTABCDEFGHIJKL","eofline":"eof"})"},
        EnvelopeCase{"KeyOfSpacesIsNoKey", false, "success", "1", "   ", false,
                     R"({"error":"0","RID":"1","response":"success","eofline":"eof"})"},
        EnvelopeCase{"KeyOfControlCharactersIsNoKey", false, "success", "1", "\t\r\n\x01 ", false,
                     R"({"error":"0","RID":"1","response":"success","eofline":"eof"})"},
        EnvelopeCase{"KeyKeepsSurroundingSpaces", false, "success", "1", " AB ", false,
                     R"({"error":"0","RID":"1","response":"success","key":" AB ","eofline":"eof"})"},
        EnvelopeCase{"KeyAboveAsciiIsNotBlank", false, "success", "1", "\xA0", false,
                     "{\"error\":\"0\",\"RID\":\"1\",\"response\":\"success\",\"key\":\"\xA0\","
                     "\"eofline\":\"eof\"}"},
        EnvelopeCase{"ErrorIgnoresKey", true, "Invalid Login !", "2", "ABC", false,
                     R"({"error":"1","RID":"2","response":"Invalid Login !","eofline":"eof"})"},
        EnvelopeCase{"QuoteInsertedUnchanged", true, R"(say "hi" \ now)", "3", "", false,
                     R"({"error":"1","RID":"3","response":"say "hi" \ now","eofline":"eof"})"},
        EnvelopeCase{"RawRowsWithKeyArgument", false, R"([{"A":"x"}])", "4", "K", true,
                     R"({"error":"0","RID":"4","response":[{"A":"x"}],"key":"K","eofline":"eof"})"},
        EnvelopeCase{"RidUntrimmedUnescaped", false, "ok", " 7\"", "", false,
                     R"({"error":"0","RID":" 7"","response":"ok","eofline":"eof"})"}),
    [](const ::testing::TestParamInfo<EnvelopeCase>& info) { return info.param.name; });

TEST(FormatResponseLog, ErrorAnswerLogsMessageThenEnvelope) {
  testing::CapturedEventLog log;
  const std::string envelope = FormatResponse(true, "Invalid Login !", "17", "", false);
  EXPECT_EQ(log.Messages(),
            (std::vector<std::string>{"Invalid Login !", "FormatResponse: " + envelope}));
}

TEST(FormatResponseLog, SuccessAnswerLogsOnlyEnvelope) {
  testing::CapturedEventLog log;
  const std::string envelope = FormatResponse(false, "success", "5", "KEY", false);
  EXPECT_EQ(log.Messages(), (std::vector<std::string>{"FormatResponse: " + envelope}));
}

// Outcome of CheckResultStatus on one table.
enum class Outcome { Passes, RaisesMobile, RaisesDatabase, RaisesConvert };

struct StatusCase {
  const char* name;
  std::vector<Column> columns;
  std::vector<std::vector<Value>> rows;
  Outcome outcome;
  std::string message;  // of the raised exception
};

std::vector<Column> StatusColumns(const char* status = "ResultStatus",
                                  const char* code = "ResultCode",
                                  const char* message = "ResultMessage") {
  return {{status, FieldType::Integer}, {code, FieldType::Integer}, {message, FieldType::String}};
}

class CheckResultStatusCases : public ::testing::TestWithParam<StatusCase> {
 protected:
  testing::CapturedEventLog log_;
};

TEST_P(CheckResultStatusCases, PassesOrRaises) {
  const StatusCase& c = GetParam();
  const TResultSet set(c.columns, c.rows);
  switch (c.outcome) {
    case Outcome::Passes:
      EXPECT_NO_THROW(CheckResultStatus(set));
      EXPECT_TRUE(log_.Messages().empty());
      break;
    case Outcome::RaisesMobile:
      try {
        CheckResultStatus(set);
        FAIL() << "no exception";
      } catch (const ENVMobileException& e) {
        EXPECT_EQ(e.Message(), c.message);
        EXPECT_STREQ(e.ClassName(), "ENVMobileException");
      }
      EXPECT_EQ(log_.Messages(), std::vector<std::string>{c.message});
      break;
    case Outcome::RaisesDatabase:
      try {
        CheckResultStatus(set);
        FAIL() << "no exception";
      } catch (const ENVMobileException&) {
        FAIL() << "raised the request processing's exception";
      } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), c.message);
      }
      break;
    case Outcome::RaisesConvert:
      EXPECT_THROW(CheckResultStatus(set), EConvertError);
      break;
  }
  EXPECT_FALSE(set.Eof() && !set.IsEmpty()) << "the cursor moved";
}

INSTANTIATE_TEST_SUITE_P(
    Status, CheckResultStatusCases,
    ::testing::Values(
        StatusCase{"NoStatusColumns", {{"A", FieldType::String}}, {{"x"}}, Outcome::Passes, ""},
        StatusCase{"EmptySetReadsNull", StatusColumns(), {}, Outcome::Passes, ""},
        StatusCase{"ZeroStatusAndCode", StatusColumns(), {{0, 0, "ok"}}, Outcome::Passes, ""},
        StatusCase{"PositiveStatus", StatusColumns(), {{1, 3, "ok"}}, Outcome::Passes, ""},
        StatusCase{"NegativeStatus", StatusColumns(), {{-1, 0, "Bad date"}}, Outcome::RaisesMobile,
                   "Bad date"},
        StatusCase{"NegativeStatusEmptyMessage", StatusColumns(), {{-3, -3, ""}},
                   Outcome::RaisesMobile, ""},
        StatusCase{"NullStatusSkipsNegativeCode", StatusColumns(), {{Value(), -5, "code"}},
                   Outcome::Passes, ""},
        StatusCase{"ZeroStatusNegativeCode", StatusColumns(), {{0, -1, "No job"}},
                   Outcome::RaisesMobile, "No job"},
        StatusCase{"NullCodeAlone", {{"ResultCode", FieldType::Integer}}, {{Value()}},
                   Outcome::Passes, ""},
        StatusCase{"NegativeCodeWithoutStatusColumn",
                   {{"ResultCode", FieldType::Integer}, {"ResultMessage", FieldType::String}},
                   {{-2, "code only"}}, Outcome::RaisesMobile, "code only"},
        StatusCase{"LowerCaseColumnNames",
                   StatusColumns("resultstatus", "resultcode", "resultmessage"),
                   {{-1, 0, "lower"}}, Outcome::RaisesMobile, "lower"},
        StatusCase{"OnlyFirstRowRead", StatusColumns(), {{0, 0, "ok"}, {-1, -1, "later"}},
                   Outcome::Passes, ""},
        StatusCase{"NegativeStatusWithoutMessageColumn",
                   {{"ResultStatus", FieldType::Integer}}, {{-1}}, Outcome::RaisesDatabase,
                   "Field 'ResultMessage' not found"},
        StatusCase{"StatusThatIsNoInteger", {{"ResultStatus", FieldType::String}}, {{"abc"}},
                   Outcome::RaisesConvert, ""}),
    [](const ::testing::TestParamInfo<StatusCase>& info) { return info.param.name; });

TEST(CheckResultStatusCursor, ReadsTheCurrentRow) {
  testing::CapturedEventLog log;
  TResultSet set(StatusColumns(), {{0, 0, "ok"}, {-1, -1, "second"}});
  set.Next();
  try {
    CheckResultStatus(set);
    FAIL() << "no exception";
  } catch (const ENVMobileException& e) {
    EXPECT_EQ(e.Message(), "second");
  }
  EXPECT_FALSE(set.Eof());
}

}  // namespace
}  // namespace tallyhand
