// How a statement of the system's dialect goes to an ODBC driver: ":name" markers become
// "?" (one per occurrence, each bound to its name's value) and a procedure call is sent
// as written or as the ODBC call escape; the rest of the text is sent as written.
// In the call escape the database resolves the procedure's parameter types itself, so a
// bare number is quoted there ('42'): the app writes numbers bare also where the
// accounting server's procedure takes a text, and a quoted number fits any parameter.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "data/drivers/odbc_settings.h"

namespace tallyhand {

struct OdbcStatement {
  std::string text;                      // what the driver runs
  std::vector<std::string> markerNames;  // distinct markers, in order of first appearance
  // For each "?" of the text, in order, the distinct marker whose value it takes.
  std::vector<int> parameterMarkers;
};

// Escape turns "EXECUTE PROCEDURE name(args)" (keywords in any case, an optional ';')
// into "{call name(args)}", bare numbers quoted; Native leaves it unchanged. Raises EDatabaseError for a text
// holding more than one statement or a malformed procedure call.
OdbcStatement TranslateForOdbc(std::string_view sql, ProcedureCallStyle style);

}  // namespace tallyhand
