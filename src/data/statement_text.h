// The statement dialect shared by every driver: ":name" parameter markers bound by
// position, "EXECUTE PROCEDURE name(args)" calls, and one statement per text.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallyhand {

// One ":name" occurrence in a statement text.
struct MarkerOccurrence {
  std::size_t offset = 0;  // position of the ':'
  std::size_t length = 0;  // ':' plus the name
  int index = 0;           // the distinct marker it names, from 0
};

struct StatementMarkers {
  // Distinct names in order of first appearance; names differing only in letter
  // case are one marker (spelled as first written).
  std::vector<std::string> names;
  std::vector<MarkerOccurrence> occurrences;  // in text order
};

// Finds ":name" markers (a name is letters, digits and '_') outside '...' literals
// ('' escapes a quote), quoted identifiers and -- or /* */ comments. "::" is never a
// marker, nor is the name after it.
StatementMarkers ParseMarkers(std::string_view sql);

// When a literal ('...'), a quoted identifier ("...", and SQLite's `...` and [...]) or a
// comment starts at pos, the position just after it (the text's end when it is
// unterminated); otherwise pos. Inside the first three a doubled quote stands for itself;
// [...] ends at the first ']'.
std::size_t SkipOpaque(std::string_view sql, std::size_t pos);

// True for the characters a literal, quoted identifier or comment can begin with: where
// this is false, SkipOpaque returns pos unchanged. Scanners test it first, so that an
// ordinary character costs no call.
inline bool MayStartOpaque(char c) noexcept {
  return c == '\'' || c == '"' || c == '-' || c == '/' || c == '`' || c == '[';
}

// SkipOpaque behind the cheap test: the same result for every pos.
inline std::size_t SkipOpaqueAt(std::string_view sql, std::size_t pos) {
  return MayStartOpaque(sql[pos]) ? SkipOpaque(sql, pos) : pos;
}

// Replaces every marker occurrence by replacement(index, name), leaving the rest of
// the text unchanged; e.g. "?" + index+1 for SQLite or "$" + index+1 for PostgreSQL.
std::string RewriteMarkers(std::string_view sql, const StatementMarkers& markers,
                           const std::function<std::string(int index, const std::string& name)>&
                               replacement);

// Raises EDatabaseError when the text holds more than one statement: a ';' outside
// literals, identifiers and comments that is followed by anything but blanks,
// comments or further ';'.
void CheckSingleStatement(std::string_view sql);

struct ProcedureCall {
  std::string name;
  std::string argumentText;            // between the parentheses, unchanged
  std::vector<std::string> arguments;  // argumentText split at top-level commas, trimmed
};

// Recognises "EXECUTE PROCEDURE name", optionally followed by "(args)" and then only by
// ';' and blanks; keywords in any letter case. Returns nullopt for a text that does
// not begin (after blanks) with EXECUTE PROCEDURE; raises EDatabaseError for one that
// does but is malformed (no name, unbalanced parentheses, text after the call).
// "()" and no parentheses both mean no arguments.
std::optional<ProcedureCall> ParseProcedureCall(std::string_view sql);

// The call's argument list for a database that resolves the procedure's parameter types
// itself: every bare numeric literal quoted ('42'), so that a parameter of any type
// takes it, as it takes a quoted text; the argument text unchanged when it holds none.
std::string ArgumentsQuotingNumbers(const ProcedureCall& call);

// Splits an argument list at commas outside literals, identifiers and parentheses;
// each piece trimmed of blanks. An empty or all-blank text gives no arguments.
std::vector<std::string> SplitArguments(std::string_view argumentText);

}  // namespace tallyhand
