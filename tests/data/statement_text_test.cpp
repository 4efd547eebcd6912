#include "data/statement_text.h"

#include <gtest/gtest.h>

#include "platform/exception.h"

namespace tallyhand {
namespace {

struct MarkerCase {
  const char* sql;
  std::vector<std::string> names;
  const char* rewritten;  // markers replaced by ?<index+1>
};

class MarkerTest : public ::testing::TestWithParam<MarkerCase> {};

TEST_P(MarkerTest, FindsDistinctMarkersInOrderOfFirstAppearance) {
  const MarkerCase& c = GetParam();
  const StatementMarkers markers = ParseMarkers(c.sql);
  EXPECT_EQ(markers.names, c.names);
  const std::string rewritten = RewriteMarkers(
      c.sql, markers, [](int index, const std::string&) { return "?" + std::to_string(index + 1); });
  EXPECT_EQ(rewritten, c.rewritten);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MarkerTest,
    ::testing::Values(
        MarkerCase{"select :b, :a", {"b", "a"}, "select ?1, ?2"},
        MarkerCase{"EXECUTE PROCEDURE p(:CompanyID,:UserID,:Password);",
                   {"CompanyID", "UserID", "Password"},
                   "EXECUTE PROCEDURE p(?1,?2,?3);"},
        MarkerCase{"select :a, :B, :A, :b", {"a", "B"}, "select ?1, ?2, ?1, ?2"},
        MarkerCase{"select ':x', \"a:y\", :z", {"z"}, "select ':x', \"a:y\", ?1"},
        MarkerCase{"select 'it''s :x', :y", {"y"}, "select 'it''s :x', ?1"},
        MarkerCase{"select x::int, :p::text", {"p"}, "select x::int, ?1::text"},
        MarkerCase{"select 1 -- :c\n, :d /* :e */", {"d"}, "select 1 -- :c\n, ?1 /* :e */"},
        MarkerCase{"select ': ', :_1x", {"_1x"}, "select ': ', ?1"},
        MarkerCase{"select 'unterminated :x", {}, "select 'unterminated :x"},
        // SQLite's other identifier quotes hide markers as double quotes do.
        MarkerCase{"select [a:b], `c``:d`, :e", {"e"}, "select [a:b], `c``:d`, ?1"},
        MarkerCase{"", {}, ""}));

TEST(CheckSingleStatement, AcceptsOneStatementWithTrailingSemicolonsBlanksAndComments) {
  for (const char* sql : {"select 1", "select 1;", "select 1 ;  \r\n", "select ';x;'",
                          "select 1; -- done", "select 1;;", "EXECUTE PROCEDURE p('a;b');",
                          "select 1 as [a;b]", "select 1 as `c;d`;"}) {
    EXPECT_NO_THROW(CheckSingleStatement(sql)) << sql;
  }
}

TEST(CheckSingleStatement, RefusesASecondStatement) {
  for (const char* sql : {"select 1; select 2", "select 1;delete from company",
                          "EXECUTE PROCEDURE p(1); drop table x", "select 1; 'x'",
                          "select 1; [x]",
                          // An apostrophe inside [...] opens no literal that could hide the ';'.
                          "select 1 as [it's]; delete from users; select '"}) {
    EXPECT_THROW(CheckSingleStatement(sql), EDatabaseError) << sql;
  }
}

struct CallCase {
  const char* sql;
  const char* name;
  std::vector<std::string> arguments;
};

class ProcedureCallTest : public ::testing::TestWithParam<CallCase> {};

TEST_P(ProcedureCallTest, SplitsNameAndArguments) {
  const CallCase& c = GetParam();
  const std::optional<ProcedureCall> call = ParseProcedureCall(c.sql);
  ASSERT_TRUE(call.has_value()) << c.sql;
  EXPECT_EQ(call->name, c.name);
  EXPECT_EQ(call->arguments, c.arguments);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProcedureCallTest,
    ::testing::Values(
        CallCase{"EXECUTE PROCEDURE nvm_GetMobileCompanyNames_Lookup();",
                 "nvm_GetMobileCompanyNames_Lookup", {}},
        CallCase{"execute procedure p", "p", {}},
        CallCase{"  Execute\tProcedure  p ( :a , 'x,y' , f(1, 2) )  ;  ", "p",
                 {":a", "'x,y'", "f(1, 2)"}},
        CallCase{"EXECUTE PROCEDURE p('it''s (', \"a,b\", -3);", "p",
                 {"'it''s ('", "\"a,b\"", "-3"}},
        CallCase{"EXECUTE PROCEDURE p('', '')", "p", {"''", "''"}},
        CallCase{"EXECUTE PROCEDURE p([a,b], `c,)`)", "p", {"[a,b]", "`c,)`"}}));

TEST(ParseProcedureCall, OtherStatementsAreNotCalls) {
  EXPECT_FALSE(ParseProcedureCall("Select CompanyNumber FROM company").has_value());
  EXPECT_FALSE(ParseProcedureCall("EXECUTEPROCEDURE p()").has_value());
  EXPECT_FALSE(ParseProcedureCall("EXECUTE p()").has_value());
}

TEST(ParseProcedureCall, RefusesMalformedCalls) {
  for (const char* sql : {"EXECUTE PROCEDURE ", "EXECUTE PROCEDURE p(1", "EXECUTE PROCEDURE p(1) x",
                          "EXECUTE PROCEDURE p('a)"}) {
    EXPECT_THROW(ParseProcedureCall(sql), EDatabaseError) << sql;
  }
}

}  // namespace
}  // namespace tallyhand
