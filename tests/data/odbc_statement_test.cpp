// The ODBC driver's own translations, without a driver: statement texts and markers,
// connection strings and settings, SQL types and date structures, wide text, bound
// values.
#include <gtest/gtest.h>

#include <limits>

#include "data/drivers/odbc_settings.h"
#include "data/drivers/odbc_statement.h"
#include "data/drivers/odbc_text.h"
#include "data/drivers/odbc_values.h"
#include "platform/datetime.h"
#include "platform/exception.h"

namespace tallyhand {
namespace {

TEST(OdbcStatement, MarkersBecomeOneQuestionMarkPerOccurrenceAndCallsFollowTheStyle) {
  using enum ProcedureCallStyle;
  struct Case {
    const char* sql;
    ProcedureCallStyle style;
    const char* text;
    std::vector<std::string> names;
    std::vector<int> parameters;
  } cases[] = {
      {"EXECUTE PROCEDURE nvSy1_NVQIX_MobileUserLogin(:CompanyID,:UserID,:Password);", Escape,
       "{call nvSy1_NVQIX_MobileUserLogin(?,?,?)}", {"CompanyID", "UserID", "Password"}, {0, 1, 2}},
      {"EXECUTE PROCEDURE nvSy1_NVQIX_MobileUserLogin(:CompanyID,:UserID,:Password);", Native,
       "EXECUTE PROCEDURE nvSy1_NVQIX_MobileUserLogin(?,?,?);", {"CompanyID", "UserID", "Password"},
       {0, 1, 2}},
      {"  execute procedure nvm_GetMobileCompanyNames_Lookup", Escape,
       "{call nvm_GetMobileCompanyNames_Lookup()}", {}, {}},
      // In the escape the database resolves the parameter types: bare numbers go quoted.
      {"EXECUTE PROCEDURE nvm_Answer_Write(42, -9.5e1, 'it''s ; {fine}')", Escape,
       "{call nvm_Answer_Write('42','-9.5e1','it''s ; {fine}')}", {}, {}},
      {"EXECUTE PROCEDURE nvm_Answer_Write(42, 900, 'x');", Native,
       "EXECUTE PROCEDURE nvm_Answer_Write(42, 900, 'x');", {}, {}},
      {"EXECUTE PROCEDURE p(1, 'a' -- note\n)", Escape, "{call p('1','a' -- note\n)}", {}, {}},
      // A name used twice is one value, bound to each of its places.
      {"SELECT :b, :a, :B FROM t WHERE x = ':a' AND y::text = \":b\"", Escape,
       "SELECT ?, ?, ? FROM t WHERE x = ':a' AND y::text = \":b\"", {"b", "a"}, {0, 1, 0}},
      {"EXECUTE PROCEDURE p(:x, -- the second\n 2)", Escape, "{call p(?, -- the second\n 2)}",
       {"x"}, {0}},
      {"Select CompanyNumber,company_name as CompanyName FROM company", Escape,
       "Select CompanyNumber,company_name as CompanyName FROM company", {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    const OdbcStatement statement = TranslateForOdbc(c.sql, c.style);
    EXPECT_EQ(statement.text, c.text);
    EXPECT_EQ(statement.markerNames, c.names);
    EXPECT_EQ(statement.parameterMarkers, c.parameters);
  }
}

TEST(OdbcStatement, RefusesASecondStatementAndMalformedCallsInBothStyles) {
  for (const ProcedureCallStyle style : {ProcedureCallStyle::Native, ProcedureCallStyle::Escape}) {
    EXPECT_THROW(TranslateForOdbc("SELECT 1; DELETE FROM users", style), EDatabaseError);
    EXPECT_THROW(TranslateForOdbc("EXECUTE PROCEDURE p(1", style), EDatabaseError);
    EXPECT_THROW(TranslateForOdbc("EXECUTE PROCEDURE p(1) x", style), EDatabaseError);
  }
}

TEST(OdbcAttributeValue, BracesOnlyWhatTheConnectionStringWouldCutOrChange) {
  const std::pair<const char*, const char*> cases[] = {
      {"secret", "secret"},     {"a=b", "a=b"},       {"p\xC3\xA9", "p\xC3\xA9"},
      {"in side", "in side"},   {"a;b", "{a;b}"},     {"a}b", "{a}}b}"},
      {"{a", "{{a}"},           {" lead", "{ lead}"}, {"trail ", "{trail }"},
      {"}", "{}}}"},            {"", ""},
  };
  for (const auto& [value, written] : cases) EXPECT_EQ(OdbcAttributeValue(value), written) << value;
}

ConnectionDef Definition(std::initializer_list<std::pair<const char*, const char*>> entries) {
  ConnectionDef def;
  def.Set("DriverID", "ODBC");
  for (const auto& [name, value] : entries) def.Set(name, value);
  return def;
}

TEST(OdbcSettings, ConnectionStringFromTheDefinition) {
  struct Case {
    ConnectionDef def;
    const char* connectionString;
  } cases[] = {
      {Definition({{"ODBCDriver", "PostgreSQL Unicode"},
                   {"Server", " db.example "},
                   {"Port", "5432"},
                   {"Database", "acct"},
                   {"User_Name", "tallyhand"},
                   {"Password", " p;w}=d "},
                   {"ODBCAdvanced", "BoolsAsChar=0;CommLog=0"}}),
       "DRIVER={PostgreSQL Unicode};SERVER=db.example;PORT=5432;DATABASE=acct;UID=tallyhand;"
       "PWD={ p;w}}=d };BoolsAsChar=0;CommLog=0"},
      // A data source holds the rest itself; empty credentials are left to it.
      {Definition({{"DataSource", "Quarrow"}, {"User_Name", ""}}), "DSN=Quarrow;"},
      {Definition({{"odbcdriver", "Odd}Name"}, {"database", "a b"}}),
       "DRIVER={Odd}}Name};DATABASE=a b;"},
  };
  for (const Case& c : cases) {
    const OdbcSettings settings = ReadOdbcSettings(c.def, {});
    EXPECT_EQ(settings.connectionString, c.connectionString);
  }
}

TEST(OdbcSettings, ProcedureCallAndTimeouts) {
  const OdbcSettings defaults = ReadOdbcSettings(Definition({{"DataSource", "x"}}), {});
  EXPECT_EQ(defaults.procedureCall, ProcedureCallStyle::Native);
  EXPECT_EQ(defaults.loginTimeoutSeconds, 5u);
  EXPECT_EQ(defaults.queryTimeoutSeconds, 0u);

  ConnectionDef driverSettings;
  driverSettings.Set("LoginTimeout", "9");
  driverSettings.Set("QueryTimeout", "30");
  const OdbcSettings set = ReadOdbcSettings(
      Definition({{"DataSource", "x"}, {"ProcedureCall", "escape"}, {"LoginTimeout", "2"}}),
      driverSettings);
  EXPECT_EQ(set.procedureCall, ProcedureCallStyle::Escape);
  EXPECT_EQ(set.loginTimeoutSeconds, 2u);  // the definition wins
  EXPECT_EQ(set.queryTimeoutSeconds, 30u);
}

TEST(OdbcSettings, DefinitionsThatCannotBeUsedSayWhichParameterIsWrong) {
  const std::pair<ConnectionDef, const char*> cases[] = {
      {Definition({{"Server", "db"}}), "set ODBCDriver=NAME"},
      {Definition({{"ODBCDriver", "x"}, {"DataSource", "y"}}), "both ODBCDriver and DataSource"},
      {Definition({{"DataSource", "x"}, {"ProcedureCall", "Call"}}), "ProcedureCall"},
      {Definition({{"DataSource", "x"}, {"LoginTimeout", "0"}}), "LoginTimeout"},
      {Definition({{"DataSource", "x"}, {"LoginTimeout", "5s"}}), "LoginTimeout"},
      {Definition({{"DataSource", "x"}, {"QueryTimeout", "99999999"}}), "QueryTimeout"},
  };
  for (const auto& [def, mention] : cases) {
    try {
      ReadOdbcSettings(def, {});
      ADD_FAILURE() << "accepted, expected a message with " << mention;
    } catch (const EDatabaseError& e) {
      EXPECT_NE(std::string(e.what()).find(mention), std::string::npos) << e.what();
    }
  }
  ConnectionDef withNul = Definition({{"DataSource", "x"}});
  withNul.Set("Password", std::string("a\0b", 3));
  EXPECT_THROW(ReadOdbcSettings(withNul, {}), EDatabaseError);
}

TEST(OdbcValues, FieldTypesOfSqlTypes) {
  const std::pair<SQLSMALLINT, FieldType> cases[] = {
      {SQL_TYPE_DATE, FieldType::Date},        {SQL_TYPE_TIME, FieldType::Time},
      {SQL_TYPE_TIMESTAMP, FieldType::TimeStamp}, {SQL_TINYINT, FieldType::Integer},
      {SQL_SMALLINT, FieldType::Integer},      {SQL_INTEGER, FieldType::Integer},
      {SQL_BIGINT, FieldType::Integer},        {SQL_BIT, FieldType::Boolean},
      {SQL_REAL, FieldType::Float},            {SQL_FLOAT, FieldType::Float},
      {SQL_DOUBLE, FieldType::Float},          {SQL_DECIMAL, FieldType::Float},
      {SQL_NUMERIC, FieldType::Float},         {SQL_CHAR, FieldType::String},
      {SQL_VARCHAR, FieldType::String},        {SQL_WCHAR, FieldType::String},
      {SQL_WVARCHAR, FieldType::String},       {SQL_LONGVARCHAR, FieldType::Memo},
      {SQL_WLONGVARCHAR, FieldType::Memo},     {SQL_GUID, FieldType::String},
      {SQL_VARBINARY, FieldType::String},
  };
  for (const auto& [sqlType, fieldType] : cases)
    EXPECT_EQ(FieldTypeForSqlType(sqlType), fieldType) << sqlType;
}

TEST(OdbcValues, DateAndTimeStructuresAsDateTimeNumbers) {
  const TDateTime day = EncodeDate(2020, 2, 13);
  const double time = (8 * 3600.0 + 5 * 60 + 9) / 86400.0;
  EXPECT_EQ(DateTimeOf(SQL_DATE_STRUCT{2020, 2, 13}), day);
  EXPECT_EQ(DateTimeOf(SQL_TIME_STRUCT{8, 5, 9}), time);
  const std::optional<TDateTime> stamp = DateTimeOf(SQL_TIMESTAMP_STRUCT{2020, 2, 13, 8, 5, 9, 250'000'000});
  ASSERT_TRUE(stamp);
  EXPECT_NEAR(*stamp, day + time + 0.25 / 86400.0, 1e-10);
  // Before the epoch the time of day counts away from zero.
  const std::optional<TDateTime> early = DateTimeOf(SQL_TIMESTAMP_STRUCT{1899, 12, 29, 12, 0, 0, 0});
  ASSERT_TRUE(early);
  EXPECT_DOUBLE_EQ(*early, -1.5);

  EXPECT_FALSE(DateTimeOf(SQL_DATE_STRUCT{2020, 13, 1}));
  EXPECT_FALSE(DateTimeOf(SQL_DATE_STRUCT{2021, 2, 29}));
  EXPECT_FALSE(DateTimeOf(SQL_TIME_STRUCT{24, 0, 0}));
  EXPECT_FALSE(DateTimeOf(SQL_TIMESTAMP_STRUCT{2020, 2, 13, 8, 60, 0, 0}));
  EXPECT_FALSE(DateTimeOf(SQL_TIMESTAMP_STRUCT{2020, 2, 13, 8, 0, 0, 1'000'000'000}));
}

TEST(OdbcText, Utf8AndUtf16BothWays) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a é € 😀
  const std::vector<SQLWCHAR> units = ToSqlWide(text);
  EXPECT_EQ(units, (std::vector<SQLWCHAR>{0x61, 0xE9, 0x20AC, 0xD83D, 0xDE00}));
  EXPECT_EQ(FromSqlWide(units.data(), units.size()), text);
  // Lone surrogates and invalid UTF-8 become U+FFFD.
  const SQLWCHAR lone[] = {0x61, 0xD83D, 0x62, 0xDE00};
  EXPECT_EQ(FromSqlWide(lone, 4), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
  EXPECT_EQ(ToSqlWide("x\xFFy"), (std::vector<SQLWCHAR>{0x78, 0xFFFD, 0x79}));
  EXPECT_TRUE(ToSqlWide("").empty());
}

TEST(OdbcParameter, EachValueKindBindsWithItsType) {
  struct Case {
    Value value;
    SQLSMALLINT cType, sqlType;
    SQLLEN indicator;
  } cases[] = {
      {Value(42), SQL_C_SLONG, SQL_INTEGER, 0},
      {Value(std::int64_t{1} << 40), SQL_C_SBIGINT, SQL_BIGINT, 0},
      {Value(std::int64_t{std::numeric_limits<std::int32_t>::min()}), SQL_C_SLONG, SQL_INTEGER, 0},
      {Value(2.5), SQL_C_DOUBLE, SQL_DOUBLE, 0},
      {Value(true), SQL_C_BIT, SQL_BIT, 0},
      {Value("\xC3\xA9t\xC3\xA9"), SQL_C_WCHAR, SQL_WVARCHAR, 6},
      {Value(""), SQL_C_WCHAR, SQL_WVARCHAR, 0},
      {Value(std::string(5000, 'x')), SQL_C_WCHAR, SQL_WLONGVARCHAR, 10000},
      {Value(), SQL_C_WCHAR, SQL_WVARCHAR, SQL_NULL_DATA},
  };
  for (const Case& c : cases) {
    OdbcParameter parameter(c.value);
    EXPECT_EQ(parameter.CType(), c.cType);
    EXPECT_EQ(parameter.SqlType(), c.sqlType);
    EXPECT_EQ(*parameter.Indicator(), c.indicator);
    // The empty text is a value, not NULL: it needs a buffer.
    if (!c.value.IsNull()) {
      EXPECT_NE(parameter.Buffer(), nullptr);
    }
  }
  OdbcParameter big(Value(std::int64_t{1} << 40));
  EXPECT_EQ(*static_cast<SQLBIGINT*>(big.Buffer()), SQLBIGINT{1} << 40);
  EXPECT_THROW(OdbcParameter(Value(std::string("a\0b", 3))), EDatabaseError);
}

}  // namespace
}  // namespace tallyhand
