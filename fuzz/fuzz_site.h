// A throw-away site folder for the fuzz targets that serve requests: data.ini naming a
// SQLite database made from the reference schema and demo data. It lies in /dev/shm
// where there is room (memory, so a long run wears no disk) and is removed when the
// process ends normally; a crashed run leaves it behind in a folder named after it.
#pragma once

#include <sqlite3.h>
#include <stdlib.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "data/data_ini.h"
#include "data/mainDM.h"
#include "data/reference_db.h"
#include "fuzz_check.h"
#include "platform/text_file.h"

namespace tallyhand::fuzzing {

// /dev/shm when it has room for a site and a module or two, else the temporary folder
// (containers often give /dev/shm a few megabytes only).
inline std::filesystem::path ScratchBase() {
  constexpr unsigned long long kRoomNeeded = 256ull << 20;
  struct statvfs shm {};
  if (::statvfs("/dev/shm", &shm) == 0 &&
      static_cast<unsigned long long>(shm.f_bavail) * shm.f_frsize >= kRoomNeeded)
    return "/dev/shm";
  return std::filesystem::temp_directory_path();
}

class FuzzSite {
 public:
  // name: what the folder is called after, e.g. "request".
  FuzzSite(const std::string& name, bool logging) {
    std::string pattern = (ScratchBase() / ("tallyhand-fuzz-" + name + "-XXXXXX")).string();
    Check(mkdtemp(pattern.data()) != nullptr, "a scratch folder can be made");
    folder_ = pattern + "/";
    CreateSqliteReferenceDb(DatabasePath());
    WriteTextLines(folder_ + "data.ini",
                   {"[BaseGlob]", "DriverID=SQLite", "Database=tallyhand.db",
                    "User_Name=" + ScrambleNVString("tallyhand", kScrambleStartKey),
                    "Password=" + ScrambleNVString("tallyhand", kScrambleStartKey),
                    std::string("DebugLoggingEnabled=") + (logging ? "true" : "false")},
                   TextEncoding::Utf8Bom);
    WriteTextLines(folder_ + "FDDrivers.ini", {"[SQLite]", "BusyTimeout=2000"},
                   TextEncoding::Utf8Bom);
  }
  ~FuzzSite() {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  FuzzSite(const FuzzSite&) = delete;
  FuzzSite& operator=(const FuzzSite&) = delete;

  const std::string& Folder() const { return folder_; }
  std::string DatabasePath() const { return folder_ + "tallyhand.db"; }

 private:
  std::string folder_;
};

// The site database as it was made, kept in memory, written back over the file before
// each input so that every input meets the same data whatever the one before wrote.
// The backup goes through a connection of its own; the driver's connections see the
// change as another writer's (the backup raises the schema version, so their prepared
// statements are made again when the catalog or a table changed).
class PristineDatabase {
 public:
  explicit PristineDatabase(const std::string& path) {
    Check(sqlite3_open_v2(path.c_str(), &file_, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK,
          "the site database opens");
    Check(sqlite3_open(":memory:", &copy_) == SQLITE_OK, "an in-memory database opens");
    Copy(file_, copy_);
  }
  ~PristineDatabase() {
    sqlite3_close(copy_);
    sqlite3_close(file_);
  }
  PristineDatabase(const PristineDatabase&) = delete;
  PristineDatabase& operator=(const PristineDatabase&) = delete;

  // Fails (aborts) when a connection of the driver still holds a transaction, which no
  // request may leave behind.
  void Restore() { Copy(copy_, file_); }

 private:
  static void Copy(sqlite3* from, sqlite3* to) {
    sqlite3_backup* backup = sqlite3_backup_init(to, "main", from, "main");
    Check(backup != nullptr, "a backup can begin");
    const int rc = sqlite3_backup_step(backup, -1);
    sqlite3_backup_finish(backup);
    Check(rc == SQLITE_DONE, "the database is copied whole (no transaction left open)");
  }

  sqlite3* file_ = nullptr;
  sqlite3* copy_ = nullptr;
};

}  // namespace tallyhand::fuzzing
