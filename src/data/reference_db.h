// The reference database: the tables and procedures the server relies on, with demo
// data, for each driver. The SQL of db/ is built into the program.
#pragma once

#include <string>
#include <string_view>

namespace tallyhand {

struct ReferenceSql {
  std::string_view schema;  // tables (and, for SQLite, the stored_procedures catalog)
  std::string_view demo;    // demo data
};

ReferenceSql SqliteReferenceSql();    // db/sqlite/schema.sql and demo.sql
ReferenceSql PostgresReferenceSql();  // db/postgres/schema.sql and demo.sql

// Creates a new SQLite database file at path (in WAL mode) from the reference schema,
// and the demo data when withDemoData. Raises EDatabaseError when the file already
// exists or a statement fails; a partly written file is removed.
void CreateSqliteReferenceDb(const std::string& path, bool withDemoData = true);

// Runs the PostgreSQL reference schema, and the demo data when withDemoData, on the
// database named by a libpq connection string. Raises EDatabaseError with the server's
// message when connecting or a statement fails.
void InitPostgresReferenceDb(const std::string& conninfo, bool withDemoData = true);

}  // namespace tallyhand
