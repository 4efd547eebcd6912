#include "data/drivers/sqlite_driver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "data/driver.h"
#include "data/sqlite_site_fixture.h"
#include "platform/datetime.h"
#include "platform/exception.h"

namespace tallyhand {
namespace {

using testing::TempSite;

class SqliteDriverTest : public ::testing::Test {
 protected:
  SqliteDriverTest() {
    site_.CreateDemoDb();
    ConnectionDef def;
    def.Set("DriverID", "SQLite");
    def.Set("Database", "tallyhand.db");
    driver_ = MakeDriver(def, site_.Folder(), ConnectionDef());
    connection_ = driver_->Connect();
  }

  std::unique_ptr<TResultSet> Run(const std::string& sql, const std::vector<Value>& values = {}) {
    return connection_->Execute(sql, values);
  }
  std::int64_t Count(const std::string& table) {
    return Run("SELECT count(*) AS n FROM " + table)->Fields(0).AsVariant().Integer();
  }

  TempSite site_;
  std::unique_ptr<DbDriver> driver_;
  std::unique_ptr<DbConnection> connection_;
};

std::vector<std::string> ColumnNames(const TResultSet& set) {
  std::vector<std::string> names;
  for (const Column& column : set.Columns()) names.push_back(column.name);
  return names;
}

TEST_F(SqliteDriverTest, TypeSampleReportsEveryFieldType) {
  const auto set = Run("EXECUTE PROCEDURE nvm_Type_Sample();");
  ASSERT_FALSE(set->Eof());
  struct Expected {
    const char* column;
    FieldType type;
  };
  for (const Expected& e : {Expected{"TextValue", FieldType::String},
                            Expected{"MemoValue", FieldType::Memo},
                            Expected{"IntegerValue", FieldType::Integer},
                            Expected{"BooleanValue", FieldType::Boolean},
                            Expected{"FloatValue", FieldType::Float},
                            Expected{"DateValue", FieldType::Date},
                            Expected{"TimeValue", FieldType::Time},
                            Expected{"DateTimeValue", FieldType::DateTime},
                            Expected{"TimeStampValue", FieldType::TimeStamp},
                            Expected{"NullText", FieldType::String},
                            Expected{"NullDate", FieldType::Date}}) {
    EXPECT_EQ(set->FieldByName(e.column).DataType(), e.type) << e.column;
  }
  EXPECT_EQ(set->FieldByName("TextValue").AsVariant(), Value("plain text"));
  EXPECT_EQ(set->FieldByName("MemoValue").AsVariant(), Value("line one\r\nsay \"hi\" \\ back"));
  EXPECT_EQ(set->FieldByName("IntegerValue").AsVariant(), Value(42));
  EXPECT_EQ(set->FieldByName("BooleanValue").AsVariant(), Value(true));
  EXPECT_EQ(set->FieldByName("FloatValue").AsVariant(), Value(1234.5));
  const TDateTime date = EncodeDate(2020, 2, 13);
  const TDateTime time = EncodeTime(8, 5, 9);
  EXPECT_DOUBLE_EQ(set->FieldByName("DateValue").AsVariant().Float(), date);
  EXPECT_DOUBLE_EQ(set->FieldByName("TimeValue").AsVariant().Float(), time);
  EXPECT_DOUBLE_EQ(set->FieldByName("DateTimeValue").AsVariant().Float(), date + time);
  EXPECT_DOUBLE_EQ(set->FieldByName("TimeStampValue").AsVariant().Float(),
                   date + EncodeTime(8, 5, 9, 250));
  EXPECT_TRUE(set->FieldByName("NullText").IsNull());
  EXPECT_TRUE(set->FieldByName("NullDate").IsNull());
}

TEST_F(SqliteDriverTest, UndeclaredColumnsTakeTheirTypeFromTheFirstValue) {
  const auto set = Run("SELECT NULL AS a, 1 AS b, 2.5 AS c, 'x' AS d UNION ALL SELECT 7, 2, 3, 4");
  EXPECT_EQ(set->Columns()[0].type, FieldType::Integer);
  EXPECT_EQ(set->Columns()[1].type, FieldType::Integer);
  EXPECT_EQ(set->Columns()[2].type, FieldType::Float);
  EXPECT_EQ(set->Columns()[3].type, FieldType::String);
}

TEST_F(SqliteDriverTest, EmptyTextsAndBlobsAreEmptyStringsAndBlobsKeepTheirBytes) {
  const auto set = Run("SELECT '' AS e, x'' AS b, x'410042' AS c, NULL AS n");
  EXPECT_EQ(set->FieldByName("e").AsVariant(), Value(""));
  EXPECT_EQ(set->FieldByName("b").AsVariant(), Value(""));
  EXPECT_EQ(set->FieldByName("c").AsVariant(), Value(std::string("A\0B", 3)));
  EXPECT_TRUE(set->FieldByName("n").IsNull());
}

TEST_F(SqliteDriverTest, ADateHoldingATimeOfDayKeepsIt) {
  const auto set = Run("EXECUTE PROCEDURE nvm_DailyReportRecord_List(:u, :f, :g)", {"45", "", 0});
  double last = 0;
  for (; !set->Eof(); set->Next()) last = set->FieldByName("WorkDate").AsVariant().Float();
  EXPECT_DOUBLE_EQ(last, EncodeDate(2020, 3, 13) + EncodeTime(7, 30, 0));
}

struct ProcedureCase {
  const char* sql;
  std::vector<Value> values;
  std::vector<std::string> columns;
  std::size_t rows;
};

class ReferenceProcedureTest : public SqliteDriverTest,
                               public ::testing::WithParamInterface<ProcedureCase> {};

TEST_P(ReferenceProcedureTest, AnswersTheColumnsItsCallersRead) {
  const ProcedureCase& c = GetParam();
  const auto set = Run(c.sql, c.values);
  EXPECT_EQ(ColumnNames(*set), c.columns);
  EXPECT_EQ(set->RecordCount(), c.rows);
  if (set->HasField("ResultStatus") && !set->Eof()) {
    EXPECT_EQ(set->FieldByName("ResultStatus").AsVariant(), Value(0))
        << set->FieldByName("ResultMessage").AsString();
  }
}

const std::vector<std::string> kCompanyColumns = {"CompanyNumber", "CompanyName"};
const std::vector<std::string> kStatusColumns = {"ResultStatus", "ResultCode", "ResultMessage"};
std::vector<std::string> StatusAnd(std::vector<std::string> more) {
  std::vector<std::string> columns = kStatusColumns;
  columns.insert(columns.end(), more.begin(), more.end());
  return columns;
}

INSTANTIATE_TEST_SUITE_P(
    Catalog, ReferenceProcedureTest,
    ::testing::Values(
        ProcedureCase{"Select CompanyNumber,company_name as CompanyName FROM company", {},
                      kCompanyColumns, 4},
        ProcedureCase{"EXECUTE PROCEDURE nvm_GetMobileCompanyNames_Lookup();", {}, kCompanyColumns, 4},
        ProcedureCase{"EXECUTE PROCEDURE nvSy1_NVQIX_MobileUserLogin(:CompanyID,:UserID,:Password);",
                      {3, "jsmith", "secret"}, {"UserID", "UseHasMobileAccess"}, 1},
        ProcedureCase{"EXECUTE PROCEDURE nvm_DailyReportRecord_List(:UserID,:Filter,:Flag);",
                      {"42", "", 0}, {"PMID", "Job", "WorkDate", "Notes"}, 2},
        ProcedureCase{"EXECUTE PROCEDURE nvm_DailyReportRecord_Write(:a,:b,:c,:d,:e,:f);",
                      {"42", 0, "JOB 1", "02/20/2020", "", ""}, StatusAnd({"PMID"}), 1},
        ProcedureCase{"EXECUTE PROCEDURE nvm_az_DailyReportTimeCardRecord_Write('42', 0, 1, "
                      "'02/13/2020', '1042', '07:00', '15:00', 8, '100', 'Mixer', 'n', 'JOB 1', "
                      "'Open');",
                      {}, StatusAnd({"TimeCardID", "PMID"}), 1},
        ProcedureCase{"EXECUTE PROCEDURE nvm_az_DailyReportTimeCardRecord_WithCount_Write('42', 0, "
                      "1, '02/13/2020', '1042', '07:00', '15:00', 8, '100', 'Mixer', 'n', 'JOB 1', "
                      "'Open', 3);",
                      {}, StatusAnd({"TimeCardID", "PMID"}), 1},
        ProcedureCase{"EXECUTE PROCEDURE nvm_DailyReportTimeCardRecord_Write('42', 0, 2, "
                      "'2/14/2020', '1042', '07:00', '15:00', 8, '100', '', '', 'JOB 2', 'Open');",
                      {}, StatusAnd({"TimeCardID", "PMID"}), 1},
        ProcedureCase{"EXECUTE PROCEDURE nvm_az_DailyReportPELKEmployeePicture_Upload2(42, 1, 1042, "
                      "'p.jpg', 1, 35.1, -80.8, '02/13/2020 07:00:00', '02/13/2020 07:00:00', "
                      "'TSKEY', 'dev-1');",
                      {}, StatusAnd({"PictureID", "FileName"}), 1},
        ProcedureCase{"EXECUTE PROCEDURE nvm_DailyReportPELKEmployeePicture_Upload2(42, 1, 1042, "
                      "'p.jpg', 1, 35.1, -80.8, '02/13/2020 07:00:00', '02/13/2020 07:00:00');",
                      {}, StatusAnd({"PictureID", "FileName"}), 1},
        ProcedureCase{"EXECUTE PROCEDURE nvm_Answer_Write('42', 3, 'yes');", {},
                      StatusAnd({"AnswerID"}), 1},
        ProcedureCase{"EXECUTE PROCEDURE nvm_Job_List('42');", {}, {"Job", "Description"}, 5},
        ProcedureCase{"EXECUTE PROCEDURE nvm_TimeCardRecord_List('42', 1);", {},
                      {"TimeCardID", "UserID", "PMID", "WorkDate", "EmployeeNo", "TimeIn", "TimeOut",
                       "Hours", "CostCode", "Equipment", "Notes", "Job", "Status", "EntryCount"},
                      2}));

struct LoginCase {
  int company;
  const char* user;
  const char* password;
  std::optional<int> userId;  // nullopt: no row
};

TEST_F(SqliteDriverTest, LoginAnswersTheUserOfThatCompanyOnlyForExactCredentials) {
  for (const LoginCase& c : {LoginCase{3, "jsmith", "secret", 42}, LoginCase{3, "admin", "admin", 0},
                             LoginCase{3, "ghost", "ghost", -1}, LoginCase{3, "locked", "locked", -2},
                             LoginCase{3, "jsmith", "Secret", std::nullopt},
                             LoginCase{1, "jsmith", "secret", std::nullopt},
                             LoginCase{2, "kwhite", "pw", 45}}) {
    const auto set = Run("EXECUTE PROCEDURE nvSy1_NVQIX_MobileUserLogin(:c,:u,:p);",
                         {c.company, c.user, c.password});
    if (!c.userId) {
      EXPECT_TRUE(set->Eof()) << c.user;
      continue;
    }
    ASSERT_FALSE(set->Eof()) << c.user;
    EXPECT_EQ(set->FieldByName("UserID").AsVariant(), Value(*c.userId)) << c.user;
  }
  const auto nobody = Run("EXECUTE PROCEDURE nvSy1_NVQIX_MobileUserLogin(3, 'nobody', 'x')");
  EXPECT_TRUE(nobody->FieldByName("UseHasMobileAccess").IsNull());
  const auto mjones = Run("EXECUTE PROCEDURE nvSy1_NVQIX_MobileUserLogin(3, 'mjones', 'pass2')");
  EXPECT_EQ(mjones->FieldByName("UseHasMobileAccess").AsVariant(), Value(false));
}

TEST_F(SqliteDriverTest, DailyReportWriteCreatesAndUpdatesReports) {
  auto set = Run("EXECUTE PROCEDURE nvm_DailyReportRecord_Write(:a,:b,:c,:d,:e,:f);",
                 {"42", 0, " JOB 2 ", "02/20/2020", "note", ""});
  ASSERT_EQ(set->FieldByName("ResultStatus").AsVariant(), Value(0));
  const Value pmid = set->FieldByName("PMID").AsVariant();
  ASSERT_TRUE(pmid.IsInteger());
  EXPECT_GT(pmid.Integer(), 12);

  set = Run("EXECUTE PROCEDURE nvm_DailyReportRecord_Write(:a,:b,:c,:d,:e,:f);",
            {"42", pmid, "JOB 1", "02/21/2020", "changed", ""});
  ASSERT_EQ(set->FieldByName("ResultStatus").AsVariant(), Value(0));
  EXPECT_EQ(set->FieldByName("PMID").AsVariant(), pmid);

  set = Run("SELECT Job, WorkDate, Notes FROM daily_reports WHERE PMID = :p", {pmid});
  EXPECT_EQ(set->FieldByName("Job").AsString(), "JOB 1");
  EXPECT_DOUBLE_EQ(set->FieldByName("WorkDate").AsVariant().Float(), EncodeDate(2020, 2, 21));
  EXPECT_EQ(set->FieldByName("Notes").AsString(), "changed");
}

struct FailingWriteCase {
  const char* sql;
  const char* messagePart;
  const char* table;
};

TEST_F(SqliteDriverTest, FailingWritesReportInBandAndWriteNothing) {
  for (const FailingWriteCase& c : {
           FailingWriteCase{"EXECUTE PROCEDURE nvm_DailyReportRecord_Write('42', 0, 'JOB 1', "
                            "'02/30/2020', '', '')", "date", "daily_reports"},
           FailingWriteCase{"EXECUTE PROCEDURE nvm_DailyReportRecord_Write('42', 0, 'JOB 1', "
                            "'2020-02-13', '', '')", "date", "daily_reports"},
           FailingWriteCase{"EXECUTE PROCEDURE nvm_DailyReportRecord_Write('42', 0, 'NOPE', "
                            "'02/13/2020', '', '')", "NOPE", "daily_reports"},
           FailingWriteCase{"EXECUTE PROCEDURE nvm_DailyReportRecord_Write('42', 3, 'JOB 1', "
                            "'02/13/2020', '', '')", "not found", "daily_reports"},
           FailingWriteCase{"EXECUTE PROCEDURE nvm_az_DailyReportTimeCardRecord_Write('42', 0, 3, "
                            "'02/13/2020', '', '', '', 0, '', '', '', 'JOB 1', '')", "report",
                            "time_cards"},
           FailingWriteCase{"EXECUTE PROCEDURE nvm_az_DailyReportTimeCardRecord_Write('42', 0, 1, "
                            "'13/13/2020', '', '', '', 0, '', '', '', 'JOB 1', '')", "date",
                            "time_cards"},
       }) {
    const std::int64_t before = Count(c.table);
    const auto set = Run(c.sql);
    ASSERT_FALSE(set->Eof()) << c.sql;
    EXPECT_EQ(set->FieldByName("ResultStatus").AsVariant(), Value(-1)) << c.sql;
    EXPECT_EQ(set->FieldByName("ResultCode").AsVariant(), Value(-1)) << c.sql;
    EXPECT_NE(set->FieldByName("ResultMessage").AsString().find(c.messagePart), std::string::npos)
        << set->FieldByName("ResultMessage").AsString();
    EXPECT_EQ(Count(c.table), before) << c.sql;
  }
}

struct ErrorCase {
  const char* sql;
  std::vector<Value> values;
  const char* messagePart;
};

TEST_F(SqliteDriverTest, FailuresRaiseEDatabaseErrorWithAClearMessage) {
  for (const ErrorCase& c : {
           ErrorCase{"EXECUTE PROCEDURE nvm_Job_List('42', 1)", {}, "nvm_Job_List"},
           ErrorCase{"EXECUTE PROCEDURE nvm_Job_List", {}, "nvm_Job_List"},
           ErrorCase{"EXECUTE PROCEDURE nvm_NoSuch()", {}, "nvm_NoSuch"},
           ErrorCase{"DELETE FROM company", {}, "statement returned no result set"},
           ErrorCase{"select 1 as a; delete from company", {}, "more than one statement"},
           ErrorCase{"select * from nosuch", {}, "no such table: nosuch"},
           ErrorCase{"select :a as a, :b as b", {1}, "'b'"},
           ErrorCase{"EXECUTE PROCEDURE nvm_Job_List(1 +)", {}, "incomplete input"},
       }) {
    const std::int64_t answers = Count("answers");
    try {
      Run(c.sql, c.values);
      ADD_FAILURE() << "no error for " << c.sql;
    } catch (const EDatabaseError& e) {
      EXPECT_NE(e.Message().find(c.messagePart), std::string::npos) << e.Message();
    }
    // No snapshot of the failed call lingers: a commit made elsewhere is seen at once.
    site_.ExecDirect("INSERT INTO answers (UserID, QuestionID, Answer) VALUES (42, 1, 'x')");
    EXPECT_EQ(Count("answers"), answers + 1) << c.sql;
  }
  EXPECT_EQ(Count("company"), 4);
  EXPECT_TRUE(connection_->IsAlive());
}

// SQLite's bracket and grave-accent identifiers are names, not markers or statement ends.
TEST_F(SqliteDriverTest, QuotedIdentifiersOfEveryKindKeepTheirText) {
  const std::unique_ptr<TResultSet> set = Run("SELECT 1 AS [a:b;c], 2 AS `d:e`, :f AS \"g:h\"", {3});
  EXPECT_EQ(ColumnNames(*set), (std::vector<std::string>{"a:b;c", "d:e", "g:h"}));
  EXPECT_EQ(set->Fields(2).AsString(), "3");
}

TEST_F(SqliteDriverTest, MoreValuesThanMarkersIsAnArgumentError) {
  EXPECT_THROW(Run("select :a as a", {1, 2}), EArgumentOutOfRangeException);
}

TEST_F(SqliteDriverTest, ProcedureNamesIgnoreLetterCase) {
  EXPECT_EQ(Run("execute procedure NVM_JOB_LIST('42')")->RecordCount(), 5u);
}

TEST_F(SqliteDriverTest, AFailingBodyRollsBackItsEarlierStatements) {
  site_.ExecDirect(
      "INSERT INTO stored_procedures VALUES ('test_Fails', 'u', "
      "'INSERT INTO answers (UserID, QuestionID, Answer) VALUES (:u, 1, ''x''); "
      "INSERT INTO company (CompanyNumber, company_name) VALUES (1, ''duplicate''); "
      "SELECT 1 AS done')");
  const std::int64_t before = Count("answers");
  // The second run reuses the body prepared by the first.
  for (int i = 0; i < 2; ++i) {
    EXPECT_THROW(Run("EXECUTE PROCEDURE test_Fails(42)"), EDatabaseError);
    EXPECT_EQ(Count("answers"), before);
  }
  // The connection is usable afterwards, outside any transaction.
  EXPECT_EQ(Run("EXECUTE PROCEDURE nvm_Answer_Write('42', 3, 'yes')")
                ->FieldByName("ResultStatus")
                .AsVariant(),
            Value(0));
  EXPECT_EQ(Count("answers"), before + 1);
}

TEST_F(SqliteDriverTest, ABodyUsingAnUndeclaredParameterIsRefused) {
  site_.ExecDirect(
      "INSERT INTO stored_procedures VALUES ('test_Undeclared', 'a', 'SELECT :a AS a, :b AS b')");
  try {
    Run("EXECUTE PROCEDURE test_Undeclared(1)");
    ADD_FAILURE() << "no error";
  } catch (const EDatabaseError& e) {
    EXPECT_NE(e.Message().find(":b"), std::string::npos) << e.Message();
  }
}

TEST_F(SqliteDriverTest, ArgumentsAreExpressionsEvaluatedWithTheCallersValues) {
  site_.ExecDirect(
      "INSERT INTO stored_procedures VALUES ('test_Echo', 'A, b', "
      "'SELECT :a AS a, :B AS b, typeof(:a) AS ta')");
  const auto set = Run("EXECUTE PROCEDURE test_Echo(:x + 1, 'it''s, (' || :y)", {41, "z"});
  EXPECT_EQ(set->FieldByName("a").AsVariant(), Value(42));
  EXPECT_EQ(set->FieldByName("b").AsVariant(), Value("it's, (z"));
  EXPECT_EQ(set->FieldByName("ta").AsVariant(), Value("integer"));
}

// --- A procedure kept by the connection follows the catalog ---------------------------

TEST_F(SqliteDriverTest, AChangedCatalogEntryTakesEffectOnTheNextCallOfTheSameConnection) {
  site_.ExecDirect("INSERT INTO stored_procedures VALUES ('test_Changing', 'a', 'SELECT :a AS v')");
  EXPECT_EQ(Run("EXECUTE PROCEDURE test_Changing(1)")->Fields(0).AsVariant(), Value(1));
  EXPECT_EQ(Run("EXECUTE PROCEDURE test_Changing(2)")->Fields(0).AsVariant(), Value(2));

  site_.ExecDirect("UPDATE stored_procedures SET body = 'SELECT :a * 10 AS v' "
                   "WHERE name = 'test_Changing'");
  EXPECT_EQ(Run("EXECUTE PROCEDURE test_Changing(3)")->Fields(0).AsVariant(), Value(30));

  site_.ExecDirect("UPDATE stored_procedures SET params = 'b, a', body = 'SELECT :a - :b AS v' "
                   "WHERE name = 'test_Changing'");
  EXPECT_EQ(Run("EXECUTE PROCEDURE test_Changing(1, 5)")->Fields(0).AsVariant(), Value(4));
  EXPECT_THROW(Run("EXECUTE PROCEDURE test_Changing(1)"), EDatabaseError);

  // A body changed into one that cannot run fails each time, and a repaired one runs.
  site_.ExecDirect("UPDATE stored_procedures SET body = 'SELECT :a AS v, :c AS w' "
                   "WHERE name = 'test_Changing'");
  for (int i = 0; i < 2; ++i) {
    try {
      Run("EXECUTE PROCEDURE test_Changing(1, 5)");
      ADD_FAILURE() << "no error";
    } catch (const EDatabaseError& e) {
      EXPECT_NE(e.Message().find(":c"), std::string::npos) << e.Message();
    }
  }
  site_.ExecDirect("UPDATE stored_procedures SET body = 'SELECT :a + :b AS v' "
                   "WHERE name = 'test_Changing'");
  EXPECT_EQ(Run("EXECUTE PROCEDURE test_Changing(1, 5)")->Fields(0).AsVariant(), Value(6));
}

TEST_F(SqliteDriverTest, AProcedureDroppedFromTheCatalogIsNotFoundUntilItIsBack) {
  const std::string call = "EXECUTE PROCEDURE nvm_Job_List('42')";
  ASSERT_EQ(Run(call)->RecordCount(), 5u);
  site_.ExecDirect("CREATE TABLE saved AS SELECT * FROM stored_procedures WHERE name = 'nvm_Job_List'");
  site_.ExecDirect("DELETE FROM stored_procedures WHERE name = 'nvm_Job_List'");
  for (int i = 0; i < 2; ++i) {
    try {
      Run(call);
      ADD_FAILURE() << "no error";
    } catch (const EDatabaseError& e) {
      EXPECT_EQ(e.Message(), "Procedure nvm_Job_List not found");
    }
  }
  site_.ExecDirect("INSERT INTO stored_procedures SELECT * FROM saved");
  EXPECT_EQ(Run(call)->RecordCount(), 5u);
  EXPECT_TRUE(connection_->IsAlive());
}

TEST_F(SqliteDriverTest, AOneQueryBodySeesEveryCommitAndLeavesNoTransactionOpen) {
  site_.ExecDirect(
      "INSERT INTO stored_procedures VALUES ('test_Count', '', "
      "'-- answers so far\n/* counted */ WITH a AS (SELECT * FROM answers) "
      "SELECT count(*) AS n FROM a')");
  const auto count = [this] {
    return Run("EXECUTE PROCEDURE test_Count()")->Fields(0).AsVariant().Integer();
  };
  const std::int64_t before = count();
  for (int i = 1; i <= 3; ++i) {
    site_.ExecDirect("INSERT INTO answers (UserID, QuestionID, Answer) VALUES (42, 1, 'x')");
    EXPECT_EQ(count(), before + i);
    EXPECT_EQ(Run("EXECUTE PROCEDURE nvm_DailyReportRecord_List('45', '', 0)")->RecordCount(),
              static_cast<std::size_t>(9 + i));
    site_.ExecDirect("INSERT INTO daily_reports (UserID, Job, WorkDate) VALUES (45, 'JOB 1', "
                     "'2020-03-20')");
  }
  // A write on the same connection is not refused as if inside a read transaction.
  EXPECT_EQ(Run("EXECUTE PROCEDURE nvm_Answer_Write('42', 3, 'yes')")
                ->FieldByName("ResultStatus")
                .AsVariant(),
            Value(0));
  EXPECT_EQ(count(), before + 4);
}

// Writers on many connections at once share commits: every write answered success is
// stored exactly once, and a writer failing half-way through its body leaves nothing of
// its own while the writers of its group commit.
TEST_F(SqliteDriverTest, ConcurrentWritersOnManyConnectionsShareCommitsAndFailAlone) {
  site_.ExecDirect(
      "CREATE TABLE group_rows (writer INTEGER, n INTEGER, PRIMARY KEY (writer, n));"
      "INSERT INTO group_rows VALUES (0, 0);"
      "INSERT INTO stored_procedures VALUES ('test_Put', 'w, n', "
      "'INSERT INTO group_rows VALUES (:w, :n); SELECT changes() AS done');"
      "INSERT INTO stored_procedures VALUES ('test_PutThenFail', 'w, n', "
      "'INSERT INTO group_rows VALUES (:w, :n); INSERT INTO group_rows VALUES (0, 0); "
      "SELECT 1 AS done');");
  constexpr int kThreads = 12;
  constexpr int kWrites = 25;
  std::atomic<int> unexpected{0};
  std::vector<std::thread> threads;
  for (int t = 1; t <= kThreads; ++t) {
    threads.emplace_back([&, t] {
      try {
        const auto connection = driver_->Connect();
        for (int n = 0; n < kWrites; ++n) {
          // Every fifth write of every writer fails after its first insert.
          const bool fails = n % 5 == 4;
          try {
            const auto set = connection->Execute(
                fails ? "EXECUTE PROCEDURE test_PutThenFail(:w, :n)"
                      : "EXECUTE PROCEDURE test_Put(:w, :n)",
                {t, n});
            if (fails || set->Fields(0).AsVariant() != Value(1)) ++unexpected;
          } catch (const EDatabaseError& e) {
            if (!fails || std::string(e.what()).find("UNIQUE") == std::string::npos) {
              ADD_FAILURE() << e.what();
              ++unexpected;
            }
          }
        }
      } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
        ++unexpected;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(unexpected.load(), 0);
  // Read by a connection of another driver: what is there was committed.
  ConnectionDef def;
  def.Set("DriverID", "SQLite");
  def.Set("Database", "tallyhand.db");
  const auto reader = MakeDriver(def, site_.Folder(), ConnectionDef())->Connect();
  const auto rows = reader->Execute(
      "SELECT count(*) AS n, count(DISTINCT writer * 1000 + n) AS d, "
      "sum(n % 5 = 4) AS failed FROM group_rows WHERE writer > 0",
      {});
  const std::int64_t expected = kThreads * (kWrites - kWrites / 5);
  EXPECT_EQ(rows->FieldByName("n").AsVariant(), Value(expected));
  EXPECT_EQ(rows->FieldByName("d").AsVariant(), Value(expected));
  EXPECT_EQ(rows->FieldByName("failed").AsVariant(), Value(0));
}

TEST(SqliteDriver, AMissingDatabaseFileFailsLikeAnUnreachableServerAndIsNotCreated) {
  TempSite site;
  ConnectionDef def;
  def.Set("DriverID", "SQLite");
  def.Set("Database", "missing.db");
  const auto driver = MakeDriver(def, site.Folder(), ConnectionDef());
  EXPECT_THROW(driver->Connect(), EDatabaseError);
  EXPECT_FALSE(std::filesystem::exists(site.Path("missing.db")));
}

TEST(SqliteDriver, SettingsAreChecked) {
  ConnectionDef def;
  def.Set("DriverID", "SQLite");
  EXPECT_THROW(MakeDriver(def, "/tmp/", ConnectionDef()), EDatabaseError);  // no Database
  def.Set("Database", "x.db");
  ConnectionDef settings;
  settings.Set("BusyTimeout", "soon");
  EXPECT_THROW(MakeDriver(def, "/tmp/", settings), EDatabaseError);
  def.Set("DriverID", "ADS");
  EXPECT_THROW(MakeDriver(def, "/tmp/", ConnectionDef()), EDatabaseError);
}

}  // namespace
}  // namespace tallyhand
