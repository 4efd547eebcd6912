#include "data/drivers/odbc_statement.h"

#include <optional>

#include "data/statement_text.h"

namespace tallyhand {
namespace {

std::string CallEscape(const ProcedureCall& call) {
  return "{call " + call.name + "(" + ArgumentsQuotingNumbers(call) + ")}";
}

}  // namespace

OdbcStatement TranslateForOdbc(std::string_view sql, ProcedureCallStyle style) {
  CheckSingleStatement(sql);
  std::string runnable;
  // Parsed in both styles, so that a malformed call fails here the same way.
  const std::optional<ProcedureCall> call = ParseProcedureCall(sql);
  if (call && style == ProcedureCallStyle::Escape) {
    runnable = CallEscape(*call);
  } else {
    runnable = std::string(sql);
  }
  const StatementMarkers markers = ParseMarkers(runnable);
  OdbcStatement statement;
  statement.markerNames = markers.names;
  statement.parameterMarkers.reserve(markers.occurrences.size());
  for (const MarkerOccurrence& occurrence : markers.occurrences)
    statement.parameterMarkers.push_back(occurrence.index);
  statement.text = RewriteMarkers(runnable, markers, [](int, const std::string&) { return "?"; });
  return statement;
}

}  // namespace tallyhand
