// A temporary module folder for data tests: data.ini, an event log switched on, and a
// fresh reference database made from the embedded schema and demo data.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "data/reference_db.h"
#include "log/error_log.h"

namespace tallyhand::testing {

class TempSite {
 public:
  TempSite() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tallyhand-data-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern + "/";
  }
  ~TempSite() {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  TempSite(const TempSite&) = delete;
  TempSite& operator=(const TempSite&) = delete;

  const std::string& Folder() const { return folder_; }
  std::string Path(const std::string& name) const { return folder_ + name; }

  void WriteFile(const std::string& name, const std::string& content) const {
    std::ofstream(Path(name), std::ios::binary) << content;
  }
  std::string ReadFile(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
  }
  void CreateDemoDb(const std::string& name = "tallyhand.db") const {
    CreateSqliteReferenceDb(Path(name));
  }
  // Runs SQL on the database file directly, outside the driver.
  void ExecDirect(const std::string& sql, const std::string& name = "tallyhand.db") const {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(Path(name).c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    char* error = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    const std::string message = error != nullptr ? error : "";
    sqlite3_free(error);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK) << message;
  }

 private:
  std::string folder_;
};

// A site with a SQLite data.ini, an event log that records every line, and the demo DB.
class SqliteSite : public TempSite {
 public:
  explicit SqliteSite(const std::string& extraIniLines = "", bool createDb = true) {
    WriteFile("data.ini", "\xEF\xBB\xBF[BaseGlob]\r\nDriverID=SQLite\r\nDatabase=tallyhand.db\r\n" +
                              extraIniLines + "DebugLoggingEnabled=true\r\n");
    if (createDb) CreateDemoDb();
    log_ = std::make_unique<TErrorLog>(Path("Tallyhand_az.so"), LogStyle::Switched);
  }
  TErrorLog& Log() { return *log_; }

  // The messages of the log lines that begin with prefix (time stamp and TAB removed).
  std::vector<std::string> LogMessages(const std::string& prefix) const {
    std::vector<std::string> found;
    std::istringstream lines(ReadFile("Tallyhand_azLog.txt"));
    std::string line;
    while (std::getline(lines, line)) {
      const std::size_t tab = line.find('\t');
      std::string message = tab == std::string::npos ? line : line.substr(tab + 1);
      if (!message.empty() && message.back() == '\r') message.pop_back();
      if (message.rfind(prefix, 0) == 0) found.push_back(message);
    }
    return found;
  }

 private:
  std::unique_ptr<TErrorLog> log_;
};

}  // namespace tallyhand::testing
