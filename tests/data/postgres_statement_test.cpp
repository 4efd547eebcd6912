// How statements, values and connection settings are prepared for libpq; no server needed.
#include <gtest/gtest.h>

#include <cmath>
#include <ctime>

#include "data/drivers/postgres_driver.h"
#include "data/drivers/postgres_statement.h"
#include "data/drivers/postgres_values.h"
#include "platform/datetime.h"
#include "platform/exception.h"

namespace tallyhand {
namespace {

TEST(PostgresStatement, TranslatesProcedureCallsAndMarkers) {
  struct Case {
    const char* sql;
    const char* text;
    std::vector<std::string> markers;
  } cases[] = {
      {"EXECUTE PROCEDURE nvSy1_NVQIX_MobileUserLogin(:CompanyID,:UserID,:Password);",
       "SELECT * FROM nvSy1_NVQIX_MobileUserLogin($1,$2,$3)", {"CompanyID", "UserID", "Password"}},
      {"execute   procedure nvm_GetMobileCompanyNames_Lookup();",
       "SELECT * FROM nvm_GetMobileCompanyNames_Lookup()", {}},
      {"Execute Procedure nvm_Type_Sample", "SELECT * FROM nvm_Type_Sample()", {}},
      // Markers are numbered by first appearance; a repeated name reuses its number.
      {"SELECT :b AS x, :a AS y, :B AS z", "SELECT $1 AS x, $2 AS y, $1 AS z", {"b", "a"}},
      // Bare numbers become untyped literals; quoted texts, markers and expressions stay.
      {"EXECUTE PROCEDURE nvm_DailyReportRecord_Write(42, 0, 'JOB 1', '02/13/2020', '', '');",
       "SELECT * FROM nvm_DailyReportRecord_Write('42','0','JOB 1','02/13/2020','','')", {}},
      {"EXECUTE PROCEDURE f(-1.5e3, :m, 2+3, 'it''s', g(4))",
       "SELECT * FROM f('-1.5e3',$1,2+3,'it''s',g(4))", {"m"}},
      {"EXECUTE PROCEDURE f(1 -- one\n, 2)", "SELECT * FROM f(1 -- one\n,'2')", {}},
      // Plain statements run as written, without a trailing ';'.
      {"Select CompanyNumber,company_name as CompanyName FROM company;",
       "Select CompanyNumber,company_name as CompanyName FROM company", {}},
      {"SELECT ':x', \":y\", x::text /* :z */ FROM t -- :w", "SELECT ':x', \":y\", x::text /* :z */ FROM t -- :w", {}},
      {"SELECT 1; -- done", "SELECT 1", {}},
  };
  for (const Case& c : cases) {
    const PostgresStatement statement = TranslateForPostgres(c.sql);
    EXPECT_EQ(statement.text, c.text) << c.sql;
    EXPECT_EQ(statement.markerNames, c.markers) << c.sql;
  }
}

TEST(PostgresStatement, RefusesMoreThanOneStatementAndMalformedCalls) {
  for (const char* sql : {"SELECT 1; SELECT 2", "EXECUTE PROCEDURE a(); EXECUTE PROCEDURE b();",
                          "DELETE FROM company; SELECT 1", "EXECUTE PROCEDURE f(1",
                          "EXECUTE PROCEDURE f(1) garbage"}) {
    EXPECT_THROW(TranslateForPostgres(sql), EDatabaseError) << sql;
  }
  EXPECT_NO_THROW(TranslateForPostgres("SELECT ';' ; ; "));
}

TEST(PostgresStatement, RestoresTheLetterCaseOfFoldedColumnNames) {
  const std::vector<std::string> words =
      TranslateForPostgres("Select CompanyNumber,company_name as CompanyName FROM company").words;
  struct Case {
    const char* reported;
    const char* expected;
  } cases[] = {
      {"companynumber", "CompanyNumber"},
      {"companyname", "CompanyName"},
      {"company_name", "company_name"},
      {"UserID", "UserID"},  // quoted by the procedure: kept
      {"other", "other"},
  };
  for (const Case& c : cases) EXPECT_EQ(RestoreColumnNameCase(c.reported, words), c.expected);
  // Words inside literals do not count.
  EXPECT_EQ(RestoreColumnNameCase("abc", TranslateForPostgres("SELECT 'ABC' AS abc").words), "abc");
}

TEST(PostgresValues, ParameterTexts) {
  struct Case {
    Value value;
    std::optional<std::string> text;
  } cases[] = {
      {Value(std::int64_t{-9007199254740993}), "-9007199254740993"},
      {Value(0), "0"},
      {Value(0.1), "0.1"},
      {Value(1234.5), "1234.5"},
      {Value(1e300), "1e+300"},
      {Value(std::nan("")), "NaN"},
      {Value(-INFINITY), "-Infinity"},
      {Value(true), "true"},
      {Value(false), "false"},
      {Value("Zoë 'quoted' \\"), "Zoë 'quoted' \\"},
      {Value(""), ""},
      {Value(), std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(PostgresParameterText(c.value), c.text);
  EXPECT_THROW(PostgresParameterText(Value(std::string("a\0b", 3))), EDatabaseError);
}

TEST(PostgresValues, FieldTypesOfTypeIds) {
  struct Case {
    unsigned typeId;
    FieldType type;
  } cases[] = {
      {pg_type::kBool, FieldType::Boolean},     {pg_type::kInt2, FieldType::Integer},
      {pg_type::kInt4, FieldType::Integer},     {pg_type::kInt8, FieldType::Integer},
      {pg_type::kFloat4, FieldType::Float},     {pg_type::kFloat8, FieldType::Float},
      {pg_type::kNumeric, FieldType::Float},    {pg_type::kMoney, FieldType::Float},
      {pg_type::kDate, FieldType::Date},        {pg_type::kTime, FieldType::Time},
      {pg_type::kTimestamp, FieldType::DateTime}, {pg_type::kTimestampTz, FieldType::TimeStamp},
      {pg_type::kText, FieldType::Memo},        {pg_type::kVarchar, FieldType::String},
      {pg_type::kBpchar, FieldType::String},    {pg_type::kName, FieldType::String},
      {2950 /* uuid */, FieldType::String},
  };
  for (const Case& c : cases) EXPECT_EQ(FieldTypeForPostgresType(c.typeId), c.type) << c.typeId;
}

TDateTime LocalDateTimeOf(std::time_t utc, double subSecond) {
  std::tm local{};
  localtime_r(&utc, &local);
  return EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) +
         (local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + subSecond) / 86400.0;
}

TEST(PostgresValues, ResultTextsBecomeValues) {
  const TDateTime day = EncodeDate(2020, 2, 13);
  const TDateTime eightOFive = (8 * 3600.0 + 5 * 60 + 9) / 86400.0;
  struct Case {
    const char* text;
    unsigned typeId;
    Value expected;
  } cases[] = {
      {"t", pg_type::kBool, Value(true)},
      {"f", pg_type::kBool, Value(false)},
      {"-32768", pg_type::kInt2, Value(-32768)},
      {"9223372036854775807", pg_type::kInt8, Value(std::int64_t{9223372036854775807})},
      {"1234.5", pg_type::kFloat8, Value(1234.5)},
      {"0.30000000000000004", pg_type::kFloat8, Value(0.1 + 0.2)},
      {"12345678.90", pg_type::kNumeric, Value(12345678.9)},
      {"-$1,234.50", pg_type::kMoney, Value(-1234.5)},
      {"2020-02-13", pg_type::kDate, Value(day)},
      {"1899-12-30", pg_type::kDate, Value(0.0)},
      {"08:05:09", pg_type::kTime, Value(eightOFive)},
      {"12:00:00.5", pg_type::kTime, Value((12 * 3600.0 + 0.5) / 86400.0)},
      {"2020-02-13 08:05:09", pg_type::kTimestamp, Value(day + eightOFive)},
      {"1899-12-29 06:00:00", pg_type::kTimestamp, Value(-1.25)},
      {"2020-02-13 08:05:09.5+00", pg_type::kTimestampTz, Value(LocalDateTimeOf(1581581109, 0.5))},
      {"2020-02-13 08:05:09+05:30", pg_type::kTimestampTz,
       Value(LocalDateTimeOf(1581581109 - 19800, 0))},
      {"multi\nline", pg_type::kText, Value("multi\nline")},
      {"", pg_type::kVarchar, Value("")},
  };
  for (const Case& c : cases) {
    const Value value = PostgresTextToValue(c.text, c.typeId);
    if (c.expected.IsFloat() && value.IsFloat()) {
      EXPECT_NEAR(value.Float(), c.expected.Float(), 1e-9) << c.text;
    } else {
      EXPECT_EQ(value, c.expected) << c.text;
    }
  }
}

TEST(PostgresValues, TextsWithoutSuchValueAreErrors) {
  struct Case {
    const char* text;
    unsigned typeId;
  } cases[] = {
      {"infinity", pg_type::kDate},         {"0044-03-15 BC", pg_type::kDate},
      {"10000-01-01", pg_type::kDate},      {"2020-02-13", pg_type::kTimestamp},
      {"25:00:00", pg_type::kTime},         {"2020-02-13 08:05:09", pg_type::kTimestampTz},
      {"12x", pg_type::kInt4},              {"99999999999999999999", pg_type::kInt8},
      {"", pg_type::kFloat8},
  };
  for (const Case& c : cases) EXPECT_THROW(PostgresTextToValue(c.text, c.typeId), EDatabaseError) << c.text;
}

TEST(PostgresConnectionParameters, MapsTheDefinitionAndFurtherOptions) {
  ConnectionDef def;
  def.Set("DriverID", "PG");
  def.Set("Server", " db.example ");
  def.Set("Port", "5433");
  def.Set("Database", "postgresql://elsewhere/other");
  def.Set("User_Name", "clerk");
  def.Set("Password", " pass word ");
  def.Set("sslmode", "require");
  def.Set("Unknown", "ignored");
  ConnectionDef settings;
  settings.Set("ConnectTimeout", "12");
  settings.Set("SSLMode", "disable");  // the definition wins

  const auto parameters = PostgresConnectionParameters(def, settings);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"host", "db.example"},
      {"port", "5433"},
      {"dbname", "postgresql://elsewhere/other"},  // sent with expand_dbname 0: a name only
      {"user", "clerk"},
      {"password", " pass word "},
      {"connect_timeout", "12"},
      {"sslmode", "require"},
      {"application_name", "Tallyhand"},
      {"client_encoding", "UTF8"},
      {"options", "-c DateStyle=ISO,MDY -c lc_monetary=C"},
  };
  EXPECT_EQ(parameters, expected);
}

TEST(PostgresConnectionParameters, DefaultsAndStatementTimeout) {
  ConnectionDef def;
  def.Set("StatementTimeout", "30000");
  const auto parameters = PostgresConnectionParameters(def, {});
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"connect_timeout", "5"},
      {"application_name", "Tallyhand"},
      {"client_encoding", "UTF8"},
      {"options", "-c DateStyle=ISO,MDY -c lc_monetary=C -c statement_timeout=30000"},
  };
  EXPECT_EQ(parameters, expected);

  def.Set("StatementTimeout", "5 -c search_path=evil");
  EXPECT_THROW(PostgresConnectionParameters(def, {}), EDatabaseError);
}

}  // namespace
}  // namespace tallyhand
