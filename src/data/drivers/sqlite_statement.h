// How a statement of the system's dialect is run by SQLite: ":name" markers become "?n"
// (numbered in order of first appearance, so values bind by position), and a procedure
// call is recognised so that the driver runs the catalog's body in its place.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data/statement_text.h"

namespace tallyhand {

struct SqliteStatement {
  std::string text;                      // markers numbered
  std::vector<std::string> markerNames;  // distinct markers, in order of first appearance
  std::optional<ProcedureCall> call;     // read from text: its arguments carry "?n"
};

// Raises EDatabaseError for a text holding more than one statement or a malformed
// procedure call.
SqliteStatement TranslateForSqlite(std::string_view sql);

}  // namespace tallyhand
