#include "clock/upload.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "clock/captured_event_log.h"
#include "clock/session_keys.h"
#include "clock/site_fixture.h"
#include "data/data_ini.h"
#include "data/mainDM.h"
#include "data/odbc_test_drivers.h"
#include "data/postgres_test_server.h"
#include "data/reference_db.h"
#include "data/sql_params.h"
#include "platform/exception.h"
#include "platform/text_file.h"

namespace tallyhand {
namespace {

namespace fs = std::filesystem;

UploadFields ClockIn() {
  UploadFields f;
  f.AuthUser = "jsmith";
  f.AuthPass = "secret";
  f.AuthComp = "Acme Builders";
  f.path = "/srv/www/mobiletcimages/a.jpg";
  f.lat = "40.5";
  f.lon = "-74.25";
  f.clock_type = "1";
  f.clock_date = "02/13/2020 08:05:09";
  f.oclock_date = "02/13/2020 08:00:00";
  f.pmid = "1";
  f.e_no = "7";
  f.tskey = "ts-1";
  f.devId = "dev-1";
  f.RID = "r1";
  return f;
}

// ---------------------------------------------------------------------------------------
// The statement text

TEST(BuildUploadStatementTest, WritesEveryArgumentInOrderForEachBuild) {
  UploadFields f = ClockIn();
  f.path = "/pics/O'Brien.jpg";
  f.tskey = "ts_userID_";
  f.devId = "dev'1_userID_";
  EXPECT_EQ(BuildUploadStatement(f, 42, Build::Az),
            "EXECUTE PROCEDURE nvm_az_DailyReportPELKEmployeePicture_Upload2(42,1,7,"
            "'/pics/O''Brien.jpg',1,40.5,-74.25,'02/13/2020 08:05:09','02/13/2020 08:00:00',"
            "'ts42','dev''142');");
  EXPECT_EQ(BuildUploadStatement(f, 42, Build::Standard),
            "EXECUTE PROCEDURE nvm_DailyReportPELKEmployeePicture_Upload2(42,1,7,"
            "'/pics/O''Brien.jpg',1,40.5,-74.25,'02/13/2020 08:05:09','02/13/2020 08:00:00');");
}

TEST(BuildUploadStatementTest, ReplacesTheUserIdPlaceholderInEveryQuotedValue) {
  UploadFields f = ClockIn();
  f.path = "/p/_userID_/x_userID_.jpg";
  f.clock_date = "_userID_";
  f.oclock_date = "_USERID_";  // other letter case stays
  f.tskey = "_userID__userID_";
  f.devId = "_userID";
  EXPECT_EQ(BuildUploadStatement(f, -2, Build::Az),
            "EXECUTE PROCEDURE nvm_az_DailyReportPELKEmployeePicture_Upload2(-2,1,7,"
            "'/p/-2/x-2.jpg',1,40.5,-74.25,'-2','_USERID_','-2-2','_userID');");
}

TEST(BuildUploadStatementTest, EmptyNumbersBecomeNullAndBlanksAroundNumbersGo) {
  UploadFields f = ClockIn();
  f.pmid = "";
  f.e_no = "  ";
  f.clock_type = " 2 ";
  f.lat = "";
  f.lon = "+.5";
  f.tskey = "";
  f.devId = "";
  EXPECT_EQ(BuildUploadStatement(f, 5, Build::Az),
            "EXECUTE PROCEDURE nvm_az_DailyReportPELKEmployeePicture_Upload2(5,NULL,NULL,"
            "'/srv/www/mobiletcimages/a.jpg',2,NULL,+.5,'02/13/2020 08:05:09',"
            "'02/13/2020 08:00:00','','');");
}

TEST(BuildUploadStatementTest, AcceptsPlainNumbersOnly) {
  const std::string plain[] = {"0", "12", "-3", "+7", "40.5", "-74.25", "7.", ".25", "007", ""};
  const std::string refused[] = {
      "1);DROP TABLE company;--", "1,2", "1e5", "12abc", "-", "+", ".", "-.", "1.2.3", "0x10",
      "1 2", "NULL", "--1", "1--", "1/*", "'1'", "1\n", "\t1", std::string("1\0", 2), "\xD9\xA1",
  };
  using Member = std::string UploadFields::*;
  const std::pair<const char*, Member> fields[] = {
      {"pmid", &UploadFields::pmid}, {"e_no", &UploadFields::e_no},
      {"clock_type", &UploadFields::clock_type}, {"lat", &UploadFields::lat},
      {"lon", &UploadFields::lon},
  };
  for (const auto& [name, member] : fields) {
    for (const auto& value : plain) {
      UploadFields f = ClockIn();
      f.*member = value;
      EXPECT_EQ(FindInvalidNumberField(f), std::nullopt) << name << "=" << value;
    }
    for (const auto& value : refused) {
      UploadFields f = ClockIn();
      f.*member = value;
      EXPECT_EQ(FindInvalidNumberField(f), std::optional<std::string_view>(name))
          << name << "=" << value;
      try {
        BuildUploadStatement(f, 1, Build::Az);
        ADD_FAILURE() << "built a statement with " << name << "=" << value;
      } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), std::string("Invalid value for ") + name);
      }
    }
  }
}

// ---------------------------------------------------------------------------------------
// processFileReq2 over the reference database

using testing::Backend;

// Changes made to the reference database before the data module opens it.
enum class Alteration { None, RejectingUpload, UploadWithoutRows, NoCompanyLookup };

// One reference database with demo data, for one test.
class ReferenceDatabase {
 public:
  virtual ~ReferenceDatabase() = default;
  // The lines of data.ini that reach it.
  virtual std::vector<std::string> DataIni() const = 0;
  virtual void Alter(Alteration alteration) = 0;
};

class SqliteReferenceDatabase : public ReferenceDatabase {
 public:
  explicit SqliteReferenceDatabase(const fs::path& folder) : file_(folder / "reference.db") {
    CreateSqliteReferenceDb(file_.string());
  }
  std::vector<std::string> DataIni() const override {
    return {"[BaseGlob]", "DriverID=SQLite", "Database=" + file_.filename().string()};
  }
  void Alter(Alteration alteration) override {
    const std::string upload =
        "UPDATE stored_procedures SET body = '%s' "
        "WHERE name = 'nvm_az_DailyReportPELKEmployeePicture_Upload2'";
    switch (alteration) {
      case Alteration::None:
        return;
      case Alteration::RejectingUpload:
        return Exec(Format(upload, "SELECT -1 AS ResultStatus, -7 AS ResultCode, "
                                   "''Picture rejected'' AS ResultMessage"));
      case Alteration::UploadWithoutRows:
        return Exec(Format(upload, "SELECT 0 AS ResultStatus, 0 AS ResultCode, "
                                   "'''' AS ResultMessage WHERE 0"));
      case Alteration::NoCompanyLookup:
        return Exec("DELETE FROM stored_procedures WHERE name = 'nvm_GetMobileCompanyNames_Lookup'");
    }
  }

 private:
  static std::string Format(const std::string& pattern, const std::string& body) {
    std::string text = pattern;
    return text.replace(text.find("%s"), 2, body);
  }
  void Exec(const std::string& sql) const {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file_.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    const std::string message = error != nullptr ? error : "";
    sqlite3_free(error);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK) << message;
  }

  fs::path file_;
};

// Reached through libpq or, with odbc, through Debian's PostgreSQL ODBC driver.
class PostgresReferenceDatabase : public ReferenceDatabase {
 public:
  PostgresReferenceDatabase(testing_pg::SuiteDatabase& db, bool odbc) : db_(db), odbc_(odbc) {
    if (odbc_) testing_odbc::UseTestDriverRegistry();
  }
  std::vector<std::string> DataIni() const override {
    const auto& s = db_.Settings();
    std::vector<std::string> lines = {"[BaseGlob]"};
    if (odbc_) {
      for (const std::string& line : testing_odbc::PostgresOdbcIniLines(s.host, s.port, db_.Name()))
        lines.push_back(line);
    } else {
      lines.insert(lines.end(),
                   {"DriverID=PG", "Server=" + s.host, "Port=" + s.port, "Database=" + db_.Name()});
    }
    lines.push_back("User_Name=" + ScrambleNVString(s.user, kScrambleStartKey));
    lines.push_back("Password=" + ScrambleNVString(s.password, kScrambleStartKey));
    return lines;
  }
  void Alter(Alteration alteration) override {
    const std::string upload =
        "CREATE OR REPLACE FUNCTION nvm_az_DailyReportPELKEmployeePicture_Upload2("
        "p_user_id integer, p_pmid integer, p_employee_no integer, p_file_name text, "
        "p_clock_type integer, p_lat double precision, p_lon double precision, "
        "p_clock_date text, p_oclock_date text, p_ts_key text, p_dev_id text) "
        "RETURNS TABLE(\"ResultStatus\" integer, \"ResultCode\" integer, "
        "\"ResultMessage\" varchar, \"PictureID\" integer, \"FileName\" varchar) "
        "LANGUAGE sql AS $$ ";
    switch (alteration) {
      case Alteration::None:
        return;
      case Alteration::RejectingUpload:
        return db_.Exec(upload +
                        "SELECT -1, -7, 'Picture rejected'::varchar, NULL::integer, "
                        "NULL::varchar $$");
      case Alteration::UploadWithoutRows:
        return db_.Exec(upload + "SELECT 0, 0, ''::varchar, 0, ''::varchar WHERE false $$");
      case Alteration::NoCompanyLookup:
        return db_.Exec("DROP FUNCTION nvm_GetMobileCompanyNames_Lookup()");
    }
  }

 private:
  testing_pg::SuiteDatabase& db_;
  bool odbc_;
};

// One row of employee_pictures as text, NULL as "<null>".
using PictureRow = std::vector<std::string>;

class ProcessFileReq2Test : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    ClearKeysForTesting();
    site_ = log_.Folder() / "site";
    fs::create_directories(site_);
    if (GetParam() == Backend::Sqlite) {
      database_ = std::make_unique<SqliteReferenceDatabase>(site_);
    } else {
      pg_.SetUp();
      if (pg_.Get() == nullptr) GTEST_SKIP() << pg_.Why();
      database_ = std::make_unique<PostgresReferenceDatabase>(*pg_.Get(), GetParam() == Backend::Odbc);
    }
  }
  void TearDown() override {
    dm_.reset();
    pg_.TearDown();
    ClearKeysForTesting();
  }

  // Opens the data module on the database, altered first.
  TMainDM& Open(Alteration alteration = Alteration::None) {
    database_->Alter(alteration);
    WriteTextLines((site_ / "data.ini").string(), database_->DataIni(), TextEncoding::Utf8Bom);
    dm_ = std::make_unique<TMainDM>(site_.string() + "/", EventLog());
    dm_->LoadConnections();
    return *dm_;
  }

  std::unique_ptr<TResultSet> Query(const std::string& sql) {
    return dm_->ExecuteQuery(TSQLParams{}, sql);
  }

  std::vector<PictureRow> Pictures() {
    auto set = Query(
        "SELECT UserID, PMID, EmployeeNo, FileName, ClockType, Lat, Lon, ClockDate, OClockDate, "
        "TsKey, DevId FROM employee_pictures ORDER BY PictureID");
    std::vector<PictureRow> rows;
    for (set->First(); !set->Eof(); set->Next()) {
      PictureRow row;
      for (int i = 0; i < set->FieldCount(); ++i) {
        const TField field = set->Fields(i);
        row.push_back(field.IsNull() ? "<null>" : field.AsString());
      }
      rows.push_back(row);
    }
    return rows;
  }

  std::int32_t CompanyCount() { return Query("SELECT COUNT(*) AS n FROM company")->Fields(0).AsInteger(); }

  testing::CapturedEventLog log_;
  fs::path site_;
  testing_pg::SuiteDatabaseHolder pg_;
  std::unique_ptr<ReferenceDatabase> database_;
  std::unique_ptr<TMainDM> dm_;
};

std::string ErrorEnvelope(const std::string& rid, const std::string& message) {
  return R"({"error":"1","RID":")" + rid + R"(","response":")" + message + R"(","eofline":"eof"})";
}

enum class KeyUse { None, LiveAcme42, LiveAcme42TrailingSpace, LiveNorthwind45, Unknown };

struct UploadCase {
  const char* name;
  Build build;
  KeyUse key;
  std::function<void(UploadFields&)> change;
  std::string error;                 // empty: a success answer is expected
  std::optional<PictureRow> stored;  // the row the upload adds; none when nothing is stored
};

PictureRow StoredClockIn(const std::string& user, Build build) {
  const bool az = build == Build::Az;
  return {user, "1", "7", "/srv/www/mobiletcimages/a.jpg", "1", "40.5", "-74.25",
          "02/13/2020 08:05:09", "02/13/2020 08:00:00", az ? "ts-1" : "<null>",
          az ? "dev-1" : "<null>"};
}

void NoCredentials(UploadFields& f) { f.AuthUser = f.AuthPass = f.AuthComp = ""; }

const UploadCase kUploadCases[] = {
    // jsmith belongs to the last of the two companies called "Acme Builders".
    {"Credentials", Build::Az, KeyUse::None, nullptr, "", StoredClockIn("42", Build::Az)},
    {"CredentialsStandardBuild", Build::Standard, KeyUse::None, nullptr, "",
     StoredClockIn("42", Build::Standard)},
    {"LiveKeyWithoutCredentials", Build::Az, KeyUse::LiveAcme42, NoCredentials, "",
     StoredClockIn("42", Build::Az)},
    {"LiveKeyWinsOverCredentials", Build::Az, KeyUse::LiveNorthwind45, nullptr, "",
     StoredClockIn("45", Build::Az)},
    {"UnknownKeyFallsBackToCredentials", Build::Az, KeyUse::Unknown, nullptr, "",
     StoredClockIn("42", Build::Az)},
    {"KeyWithTrailingSpaceIsNotFound", Build::Az, KeyUse::LiveAcme42TrailingSpace, NoCredentials,
     "Invalid request!", std::nullopt},
    {"KeyWithTrailingSpaceStandardBuild", Build::Standard, KeyUse::LiveAcme42TrailingSpace,
     NoCredentials, "invalid request!", std::nullopt},
    {"MissingPassword", Build::Az, KeyUse::None, [](UploadFields& f) { f.AuthPass = ""; },
     "Invalid request!", std::nullopt},
    {"UnknownCompany", Build::Az, KeyUse::None, [](UploadFields& f) { f.AuthComp = "Nobody Inc"; },
     "Invalid Company,Username,Password or Request !", std::nullopt},
    {"CompanyInOtherLetterCase", Build::Az, KeyUse::None,
     [](UploadFields& f) { f.AuthComp = "acme builders"; },
     "Invalid Company,Username,Password or Request !", std::nullopt},
    {"CompanyWithTrailingSpace", Build::Az, KeyUse::None,
     [](UploadFields& f) { f.AuthComp = "Acme Builders "; },
     "Invalid Company,Username,Password or Request !", std::nullopt},
    {"WrongPassword", Build::Az, KeyUse::None, [](UploadFields& f) { f.AuthPass = "Secret"; },
     "Invalid Login !", std::nullopt},
    {"NoMobileAccess", Build::Az, KeyUse::None,
     [](UploadFields& f) { f.AuthUser = "mjones", f.AuthPass = "pass2"; },
     "Quarrow User is NOT enabled for Mobile Access", std::nullopt},
    {"MobileAccessNull", Build::Standard, KeyUse::None,
     [](UploadFields& f) { f.AuthUser = "nobody", f.AuthPass = "x"; },
     "Quarrow User is NOT enabled for Mobile Access", std::nullopt},
    {"QuotesAndUserIdPlaceholderReachTheProcedure", Build::Az, KeyUse::None,
     [](UploadFields& f) {
       f.path = "/srv/www/mobiletcimages/O'Brien_userID_.jpg";
       f.clock_date = "it's";
       f.tskey = "t'_userID_";
       f.devId = "_userID_";
     },
     "",
     PictureRow{"42", "1", "7", "/srv/www/mobiletcimages/O'Brien42.jpg", "1", "40.5", "-74.25",
                "it's", "02/13/2020 08:00:00", "t'42", "42"}},
    {"EmptyNumbersAreStoredAsNull", Build::Az, KeyUse::None,
     [](UploadFields& f) { f.pmid = f.e_no = f.clock_type = f.lat = f.lon = ""; }, "",
     PictureRow{"42", "<null>", "<null>", "/srv/www/mobiletcimages/a.jpg", "<null>", "<null>",
                "<null>", "02/13/2020 08:05:09", "02/13/2020 08:00:00", "ts-1", "dev-1"}},
    {"InjectionInPmid", Build::Az, KeyUse::None,
     [](UploadFields& f) { f.pmid = "1);DROP TABLE company;--"; }, "Invalid value for pmid",
     std::nullopt},
    {"InjectionInEmployeeNumber", Build::Standard, KeyUse::None,
     [](UploadFields& f) { f.e_no = "7,'x',1,1,1,'a','b');DELETE FROM company;--"; },
     "Invalid value for e_no", std::nullopt},
    {"InjectionInClockType", Build::Az, KeyUse::None,
     [](UploadFields& f) { f.clock_type = "(SELECT COUNT(*) FROM users)"; },
     "Invalid value for clock_type", std::nullopt},
    {"InjectionInLat", Build::Az, KeyUse::None, [](UploadFields& f) { f.lat = "0/**/"; },
     "Invalid value for lat", std::nullopt},
    {"InjectionInLon", Build::Az, KeyUse::None, [](UploadFields& f) { f.lon = "1e3"; },
     "Invalid value for lon", std::nullopt},
};

std::string KeyFor(KeyUse use) {
  switch (use) {
    case KeyUse::None:
      return "";
    case KeyUse::LiveAcme42:
      return CreateKey(42, 3);
    case KeyUse::LiveAcme42TrailingSpace:
      return CreateKey(42, 3) + " ";
    case KeyUse::LiveNorthwind45:
      return CreateKey(45, 2);
    case KeyUse::Unknown:
      return "ABCDEFGHIJKLMNOPQRSTABCDEFGHIJKL";
  }
  return "";
}

bool RanAStatement(const std::vector<std::string>& messages) {
  for (const auto& m : messages) {
    if (m.rfind("Executing ", 0) == 0 || m.rfind("ExecuteQuery", 0) == 0) return true;
  }
  return false;
}

TEST_P(ProcessFileReq2Test, AnswersEachCaseAndStoresOnlyAcceptedUploads) {
  Open();
  const std::int32_t companies = CompanyCount();
  for (const UploadCase& c : kUploadCases) {
    SCOPED_TRACE(c.name);
    UploadFields f = ClockIn();
    f.RID = c.name;
    if (c.change) c.change(f);
    f.key = KeyFor(c.key);
    const std::vector<PictureRow> before = Pictures();
    const size_t logged = log_.Messages().size();

    const std::string answer = processFileReq2(*dm_, f, c.build);

    std::vector<std::string> messages = log_.Messages();
    messages.erase(messages.begin(), messages.begin() + static_cast<std::ptrdiff_t>(logged));
    ASSERT_FALSE(messages.empty());
    if (c.build == Build::Az) {
      EXPECT_EQ(messages.front(), "On processFileReq2: file " + f.path + ", ts: " + f.tskey +
                                      ", IdKey: " + f.devId + ", Employee: " + f.e_no +
                                      ", ClockType: " + f.clock_type +
                                      ", ClockDate: " + f.clock_date);
    } else {
      EXPECT_EQ(messages.front(), "On processFileReq2");
    }
    EXPECT_EQ(messages.back(), "Result ProcessFileReq2: " + answer);

    std::vector<PictureRow> after = Pictures();
    if (c.error.empty()) {
      EXPECT_EQ(answer.rfind(R"({"error":"0","RID":")" + f.RID +
                                 R"(","response":[{"ResultStatus":"0","ResultCode":"0",)",
                             0),
                0u)
          << answer;
      EXPECT_NE(answer.find(R"("FileName":")" + (*c.stored)[3] + R"("}],"eofline":"eof"})"),
                std::string::npos)
          << answer;
      EXPECT_EQ(answer.find(R"("key")"), std::string::npos) << answer;
    } else {
      EXPECT_EQ(answer, ErrorEnvelope(f.RID, c.error));
    }
    if (c.stored) {
      ASSERT_EQ(after.size(), before.size() + 1);
      EXPECT_EQ(after.back(), *c.stored);
    } else {
      EXPECT_EQ(after.size(), before.size());
    }
    if (c.error.rfind("Invalid value for ", 0) == 0) {
      EXPECT_FALSE(RanAStatement(messages));
    }
  }
  EXPECT_EQ(CompanyCount(), companies);
}

TEST_P(ProcessFileReq2Test, NegativeStatusOfTheUploadAnswersItsMessage) {
  Open(Alteration::RejectingUpload);
  EXPECT_EQ(processFileReq2(*dm_, ClockIn(), Build::Az), ErrorEnvelope("r1", "Picture rejected"));
}

TEST_P(ProcessFileReq2Test, UploadWithoutRowsAnswersAnEmptyArray) {
  Open(Alteration::UploadWithoutRows);
  UploadFields f = ClockIn();
  f.key = CreateKey(42, 3);
  EXPECT_EQ(processFileReq2(*dm_, f, Build::Az),
            R"({"error":"0","RID":"r1","response":[],"eofline":"eof"})");
}

TEST_P(ProcessFileReq2Test, FailingCompanyLookupIsLoggedAndAnswered) {
  Open(Alteration::NoCompanyLookup);
  const std::string answer = processFileReq2(*dm_, ClockIn(), Build::Az);
  EXPECT_EQ(answer.rfind(R"({"error":"1","RID":"r1","response":")", 0), 0u) << answer;
  const auto messages = log_.Messages();
  const std::string lookup = "EXECUTE PROCEDURE nvm_GetMobileCompanyNames_Lookup();";
  EXPECT_NE(std::find(messages.begin(), messages.end(), "Executing " + lookup), messages.end());
  const auto failure =
      std::find_if(messages.begin(), messages.end(), [](const std::string& m) {
        return m.rfind("Error on processFileReq2: ", 0) == 0;
      });
  ASSERT_NE(failure, messages.end());
  // The answer carries the same message that was logged.
  const std::string message = failure->substr(std::string("Error on processFileReq2: ").size());
  EXPECT_EQ(answer, ErrorEnvelope("r1", message));
}

INSTANTIATE_TEST_SUITE_P(Reference, ProcessFileReq2Test,
                         ::testing::Values(Backend::Sqlite, Backend::Postgres, Backend::Odbc),
                         [](const auto& info) { return testing::BackendName(info.param); });

}  // namespace
}  // namespace tallyhand
