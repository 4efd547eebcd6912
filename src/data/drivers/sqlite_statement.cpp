#include "data/drivers/sqlite_statement.h"

namespace tallyhand {

SqliteStatement TranslateForSqlite(std::string_view sql) {
  CheckSingleStatement(sql);
  const StatementMarkers markers = ParseMarkers(sql);
  SqliteStatement statement;
  statement.markerNames = markers.names;
  statement.text = RewriteMarkers(sql, markers, [](int index, const std::string&) {
    return "?" + std::to_string(index + 1);
  });
  statement.call = ParseProcedureCall(statement.text);
  return statement;
}

}  // namespace tallyhand
