// The ODBC driver with real drivers: Debian's PostgreSQL driver (psqlODBC) against the
// test server (scripts/pg-test-server.sh) and the reference database, and Debian's SQLite
// ODBC driver against the SQLite reference database.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "data/drivers/odbc_driver.h"
#include "data/odbc_test_drivers.h"
#include "data/postgres_test_server.h"
#include "data/reference_db.h"
#include "platform/datetime.h"
#include "platform/exception.h"

namespace tallyhand {
namespace {

using testing_pg::SuiteDatabaseHolder;

std::vector<std::string> ColumnNames(const TResultSet& set) {
  std::vector<std::string> names;
  for (const Column& column : set.Columns()) names.push_back(column.name);
  return names;
}

struct ExpectedColumn {
  const char* name;
  FieldType type;
  Value value;  // a float for a date-time; checked to 1e-9
  bool anyFloat = false;  // the value is not checked, only that it is a float
};

// The set's columns and the values of its first row.
void ExpectColumns(const TResultSet& set, const std::vector<ExpectedColumn>& expected) {
  ASSERT_EQ(set.FieldCount(), static_cast<int>(expected.size()));
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const ExpectedColumn& c = expected[i];
    const Value& value = set.At(static_cast<int>(i));
    EXPECT_EQ(set.Columns()[i].name, c.name);
    EXPECT_EQ(set.Columns()[i].type, c.type) << c.name;
    if (c.anyFloat) {
      EXPECT_TRUE(value.IsFloat()) << c.name;
    } else if (c.value.IsFloat() && value.IsFloat()) {
      EXPECT_NEAR(value.Float(), c.value.Float(), 1e-9) << c.name;
    } else {
      EXPECT_EQ(value, c.value) << c.name;
    }
  }
}

std::string MessageOf(const std::function<void()>& run) {
  try {
    run();
  } catch (const EDatabaseError& e) {
    return e.what();
  }
  return "(no error)";
}

class OdbcPostgresTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    testing_odbc::UseTestDriverRegistry();
    holder_.SetUp();
  }
  static void TearDownTestSuite() { holder_.TearDown(); }

  void SetUp() override {
    ASSERT_NE(holder_.Get(), nullptr) << holder_.Why();
    driver_ = MakeOdbcDriver(Definition(), {});
    connection_ = driver_->Connect();
  }

  // The test database through psqlODBC, with the test server's credentials.
  static ConnectionDef Definition() {
    const testing_pg::ServerSettings& server = holder_.Get()->Settings();
    ConnectionDef def;
    for (const auto& [name, value] :
         testing_odbc::PostgresOdbcParameters(server.host, server.port, holder_.Get()->Name()))
      def.Set(name, value);
    def.Set("User_Name", server.user);
    def.Set("Password", server.password);
    return def;
  }

  std::unique_ptr<TResultSet> Run(std::string_view sql, const std::vector<Value>& values = {}) {
    return connection_->Execute(sql, values);
  }
  std::string Message(std::string_view sql, const std::vector<Value>& values = {}) {
    return MessageOf([&] { Run(sql, values); });
  }

  static SuiteDatabaseHolder holder_;
  std::unique_ptr<DbDriver> driver_;
  std::unique_ptr<DbConnection> connection_;
};

SuiteDatabaseHolder OdbcPostgresTest::holder_;

TEST_F(OdbcPostgresTest, EveryFieldTypeReadsBackWithItsType) {
  const auto set = Run("EXECUTE PROCEDURE nvm_Type_Sample();");
  ASSERT_EQ(set->RecordCount(), 1u);
  const TDateTime day = EncodeDate(2020, 2, 13);
  const TDateTime time = (8 * 3600.0 + 5 * 60 + 9) / 86400.0;
  ExpectColumns(*set, {
      {"TextValue", FieldType::String, Value("plain text")},
      {"MemoValue", FieldType::Memo, Value("line one\r\nsay \"hi\" \\ back")},
      {"IntegerValue", FieldType::Integer, Value(42)},
      {"BooleanValue", FieldType::Boolean, Value(true)},
      {"FloatValue", FieldType::Float, Value(1234.5)},
      {"DateValue", FieldType::Date, Value(day)},
      {"TimeValue", FieldType::Time, Value(time)},
      {"DateTimeValue", FieldType::TimeStamp, Value(day + time)},
      // In the server session's time zone.
      {"TimeStampValue", FieldType::TimeStamp, Value(), true},
      {"NullText", FieldType::String, Value()},
      {"NullDate", FieldType::Date, Value()},
  });
}

TEST_F(OdbcPostgresTest, ProceduresAnswerTheColumnsTheirCallersRead) {
  struct Case {
    const char* sql;
    std::vector<Value> values;
    std::vector<std::string> columns;
    std::size_t rows;
  } cases[] = {
      {"EXECUTE PROCEDURE nvm_GetMobileCompanyNames_Lookup();", {},
       {"CompanyNumber", "CompanyName"}, 4},
      {"EXECUTE PROCEDURE nvSy1_NVQIX_MobileUserLogin(:CompanyID,:UserID,:Password);",
       {Value(3), Value("jsmith"), Value("secret")}, {"UserID", "UseHasMobileAccess"}, 1},
      // The user id comes as text for an integer parameter.
      {"EXECUTE PROCEDURE nvm_DailyReportRecord_List(:a,:b,:c);", {Value("42"), Value(""), Value(0)},
       {"PMID", "Job", "WorkDate", "Notes"}, 2},
      {"EXECUTE PROCEDURE nvm_DailyReportRecord_Write(:a,:b,:c,:d,:e,:f);",
       {Value("42"), Value(0), Value("JOB 2"), Value("03/01/2020"), Value(""), Value("")},
       {"ResultStatus", "ResultCode", "ResultMessage", "PMID"}, 1},
      {"EXECUTE PROCEDURE nvm_az_DailyReportPELKEmployeePicture_Upload2(42,1,1042,"
       "'/srv/mobiletcimages/a.jpg',1,40.7128,-74.006,'02/13/2020 08:00:00','','ts1','dev1');", {},
       {"ResultStatus", "ResultCode", "ResultMessage", "PictureID", "FileName"}, 1},
      {"execute procedure nvm_Answer_Write(42, 7, 'Yes')", {},
       {"ResultStatus", "ResultCode", "ResultMessage", "AnswerID"}, 1},
      {"EXECUTE PROCEDURE nvm_Job_List('42');", {}, {"Job", "Description"}, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    std::unique_ptr<TResultSet> set;
    ASSERT_NO_THROW(set = Run(c.sql, c.values));
    EXPECT_EQ(ColumnNames(*set), c.columns);
    EXPECT_EQ(set->RecordCount(), c.rows);
    if (set->HasField("ResultStatus")) {
      EXPECT_EQ(set->FieldByName("ResultStatus").AsInteger(), 0)
          << set->FieldByName("ResultMessage").AsString();
    }
  }
  const auto login = Run("EXECUTE PROCEDURE nvSy1_NVQIX_MobileUserLogin(:c,:u,:p);",
                         {Value(3), Value("jsmith"), Value("secret")});
  EXPECT_EQ(login->FieldByName("UserID").AsVariant(), Value(42));
  EXPECT_EQ(login->FieldByName("UseHasMobileAccess").AsVariant(), Value(true));
}

TEST_F(OdbcPostgresTest, PlainStatementsGoAsWrittenWithTheNamesTheServerReports) {
  const auto set = Run("Select CompanyNumber,company_name as CompanyName FROM company");
  // PostgreSQL folds unquoted names; the driver keeps what it is told.
  EXPECT_EQ(ColumnNames(*set), (std::vector<std::string>{"companynumber", "companyname"}));
  EXPECT_EQ(set->RecordCount(), 4u);
  EXPECT_EQ(set->FieldByName("CompanyName").AsString(), "Acme Builders");
  // Native calls go unchanged, in the accounting server's own syntax, which this server
  // does not speak.
  ConnectionDef native = Definition();
  native.Set("ProcedureCall", "Native");
  const std::string message = MessageOf(
      [&] { MakeOdbcDriver(native, {})->Connect()->Execute("EXECUTE PROCEDURE nvm_Job_List(42)", {}); });
  EXPECT_NE(message.find("syntax error"), std::string::npos) << message;
}

TEST_F(OdbcPostgresTest, ValuesBindByPositionWithTheirTypes) {
  const auto set = Run("SELECT :b AS first, :a AS second, :b AS third", {Value(12), Value("x")});
  EXPECT_EQ(set->Fields(0).AsString(), "12");
  EXPECT_EQ(set->Fields(1).AsString(), "x");
  EXPECT_EQ(set->Fields(2).AsString(), "12");

  // Characters beyond one byte and beyond the 16-bit plane, also across the pieces a
  // long text is read in.
  const std::string wide = "Zo\xC3\xAB \"'\\\n\xE2\x9C\x93 \xF0\x9F\x98\x80";
  std::string longText;
  while (longText.size() < 9000) longText += "\xF0\x9F\x98\x80" "ab\xC3\xA9";
  const auto kinds = Run(
      "SELECT CAST(:i AS int8) AS i, CAST(:f AS float8) AS f, CAST(:b AS boolean) AS b, "
      "CAST(:t AS text) AS t, CAST(:n AS text) AS n, CAST(:e AS text) AS e, CAST(:l AS text) AS l",
      {Value(std::int64_t{-9007199254740993}), Value(0.1), Value(false), Value(wide), Value(),
       Value(""), Value(longText)});
  EXPECT_EQ(kinds->At(0), Value(std::int64_t{-9007199254740993}));
  EXPECT_EQ(kinds->At(1), Value(0.1));
  EXPECT_EQ(kinds->At(2), Value(false));
  EXPECT_EQ(kinds->At(3), Value(wide));
  EXPECT_TRUE(kinds->At(4).IsNull());
  EXPECT_EQ(kinds->At(5), Value(""));
  EXPECT_EQ(kinds->At(6), Value(longText));

  EXPECT_THROW(Run("SELECT :a AS a", {Value(1), Value(2)}), EArgumentOutOfRangeException);
  EXPECT_EQ(Message("SELECT :a AS a, :b AS b", {Value(1)}), "Parameter 'b' has no value");
}

TEST_F(OdbcPostgresTest, FailuresCarryTheDriversMessageOnOneLine) {
  holder_.Get()->Exec(
      "CREATE OR REPLACE FUNCTION th_test_fail() RETURNS TABLE(x int) LANGUAGE plpgsql AS "
      "$$ BEGIN RAISE EXCEPTION 'Job is closed'; END $$");
  const std::pair<const char*, const char*> cases[] = {
      {"EXECUTE PROCEDURE th_test_fail();", "Job is closed"},
      {"EXECUTE PROCEDURE nvm_NoSuchProcedure(1);", "does not exist"},
      {"SELEC 1", "syntax error"},
      {"SELECT 1; SELECT 2", "more than one statement"},
  };
  for (const auto& [sql, mention] : cases) {
    SCOPED_TRACE(sql);
    const std::string message = Message(sql);
    EXPECT_NE(message.find(mention), std::string::npos) << message;
    EXPECT_EQ(message.find_first_of("\r\n\t"), std::string::npos) << message;
  }
  // A failed statement leaves the connection usable.
  EXPECT_TRUE(connection_->IsAlive());
  EXPECT_EQ(Run("SELECT 3 AS three")->FieldByName("three").AsInteger(), 3);
}

TEST_F(OdbcPostgresTest, StatementsWithoutResultSetFailAndTheirConnectionIsNotReused) {
  for (const char* sql : {"UPDATE company SET company_name = company_name WHERE CompanyNumber = -5",
                          "DELETE FROM answers WHERE AnswerID < 0", "BEGIN"}) {
    SCOPED_TRACE(sql);
    const auto connection = driver_->Connect();
    EXPECT_EQ(MessageOf([&] { connection->Execute(sql, {}); }), "statement returned no result set");
    // It may have changed the session (an open transaction would hold back later writes).
    EXPECT_FALSE(connection->IsAlive());
  }
  EXPECT_TRUE(connection_->IsAlive());
}

TEST_F(OdbcPostgresTest, QueryTimeoutEndsAStatementThatRunsTooLong) {
  ConnectionDef def = Definition();
  def.Set("QueryTimeout", "1");
  const auto connection = MakeOdbcDriver(def, {})->Connect();
  const std::string message = MessageOf([&] { connection->Execute("SELECT pg_sleep(30) AS s", {}); });
  EXPECT_NE(message, "(no error)");
  EXPECT_TRUE(connection->IsAlive()) << message;
  EXPECT_EQ(connection->Execute("SELECT 4 AS four", {})->FieldByName("four").AsInteger(), 4);
}

TEST_F(OdbcPostgresTest, CredentialsReachTheServerIntact) {
  // Blanks inside, '=', ';', braces, blanks at both ends and a letter above 127.
  const std::string user = "odbc user=" + std::to_string(getpid());
  const std::string password = " p;a}s{s=w\xC3\xB6rd ";
  holder_.Get()->Exec("CREATE ROLE \"" + user + "\" LOGIN PASSWORD '" + password + "'");
  ConnectionDef def = Definition();
  def.Set("User_Name", user);
  def.Set("Password", password);
  std::string answer;
  EXPECT_NO_THROW(answer = MakeOdbcDriver(def, {})
                               ->Connect()
                               ->Execute("SELECT current_user AS u", {})
                               ->FieldByName("u")
                               .AsString());
  EXPECT_EQ(answer, user);
  def.Set("Password", password.substr(1));
  const std::string refused = MessageOf([&] { MakeOdbcDriver(def, {})->Connect(); });
  EXPECT_NE(refused.find("password authentication failed"), std::string::npos) << refused;
  holder_.Get()->Exec("DROP ROLE \"" + user + "\"");
}

TEST_F(OdbcPostgresTest, ClosedConnectionIsNotAlive) {
  EXPECT_TRUE(connection_->IsAlive());
  connection_->Close();
  EXPECT_FALSE(connection_->IsAlive());
  EXPECT_THROW(Run("SELECT 1 AS one"), EDatabaseError);
}

// A terminated backend is noticed by the connection that meets it, and the connections
// opened before it are taken for dead too; those opened afterwards are not.
TEST_F(OdbcPostgresTest, ALostLinkMarksTheConnectionsOpenedBeforeItDead) {
  const auto idle = driver_->Connect();
  const int pid = Run("SELECT pg_backend_pid() AS pid")->FieldByName("pid").AsInteger();
  const auto other = MakeOdbcDriver(Definition(), {})->Connect();
  ASSERT_TRUE(other->Execute("SELECT pg_terminate_backend(:pid, 10000) AS done", {Value(pid)})
                  ->FieldByName("done")
                  .AsBoolean());
  EXPECT_TRUE(idle->IsAlive());  // nothing has noticed yet
  EXPECT_THROW(Run("SELECT 1 AS one"), EDatabaseError);
  EXPECT_FALSE(connection_->IsAlive());
  EXPECT_FALSE(idle->IsAlive());
  EXPECT_TRUE(other->IsAlive());  // another driver's connection
  const auto fresh = driver_->Connect();
  EXPECT_TRUE(fresh->IsAlive());
  EXPECT_EQ(fresh->Execute("SELECT 2 AS two", {})->FieldByName("two").AsInteger(), 2);
}

// Debian's SQLite ODBC driver on the SQLite reference database: plain statements and the
// field types of the column types.
class OdbcSqliteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_odbc::UseTestDriverRegistry();
    char pattern[] = "/tmp/tallyhand-odbc-sqlite-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    CreateSqliteReferenceDb(folder_ + "/tallyhand.db");
    ConnectionDef def;
    def.Set("DriverID", "ODBC");
    def.Set("ODBCDriver", testing_odbc::kSqliteDriver);
    def.Set("Database", folder_ + "/tallyhand.db");
    connection_ = MakeOdbcDriver(def, {})->Connect();
  }
  void TearDown() override {
    connection_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  std::string folder_;
  std::unique_ptr<DbConnection> connection_;
};

TEST_F(OdbcSqliteTest, CompanyStatementAndBoundValues) {
  const auto set =
      connection_->Execute("Select CompanyNumber,company_name as CompanyName FROM company", {});
  EXPECT_EQ(ColumnNames(*set), (std::vector<std::string>{"CompanyNumber", "CompanyName"}));
  EXPECT_EQ(set->Columns()[0].type, FieldType::Integer);
  EXPECT_EQ(set->RecordCount(), 4u);
  EXPECT_EQ(set->FieldByName("CompanyName").AsString(), "Acme Builders");

  const auto bound = connection_->Execute(
      "SELECT company_name AS name, :t AS t FROM company WHERE CompanyNumber = :n",
      {Value("N\xC3\xB6rthwind \xE2\x82\xAC"), Value(2)});
  ASSERT_EQ(bound->RecordCount(), 1u);
  EXPECT_EQ(bound->FieldByName("name").AsString(), "Northwind Paving");
  EXPECT_EQ(bound->FieldByName("t").AsString(), "N\xC3\xB6rthwind \xE2\x82\xAC");
}

TEST_F(OdbcSqliteTest, ColumnTypesGiveTheirFieldTypes) {
  const auto set = connection_->Execute("SELECT * FROM type_samples", {});
  ASSERT_EQ(set->RecordCount(), 1u);
  const TDateTime day = EncodeDate(2020, 2, 13);
  const TDateTime time = (8 * 3600.0 + 5 * 60 + 9) / 86400.0;
  ExpectColumns(*set, {
      {"TextValue", FieldType::Memo, Value("plain text")},  // TEXT is a long character type
      {"MemoValue", FieldType::Memo, Value("line one\r\nsay \"hi\" \\ back")},
      {"IntegerValue", FieldType::Integer, Value(42)},
      {"BooleanValue", FieldType::Boolean, Value(true)},
      {"FloatValue", FieldType::Float, Value(1234.5)},
      {"DateValue", FieldType::Date, Value(day)},
      {"TimeValue", FieldType::Time, Value(time)},
      {"DateTimeValue", FieldType::TimeStamp, Value(day + time)},
      {"TimeStampValue", FieldType::TimeStamp, Value(day + time + 0.25 / 86400)},
      {"NullText", FieldType::Memo, Value()},
      {"NullDate", FieldType::Date, Value()},
  });
}

}  // namespace
}  // namespace tallyhand
