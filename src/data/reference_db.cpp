#include "data/reference_db.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <filesystem>
#include <memory>

#include "platform/exception.h"

namespace tallyhand {
namespace embedded {
extern const char kSqliteSchemaSql[];
extern const char kSqliteDemoSql[];
extern const char kPostgresSchemaSql[];
extern const char kPostgresDemoSql[];
}  // namespace embedded

namespace {

void ExecSqlite(sqlite3* db, const std::string& sql, std::string_view what) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = error != nullptr ? error : sqlite3_errmsg(db);
    sqlite3_free(error);
    throw EDatabaseError(std::string(what) + ": " + message);
  }
}

void RemoveDatabaseFiles(const std::string& path) {
  std::error_code ignored;
  for (const char* suffix : {"", "-wal", "-shm", "-journal"})
    std::filesystem::remove(path + suffix, ignored);
}

struct PgConnectionCloser {
  void operator()(PGconn* connection) const { PQfinish(connection); }
};
struct PgResultClearer {
  void operator()(PGresult* result) const { PQclear(result); }
};

void ExecPostgres(PGconn* connection, std::string_view sql, std::string_view what) {
  if (sql.empty()) throw EDatabaseError(std::string(what) + " is not part of this build");
  std::unique_ptr<PGresult, PgResultClearer> result(PQexec(connection, std::string(sql).c_str()));
  const ExecStatusType status = PQresultStatus(result.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
    throw EDatabaseError(std::string(what) + ": " + PQerrorMessage(connection));
}

}  // namespace

ReferenceSql SqliteReferenceSql() { return {embedded::kSqliteSchemaSql, embedded::kSqliteDemoSql}; }

ReferenceSql PostgresReferenceSql() {
  return {embedded::kPostgresSchemaSql, embedded::kPostgresDemoSql};
}

void CreateSqliteReferenceDb(const std::string& path, bool withDemoData) {
  std::error_code error;
  if (std::filesystem::exists(path, error))
    throw EDatabaseError("Database file " + path + " already exists");
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &db,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> closer(db, sqlite3_close_v2);
  try {
    if (rc != SQLITE_OK)
      throw EDatabaseError("Unable to create database " + path + ": " +
                           (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc)));
    const ReferenceSql sql = SqliteReferenceSql();
    if (sql.schema.empty()) throw EDatabaseError("The SQLite reference schema is not part of this build");
    ExecSqlite(db, "PRAGMA journal_mode=WAL", "Switching to WAL");
    ExecSqlite(db, "BEGIN IMMEDIATE", "Starting");
    ExecSqlite(db, std::string(sql.schema), "db/sqlite/schema.sql");
    if (withDemoData) ExecSqlite(db, std::string(sql.demo), "db/sqlite/demo.sql");
    ExecSqlite(db, "COMMIT", "Committing");
  } catch (...) {
    closer.reset();
    RemoveDatabaseFiles(path);
    throw;
  }
}

void InitPostgresReferenceDb(const std::string& conninfo, bool withDemoData) {
  std::unique_ptr<PGconn, PgConnectionCloser> connection(PQconnectdb(conninfo.c_str()));
  if (!connection || PQstatus(connection.get()) != CONNECTION_OK)
    throw EDatabaseError(std::string("Unable to connect to PostgreSQL: ") +
                         (connection ? PQerrorMessage(connection.get()) : "out of memory"));
  const ReferenceSql sql = PostgresReferenceSql();
  ExecPostgres(connection.get(), "SET client_min_messages = warning", "Setting up");
  ExecPostgres(connection.get(), sql.schema, "db/postgres/schema.sql");
  if (withDemoData) ExecPostgres(connection.get(), sql.demo, "db/postgres/demo.sql");
}

}  // namespace tallyhand
