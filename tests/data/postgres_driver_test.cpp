// The PostgreSQL driver against the test server (scripts/pg-test-server.sh) and the
// reference database.
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <thread>

#include "data/drivers/postgres_driver.h"
#include "data/postgres_test_server.h"
#include "platform/datetime.h"
#include "platform/exception.h"

namespace tallyhand {
namespace {

using testing_pg::SuiteDatabaseHolder;

class PostgresDriverTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { holder_.SetUp(); }
  static void TearDownTestSuite() { holder_.TearDown(); }

  void SetUp() override {
    ASSERT_NE(holder_.Get(), nullptr) << holder_.Why();
    driver_ = MakePostgresDriver(holder_.Get()->Definition(), {});
    connection_ = driver_->Connect();
  }

  std::unique_ptr<TResultSet> Run(std::string_view sql, const std::vector<Value>& values = {}) {
    return connection_->Execute(sql, values);
  }

  std::string Message(std::string_view sql, const std::vector<Value>& values = {}) {
    try {
      Run(sql, values);
    } catch (const EDatabaseError& e) {
      return e.what();
    }
    return "(no error)";
  }

  std::vector<std::string> ColumnNames(const TResultSet& set) {
    std::vector<std::string> names;
    for (const Column& column : set.Columns()) names.push_back(column.name);
    return names;
  }

  static SuiteDatabaseHolder holder_;
  std::unique_ptr<DbDriver> driver_;
  std::unique_ptr<DbConnection> connection_;
};

SuiteDatabaseHolder PostgresDriverTest::holder_;

TEST_F(PostgresDriverTest, EveryFieldTypeReadsBackWithItsType) {
  const auto set = Run("EXECUTE PROCEDURE nvm_Type_Sample();");
  ASSERT_EQ(set->RecordCount(), 1u);
  std::tm local{};
  const std::time_t moment = 1581581109;  // 2020-02-13 08:05:09 UTC
  localtime_r(&moment, &local);
  const TDateTime localStamp =
      EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) +
      (local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + 0.25) / 86400.0;
  const TDateTime day = EncodeDate(2020, 2, 13);
  const TDateTime time = (8 * 3600.0 + 5 * 60 + 9) / 86400.0;
  struct Case {
    const char* column;
    FieldType type;
    Value value;
  } cases[] = {
      {"TextValue", FieldType::String, Value("plain text")},
      {"MemoValue", FieldType::Memo, Value("line one\r\nsay \"hi\" \\ back")},
      {"IntegerValue", FieldType::Integer, Value(42)},
      {"BooleanValue", FieldType::Boolean, Value(true)},
      {"FloatValue", FieldType::Float, Value(1234.5)},
      {"DateValue", FieldType::Date, Value(day)},
      {"TimeValue", FieldType::Time, Value(time)},
      {"DateTimeValue", FieldType::DateTime, Value(day + time)},
      {"TimeStampValue", FieldType::TimeStamp, Value(localStamp)},
      {"NullText", FieldType::String, Value()},
      {"NullDate", FieldType::Date, Value()},
  };
  ASSERT_EQ(set->FieldCount(), static_cast<int>(std::size(cases)));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    const int index = static_cast<int>(i);
    EXPECT_EQ(set->Columns()[i].name, c.column);
    EXPECT_EQ(set->Columns()[i].type, c.type) << c.column;
    const Value& value = set->At(index);
    if (c.value.IsFloat() && value.IsFloat()) {
      EXPECT_NEAR(value.Float(), c.value.Float(), 1e-9) << c.column;
    } else {
      EXPECT_EQ(value, c.value) << c.column;
    }
  }
}

TEST_F(PostgresDriverTest, CompanyQueryAnswersTheNamesAsWritten) {
  const auto set = Run("Select CompanyNumber,company_name as CompanyName FROM company");
  ASSERT_EQ(ColumnNames(*set), (std::vector<std::string>{"CompanyNumber", "CompanyName"}));
  EXPECT_EQ(set->Columns()[0].type, FieldType::Integer);
  EXPECT_EQ(set->RecordCount(), 4u);
  EXPECT_FALSE(set->Eof());
}

TEST_F(PostgresDriverTest, EveryProcedureAnswersTheColumnsItsCallersRead) {
  struct Case {
    const char* sql;
    std::vector<Value> values;
    std::vector<std::string> columns;  // in this order, spelled so
    std::size_t rows;
  } cases[] = {
      {"EXECUTE PROCEDURE nvm_GetMobileCompanyNames_Lookup();", {},
       {"CompanyNumber", "CompanyName"}, 4},
      {"EXECUTE PROCEDURE nvSy1_NVQIX_MobileUserLogin(:CompanyID,:UserID,:Password);",
       {Value(3), Value("jsmith"), Value("secret")}, {"UserID", "UseHasMobileAccess"}, 1},
      {"EXECUTE PROCEDURE nvm_DailyReportRecord_List(:a,:b,:c);", {Value("42"), Value(""), Value(0)},
       {"PMID", "Job", "WorkDate", "Notes"}, 2},
      {"EXECUTE PROCEDURE nvm_DailyReportRecord_Write(:a,:b,:c,:d,:e,:f);",
       {Value("42"), Value(0), Value("JOB 2"), Value("03/01/2020"), Value(""), Value("")},
       {"ResultStatus", "ResultCode", "ResultMessage", "PMID"}, 1},
      {"EXECUTE PROCEDURE nvm_az_DailyReportTimeCardRecord_Write(42, 0, 1, '02/13/2020', '1042', "
       "'07:00', '11:00', '4', '100', 'Loader', 'Morning', 'JOB 1', 'Open');", {},
       {"ResultStatus", "ResultCode", "ResultMessage", "TimeCardID", "PMID"}, 1},
      {"EXECUTE PROCEDURE nvm_az_DailyReportTimeCardRecord_WithCount_Write(42, 0, 1, '02/13/2020', "
       "'1042', '07:00', '11:00', '4', '100', '', '', 'JOB 1', 'Open', 2);", {},
       {"ResultStatus", "ResultCode", "ResultMessage", "TimeCardID", "PMID"}, 1},
      {"EXECUTE PROCEDURE nvm_DailyReportTimeCardRecord_Write(42, 0, 1, '02/13/2020', '1042', "
       "'12:00', '16:00', '4', '100', '', '', 'JOB 1', 'Open');", {},
       {"ResultStatus", "ResultCode", "ResultMessage", "TimeCardID", "PMID"}, 1},
      {"EXECUTE PROCEDURE nvm_az_DailyReportPELKEmployeePicture_Upload2(42,1,1042,"
       "'/srv/mobiletcimages/a.jpg',1,40.7128,-74.006,'02/13/2020 08:00:00','','ts1','dev1');", {},
       {"ResultStatus", "ResultCode", "ResultMessage", "PictureID", "FileName"}, 1},
      {"EXECUTE PROCEDURE nvm_DailyReportPELKEmployeePicture_Upload2(42,1,1042,"
       "'/srv/mobiletcimages/b.jpg',2,40.7128,-74.006,'02/13/2020 16:00:00','02/13/2020 08:00:00');",
       {}, {"ResultStatus", "ResultCode", "ResultMessage", "PictureID", "FileName"}, 1},
      {"EXECUTE PROCEDURE nvm_Answer_Write(42, 7, 'Yes');", {},
       {"ResultStatus", "ResultCode", "ResultMessage", "AnswerID"}, 1},
      {"EXECUTE PROCEDURE nvm_Job_List('42');", {}, {"Job", "Description"}, 5},
      {"EXECUTE PROCEDURE nvm_TimeCardRecord_List(42, 2);", {},
       {"TimeCardID", "UserID", "PMID", "WorkDate", "EmployeeNo", "TimeIn", "TimeOut", "Hours",
        "CostCode", "Equipment", "Notes", "Job", "Status", "EntryCount"}, 0},
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
}

TEST_F(PostgresDriverTest, LoginAnswersByCompanyNameAndPassword) {
  struct Case {
    int company;
    const char* user;
    const char* password;
    std::optional<int> userId;  // nullopt: no row
    Value access;
  } cases[] = {
      {3, "jsmith", "secret", 42, Value(true)},
      {3, "mjones", "pass2", 43, Value(false)},
      {3, "nobody", "x", 44, Value()},
      {2, "kwhite", "pw", 45, Value(true)},
      {3, "admin", "admin", 0, Value(true)},
      {3, "ghost", "ghost", -1, Value()},
      {3, "locked", "locked", -2, Value()},
      {3, "jsmith", "Secret", std::nullopt, Value()},
      {1, "jsmith", "secret", std::nullopt, Value()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.user);
    const auto set = Run("EXECUTE PROCEDURE nvSy1_NVQIX_MobileUserLogin(:c,:u,:p);",
                         {Value(c.company), Value(c.user), Value(c.password)});
    if (!c.userId) {
      EXPECT_TRUE(set->Eof());
      continue;
    }
    ASSERT_EQ(set->RecordCount(), 1u);
    EXPECT_EQ(set->FieldByName("UserID").AsInteger(), *c.userId);
    EXPECT_EQ(set->FieldByName("UseHasMobileAccess").AsVariant(), c.access);
  }
}

TEST_F(PostgresDriverTest, ValuesBindByPositionNotByMarkerName) {
  const auto set = Run("SELECT :b AS First, :a AS Second, :b AS Third", {Value(12), Value("x")});
  ASSERT_EQ(ColumnNames(*set), (std::vector<std::string>{"First", "Second", "Third"}));
  EXPECT_EQ(set->FieldByName("First").AsString(), "12");
  EXPECT_EQ(set->FieldByName("Second").AsString(), "x");
  EXPECT_EQ(set->FieldByName("Third").AsString(), "12");
}

TEST_F(PostgresDriverTest, ParameterValuesOfEveryKindArriveUnchanged) {
  const auto set = Run("SELECT :i::int8 AS i, :f::float8 AS f, :b::boolean AS b, :t::text AS t, "
                       ":n::text AS n",
                       {Value(std::int64_t{-9007199254740993}), Value(0.1), Value(false),
                        Value("Zoë \"'\\\n✓"), Value()});
  EXPECT_EQ(set->At(0), Value(std::int64_t{-9007199254740993}));
  EXPECT_EQ(set->At(1), Value(0.1));
  EXPECT_EQ(set->At(2), Value(false));
  EXPECT_EQ(set->At(3), Value("Zoë \"'\\\n✓"));
  EXPECT_TRUE(set->At(4).IsNull());
}

TEST_F(PostgresDriverTest, WritesAcceptInlineLiteralsAndMarkersAlike) {
  struct Case {
    const char* sql;
    std::vector<Value> values;
    const char* day;  // the work date the report gets
  } cases[] = {
      {"EXECUTE PROCEDURE nvm_DailyReportRecord_Write('42', 0, 'JOB 1', '04/01/2020', '', '');", {},
       "04/01/2020"},
      {"EXECUTE PROCEDURE nvm_DailyReportRecord_Write(42, 0, 'JOB 1', '04/02/2020', '', '');", {},
       "04/02/2020"},
      {"execute procedure nvm_DailyReportRecord_Write('42', '0', ' JOB 1 ', '4/3/2020', 'n', 'w');", {},
       "04/03/2020"},
      {"EXECUTE PROCEDURE nvm_DailyReportRecord_Write(:u,:p,:j,:d,:n,:w);",
       {Value("42"), Value(0), Value("JOB 1"), Value("04/04/2020"), Value(""), Value("")}, "04/04/2020"},
      {"EXECUTE PROCEDURE nvm_DailyReportRecord_Write(:u,:p,:j,:d,:n,:w);",
       {Value(42), Value("0"), Value("JOB 1"), Value("04/05/2020"), Value(""), Value("")}, "04/05/2020"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    const auto written = Run(c.sql, c.values);
    ASSERT_EQ(written->FieldByName("ResultStatus").AsInteger(), 0)
        << written->FieldByName("ResultMessage").AsString();
    const int pmid = written->FieldByName("PMID").AsInteger();
    EXPECT_GT(pmid, 2);
    const auto list = Run("EXECUTE PROCEDURE nvm_DailyReportRecord_List(:u,:f,:g);",
                          {Value("42"), Value(""), Value(0)});
    bool found = false;
    for (list->First(); !list->Eof(); list->Next()) {
      if (list->FieldByName("PMID").AsInteger() != pmid) continue;
      found = true;
      EXPECT_EQ(list->FieldByName("Job").AsString(), "JOB 1");
      EXPECT_EQ(FormatDateTime("mm/dd/yyyy", list->FieldByName("WorkDate").AsDateTime()), c.day);
    }
    EXPECT_TRUE(found);
  }
}

TEST_F(PostgresDriverTest, BareNumbersReachTextParameters) {
  // EmployeeNo, Hours and CostCode are text parameters; numbers written bare resolve too.
  const auto written = Run(
      "EXECUTE PROCEDURE nvm_az_DailyReportTimeCardRecord_Write(42, 0, 1, '02/13/2020', 1042, "
      "'07:00', '09:30', 2.5, 100, '', '', 'JOB 1', 'Open');");
  ASSERT_EQ(written->FieldByName("ResultStatus").AsInteger(), 0)
      << written->FieldByName("ResultMessage").AsString();
  const int card = written->FieldByName("TimeCardID").AsInteger();
  const auto cards = Run("EXECUTE PROCEDURE nvm_TimeCardRecord_List(42, 1);");
  bool found = false;
  for (; !cards->Eof(); cards->Next()) {
    if (cards->FieldByName("TimeCardID").AsInteger() != card) continue;
    found = true;
    EXPECT_EQ(cards->FieldByName("EmployeeNo").AsString(), "1042");
    EXPECT_EQ(cards->FieldByName("Hours").AsFloat(), 2.5);
    EXPECT_EQ(cards->FieldByName("CostCode").AsString(), "100");
  }
  EXPECT_TRUE(found);
}

TEST_F(PostgresDriverTest, FailedWritesReportInBandAndWriteNothing) {
  struct Case {
    const char* sql;
  } cases[] = {
      {"EXECUTE PROCEDURE nvm_DailyReportRecord_Write('42', 0, 'JOB 1', '02/30/2020', '', '');"},
      {"EXECUTE PROCEDURE nvm_DailyReportRecord_Write('42', 0, 'JOB 1', 'soon', '', '');"},
      {"EXECUTE PROCEDURE nvm_DailyReportRecord_Write('42', 0, 'NO SUCH JOB', '02/13/2020', '', '');"},
      {"EXECUTE PROCEDURE nvm_az_DailyReportTimeCardRecord_Write(42, 0, 3, '02/13/2020', '', '', '', "
       "'', '', '', '', 'JOB 1', '');"},  // report 3 belongs to user 45
      {"EXECUTE PROCEDURE nvm_az_DailyReportTimeCardRecord_Write(42, 0, 1, '13/02/2020', '', '', '', "
       "'', '', '', '', 'JOB 1', '');"},
  };
  const auto countRows = [this] {
    return Run("SELECT (SELECT count(*) FROM daily_reports) + (SELECT count(*) FROM time_cards) AS n")
        ->FieldByName("n")
        .AsInteger();
  };
  const int before = countRows();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    const auto set = Run(c.sql);
    EXPECT_EQ(set->FieldByName("ResultStatus").AsInteger(), -1);
    EXPECT_EQ(set->FieldByName("ResultCode").AsInteger(), -1);
    EXPECT_FALSE(set->FieldByName("ResultMessage").AsString().empty());
  }
  EXPECT_EQ(countRows(), before);
}

TEST_F(PostgresDriverTest, EmptyResultIsAtItsEndAtOnce) {
  const auto set = Run("EXECUTE PROCEDURE nvm_DailyReportRecord_List(:u,:f,:g);",
                       {Value("43"), Value(""), Value(0)});
  EXPECT_TRUE(set->Eof());
  EXPECT_EQ(set->FieldCount(), 4);
}

TEST_F(PostgresDriverTest, MoreThanOneStatementIsRefusedBeforeAnythingRuns) {
  const int before = Run("SELECT count(*) AS n FROM answers")->FieldByName("n").AsInteger();
  EXPECT_THROW(Run("INSERT INTO answers (UserID, QuestionID, Answer) VALUES (42, 1, 'x'); SELECT 1"),
               EDatabaseError);
  EXPECT_THROW(Run("SELECT 1; SELECT 2"), EDatabaseError);
  EXPECT_EQ(Run("SELECT count(*) AS n FROM answers")->FieldByName("n").AsInteger(), before);
  EXPECT_EQ(Run("SELECT 1 AS one;")->FieldByName("one").AsInteger(), 1);
}

TEST_F(PostgresDriverTest, StatementsWithoutResultSetFail) {
  for (const char* sql : {"UPDATE company SET company_name = company_name WHERE CompanyNumber = -5",
                          "SET search_path TO public", "COPY company TO STDOUT", ""}) {
    SCOPED_TRACE(sql);
    EXPECT_EQ(Message(sql), "statement returned no result set");
  }
  // The connection is still usable afterwards, also after the COPY.
  EXPECT_EQ(Run("SELECT 2 AS two")->FieldByName("two").AsInteger(), 2);
  EXPECT_TRUE(connection_->IsAlive());
}

TEST_F(PostgresDriverTest, SessionChangesOfFailedStatementsDoNotLinger) {
  // An open transaction would hold back every later write of this connection.
  EXPECT_EQ(Message("BEGIN"), "statement returned no result set");
  const auto written = Run("EXECUTE PROCEDURE nvm_Answer_Write(45, 99, 'kept');");
  const int answer = written->FieldByName("AnswerID").AsInteger();
  const auto other = driver_->Connect();
  EXPECT_EQ(other->Execute("SELECT Answer FROM answers WHERE AnswerID = :id", {Value(answer)})
                ->FieldByName("Answer")
                .AsString(),
            "kept");
  // A changed date style would change how dates read.
  EXPECT_EQ(Message("SET DateStyle TO SQL, DMY"), "statement returned no result set");
  EXPECT_EQ(Run("EXECUTE PROCEDURE nvm_Type_Sample();")->FieldByName("DateValue").AsDateTime(),
            EncodeDate(2020, 2, 13));
}

// The system's own statements, kept prepared on the connection, answer as when run
// unprepared, also after a client's text dropped every prepared statement of the session.
TEST_F(PostgresDriverTest, FixedStatementsAnswerAsUnpreparedOnesAndSurviveADroppedSession) {
  const std::string login = "EXECUTE PROCEDURE nvSy1_NVQIX_MobileUserLogin(:c,:u,:p);";
  const std::string list = "EXECUTE PROCEDURE nvm_DailyReportRecord_List(:u,:f,:g);";
  const auto expectSame = [&](const std::string& sql, const std::vector<Value>& values) {
    const auto plain = Run(sql, values);
    const auto fixed = connection_->ExecuteFixed(sql, values);
    ASSERT_EQ(ColumnNames(*fixed), ColumnNames(*plain));
    ASSERT_EQ(fixed->RecordCount(), plain->RecordCount());
    for (; !plain->Eof(); plain->Next(), fixed->Next()) {
      for (std::size_t c = 0; c < plain->Columns().size(); ++c) {
        EXPECT_EQ(fixed->Fields(static_cast<int>(c)).AsVariant(),
                  plain->Fields(static_cast<int>(c)).AsVariant());
        EXPECT_EQ(fixed->Fields(static_cast<int>(c)).DataType(),
                  plain->Fields(static_cast<int>(c)).DataType());
      }
    }
  };
  for (int round = 0; round < 2; ++round) {  // the second round runs the prepared ones
    SCOPED_TRACE(round);
    expectSame(login, {Value(3), Value("jsmith"), Value("secret")});
    expectSame(login, {Value(3), Value("jsmith"), Value("wrong")});
    expectSame(list, {Value("45"), Value(""), Value(0)});
    expectSame("Select CompanyNumber,company_name as CompanyName FROM company", {});
  }
  EXPECT_THROW(connection_->ExecuteFixed(login, {Value(3)}), EDatabaseError);
  EXPECT_THROW(connection_->ExecuteFixed(login, {Value(3), Value("a"), Value("b"), Value(4)}),
               EArgumentOutOfRangeException);
  EXPECT_EQ(Message("DEALLOCATE ALL"), "statement returned no result set");
  expectSame(login, {Value(3), Value("jsmith"), Value("secret")});
  EXPECT_EQ(Message("DISCARD ALL"), "statement returned no result set");
  expectSame(list, {Value("45"), Value(""), Value(0)});
}

TEST_F(PostgresDriverTest, ServerErrorsCarryTheServersMessage) {
  holder_.Get()->Exec(
      "CREATE OR REPLACE FUNCTION th_test_fail() RETURNS TABLE(x int) LANGUAGE plpgsql AS "
      "$$ BEGIN RAISE EXCEPTION 'Job is closed'; END $$");
  EXPECT_EQ(Message("EXECUTE PROCEDURE th_test_fail();"), "Job is closed");
  EXPECT_NE(Message("EXECUTE PROCEDURE nvm_NoSuchProcedure(1);").find("does not exist"),
            std::string::npos);
  EXPECT_NE(Message("SELEC 1").find("syntax error"), std::string::npos);
  EXPECT_EQ(Run("SELECT 3 AS three")->FieldByName("three").AsInteger(), 3);
}

TEST_F(PostgresDriverTest, ValueCountMustMatchTheMarkers) {
  EXPECT_THROW(Run("SELECT :a AS a", {Value(1), Value(2)}), EArgumentOutOfRangeException);
  EXPECT_EQ(Message("SELECT :a AS a, :b AS b", {Value(1)}), "Parameter 'b' has no value");
  EXPECT_THROW(Run("SELECT :a AS a", {Value(std::string("a\0b", 3))}), EDatabaseError);
}

TEST_F(PostgresDriverTest, ConnectFailuresRaiseTheClientsMessage) {
  ConnectionDef wrongPassword = holder_.Get()->Definition();
  wrongPassword.Set("Password", "wrong");
  try {
    MakePostgresDriver(wrongPassword, {})->Connect();
    ADD_FAILURE() << "connected with a wrong password";
  } catch (const EDatabaseError& e) {
    EXPECT_NE(std::string(e.what()).find("password authentication failed"), std::string::npos)
        << e.what();
  }
  ConnectionDef noSuchDatabase = holder_.Get()->Definition();
  noSuchDatabase.Set("Database", "th_no_such_database");
  EXPECT_THROW(MakePostgresDriver(noSuchDatabase, {})->Connect(), EDatabaseError);
}

TEST_F(PostgresDriverTest, ClosedConnectionIsNotAlive) {
  EXPECT_TRUE(connection_->IsAlive());
  connection_->Close();
  EXPECT_FALSE(connection_->IsAlive());
  EXPECT_THROW(Run("SELECT 1"), EDatabaseError);
}

TEST_F(PostgresDriverTest, ConnectionTheServerDroppedIsNotAlive) {
  const int pid = Run("SELECT pg_backend_pid() AS pid")->FieldByName("pid").AsInteger();
  const auto other = driver_->Connect();
  // With a timeout the call returns once the backend has gone.
  ASSERT_TRUE(other->Execute("SELECT pg_terminate_backend(:pid, 10000) AS done", {Value(pid)})
                  ->FieldByName("done")
                  .AsBoolean());
  EXPECT_FALSE(connection_->IsAlive());
  EXPECT_THROW(Run("SELECT 1 AS one"), EDatabaseError);
  EXPECT_TRUE(other->IsAlive());
}

// After a statement the pool asks whether the connection may go back without asking the
// server: a failed statement on a sound connection keeps it, a dropped one does not.
TEST_F(PostgresDriverTest, ConnectionGoesBackToThePoolUnlessAStatementFoundItDropped) {
  ASSERT_NO_THROW(Run("SELECT 1 AS one"));
  EXPECT_TRUE(connection_->StillUsableAfterStatement());
  EXPECT_THROW(Run("SELECT 1 / 0 AS boom"), EDatabaseError);
  EXPECT_TRUE(connection_->StillUsableAfterStatement());
  EXPECT_THROW(Run("SELECT * FROM th_no_such_table"), EDatabaseError);
  EXPECT_TRUE(connection_->StillUsableAfterStatement());
  EXPECT_TRUE(connection_->IsAlive());

  const int pid = Run("SELECT pg_backend_pid() AS pid")->FieldByName("pid").AsInteger();
  const auto other = driver_->Connect();
  ASSERT_TRUE(other->Execute("SELECT pg_terminate_backend(:pid, 10000) AS done", {Value(pid)})
                  ->FieldByName("done")
                  .AsBoolean());
  EXPECT_THROW(Run("SELECT 1 AS one"), EDatabaseError);
  EXPECT_FALSE(connection_->StillUsableAfterStatement());
  EXPECT_FALSE(connection_->IsAlive());
  EXPECT_TRUE(other->StillUsableAfterStatement());
}

TEST_F(PostgresDriverTest, ConnectionsOnManyThreadsAtOnce) {
  constexpr int kThreads = 25;
  constexpr int kRounds = 8;
  std::atomic<int> failures{0};
  std::atomic<int> successes{0};
  std::vector<std::string> errors(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      try {
        const auto connection = driver_->Connect();
        for (int round = 0; round < kRounds; ++round) {
          const auto login = connection->Execute(
              "EXECUTE PROCEDURE nvSy1_NVQIX_MobileUserLogin(:c,:u,:p);",
              {Value(3), Value("jsmith"), Value("secret")});
          if (login->FieldByName("UserID").AsInteger() != 42) throw EDatabaseError("wrong login");
          const auto write = connection->Execute(
              "EXECUTE PROCEDURE nvm_DailyReportRecord_Write(:u,:p,:j,:d,:n,:w);",
              {Value("45"), Value(0), Value("X1"), Value("05/01/2021"), Value("thread"), Value("")});
          if (write->FieldByName("ResultStatus").AsInteger() != 0) throw EDatabaseError("write failed");
          ++successes;
        }
      } catch (const std::exception& e) {
        errors[static_cast<std::size_t>(t)] = e.what();
        ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  for (const std::string& error : errors) EXPECT_EQ(error, "");
  EXPECT_EQ(successes.load(), kThreads * kRounds);
  EXPECT_EQ(Run("SELECT count(*) AS n FROM daily_reports WHERE notes = 'thread'")
                ->FieldByName("n")
                .AsInteger(),
            kThreads * kRounds);
}

}  // namespace
}  // namespace tallyhand
