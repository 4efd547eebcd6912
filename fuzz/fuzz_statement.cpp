// Scans and translates arbitrary statement texts: the ":name" markers, the one-statement
// check, the procedure call with its arguments, and the texts the SQLite, PostgreSQL and
// ODBC drivers run (ODBC in both its procedure call styles). SQLite itself, on an in-memory database with the reference schema, is the
// judge of where its statements end and which parameters a text has.
//
// Besides a crash or a sanitizer report, a bug is:
// - an exception other than EDatabaseError;
// - markers out of order, overlapping, past the text, or not ":" and a whole name; a name
//   listed twice or not in order of first appearance;
// - a rewrite that changes anything but the markers: putting the markers back gives the
//   text again, and every literal, quoted identifier and comment stays as it was;
// - a translated text that still holds a marker, or (PostgreSQL) a ';' outside quotes;
// - ODBC parameters not bound to their markers' values in order, or a call escape whose
//   closing ")}" a comment of the arguments swallows;
// - a text accepted as one statement in which SQLite finds a second one;
// - a SQLite text whose parameters are not exactly the numbered markers;
// - procedure arguments that do not split back into themselves, or a PostgreSQL call
//   whose arguments are not the call's own (bare numbers quoted).
#include <sqlite3.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data/drivers/odbc_statement.h"
#include "data/drivers/postgres_statement.h"
#include "data/drivers/sqlite_statement.h"
#include "data/reference_db.h"
#include "data/statement_text.h"
#include "fuzz_check.h"
#include "platform/ascii_case.h"
#include "platform/exception.h"

namespace {

using tallyhand::fuzzing::Check;

bool IsNameChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

sqlite3* ReferenceDb() {
  static sqlite3* db = [] {
    sqlite3* opened = nullptr;
    Check(sqlite3_open(":memory:", &opened) == SQLITE_OK, "an in-memory database opens");
    const std::string schema(tallyhand::SqliteReferenceSql().schema);
    Check(sqlite3_exec(opened, schema.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK,
          "the reference schema loads");
    return opened;
  }();
  return db;
}

// The literals, quoted identifiers and comments of a text, in order.
std::vector<std::string_view> OpaqueParts(std::string_view sql) {
  std::vector<std::string_view> parts;
  std::size_t pos = 0;
  while (pos < sql.size()) {
    const std::size_t end = tallyhand::SkipOpaque(sql, pos);
    if (end == pos) {
      ++pos;
      continue;
    }
    parts.push_back(sql.substr(pos, end - pos));
    pos = end;
  }
  return parts;
}

// The closed '...' literals (an even number of quotes: both ends and doubled ones).
std::vector<std::string_view> Literals(std::string_view sql) {
  std::vector<std::string_view> literals;
  for (std::string_view part : OpaqueParts(sql)) {
    if (part.front() == '\'' && std::count(part.begin(), part.end(), '\'') % 2 == 0)
      literals.push_back(part);
  }
  return literals;
}

void CheckMarkers(std::string_view sql, const tallyhand::StatementMarkers& markers) {
  std::size_t after = 0;
  std::vector<bool> seen(markers.names.size(), false);
  std::size_t firstSeen = 0;
  for (const tallyhand::MarkerOccurrence& m : markers.occurrences) {
    Check(m.offset >= after && m.length >= 2 && m.offset + m.length <= sql.size(),
          "markers in order, apart, within the text");
    Check(sql[m.offset] == ':', "a marker begins with ':'");
    for (std::size_t i = m.offset + 1; i < m.offset + m.length; ++i)
      Check(IsNameChar(sql[i]), "a marker's name is name characters");
    Check(m.offset + m.length == sql.size() || !IsNameChar(sql[m.offset + m.length]),
          "a marker takes its whole name");
    Check(m.index >= 0 && static_cast<std::size_t>(m.index) < markers.names.size(), "a marker names a listed name");
    const auto index = static_cast<std::size_t>(m.index);
    Check(tallyhand::EqualsIgnoringAsciiCase(sql.substr(m.offset + 1, m.length - 1), markers.names[index]),
          "a marker's listed name is its own");
    if (!seen[index]) {
      Check(index == firstSeen++, "names listed in order of first appearance");
      seen[index] = true;
    }
    after = m.offset + m.length;
  }
  Check(firstSeen == markers.names.size(), "every listed name occurs");
}

void CheckRewrites(std::string_view sql, const tallyhand::StatementMarkers& markers) {
  const std::string back = tallyhand::RewriteMarkers(
      sql, markers, [](int, const std::string& name) { return ":" + name; });
  Check(tallyhand::EqualsIgnoringAsciiCase(back, sql), "putting the markers back gives the text");
  const std::string numbered = tallyhand::RewriteMarkers(
      sql, markers, [](int index, const std::string&) { return "?" + std::to_string(index + 1); });
  Check(OpaqueParts(numbered) == OpaqueParts(sql), "numbering keeps literals, identifiers and comments");
  Check(tallyhand::ParseMarkers(numbered).occurrences.empty(), "numbering leaves no marker");
}

// SQLite finds a statement it could run in text (one with an error it would refuse
// before running anything, so it does not count).
bool SqliteFindsAStatement(std::string_view text) {
  const std::string copy(text);
  const char* rest = copy.c_str();
  const char* const end = rest + copy.size();
  while (rest < end) {
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    const int rc = sqlite3_prepare_v2(ReferenceDb(), rest, static_cast<int>(end - rest), &stmt, &tail);
    sqlite3_finalize(stmt);
    if (rc != SQLITE_OK) return false;
    if (stmt != nullptr) return true;
    if (tail == nullptr || tail <= rest) return false;
    rest = tail;
  }
  return false;
}

// Where SQLite ends the first statement: just after the first ';' that completes one.
std::optional<std::size_t> SqliteFirstStatementEnd(std::string_view text) {
  for (std::size_t i = text.find(';'); i != std::string_view::npos; i = text.find(';', i + 1)) {
    if (sqlite3_complete(std::string(text.substr(0, i + 1)).c_str()) != 0) return i + 1;
  }
  return std::nullopt;
}

void CheckSqliteSeesOneStatement(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return;  // SQLite reads up to a NUL
  if (const std::optional<std::size_t> end = SqliteFirstStatementEnd(text))
    Check(!SqliteFindsAStatement(text.substr(*end)), "SQLite finds one statement in an accepted text");
}

// The parameters SQLite finds are the numbered markers, each of them. A text with one of
// SQLite's own parameter forms that the dialect leaves alone ("?", "?NNN", "@name",
// "$name", ":name" with '$' or letters beyond ASCII, which a client's statement may hold)
// is not judged: SQLite numbers those among the markers.
void CheckSqliteParameters(std::string_view sql, const tallyhand::SqliteStatement& statement) {
  if (statement.call || sql.find('?') != std::string_view::npos ||
      statement.text.find('\0') != std::string::npos)
    return;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(ReferenceDb(), statement.text.c_str(), -1, &stmt, nullptr) != SQLITE_OK ||
      stmt == nullptr) {
    sqlite3_finalize(stmt);
    return;
  }
  // Each parameter's name, "" for an anonymous one; whether each numbered marker is one.
  std::vector<std::string> names;
  for (int i = 1; i <= sqlite3_bind_parameter_count(stmt); ++i) {
    const char* name = sqlite3_bind_parameter_name(stmt, i);
    names.emplace_back(name != nullptr ? name : "");
  }
  bool everyMarkerFound = true;
  for (std::size_t k = 1; k <= statement.markerNames.size(); ++k) {
    const std::string marker = "?" + std::to_string(k);
    everyMarkerFound = everyMarkerFound && sqlite3_bind_parameter_index(stmt, marker.c_str()) > 0;
  }
  sqlite3_finalize(stmt);
  const auto foreign = [](const std::string& name) {
    return name.empty() || name[0] == '@' || name[0] == '$' ||
           (name[0] == ':' && !std::all_of(name.begin() + 1, name.end(), IsNameChar));
  };
  if (std::any_of(names.begin(), names.end(), foreign)) return;
  bool exact = everyMarkerFound;
  for (const std::string& name : names)
    exact = exact && name[0] == '?' && std::stoul(name.substr(1)) <= statement.markerNames.size();
  Check(exact, "SQLite's parameters are the numbered markers");
}

// Arguments rejoined with line breaks (which end a trailing comment) split the same again.
void CheckArgumentsSplitBack(const std::vector<std::string>& arguments) {
  std::string joined;
  for (std::size_t i = 0; i < arguments.size(); ++i) joined += (i ? "\n," : "") + arguments[i];
  Check(tallyhand::SplitArguments(joined) == arguments, "arguments split back into themselves");
}

// Each literal of the statement in order in the translation; literals added are quoted
// bare numbers (a procedure call's arguments, for a database that resolves their types).
void CheckLiteralsKeptAddingQuotedNumbers(std::string_view sql, std::string_view translated) {
  const std::vector<std::string_view> given = Literals(sql);
  std::size_t next = 0;
  for (std::string_view literal : Literals(translated)) {
    if (next < given.size() && literal == given[next]) {
      ++next;
    } else {
      Check(literal.size() > 2 && literal.back() == '\'' &&
                literal.find_first_not_of("+-.0123456789eE", 1) == literal.size() - 1,
            "a translation adds only quoted numbers");
    }
  }
  Check(next == given.size(), "a translation keeps every literal");
}

void CheckPostgres(std::string_view sql, const tallyhand::StatementMarkers& markers,
                   const std::optional<tallyhand::ProcedureCall>& call) {
  const tallyhand::PostgresStatement pg = tallyhand::TranslateForPostgres(sql);
  Check(pg.markerNames == markers.names, "PostgreSQL keeps the markers");
  Check(tallyhand::ParseMarkers(pg.text).occurrences.empty(), "PostgreSQL's text holds no marker");
  std::size_t pos = 0;
  while (pos < pg.text.size()) {
    const std::size_t skipped = tallyhand::SkipOpaque(pg.text, pos);
    if (skipped != pos) {
      pos = skipped;
      continue;
    }
    Check(pg.text[pos] != ';', "PostgreSQL's text holds no ';'");
    ++pos;
  }
  CheckLiteralsKeptAddingQuotedNumbers(sql, pg.text);
  if (!call) return;
  const std::string head = "SELECT * FROM " + call->name + "(";
  Check(pg.text.starts_with(head) && pg.text.ends_with(")"), "a call becomes a function query");
}

// Where the text outside literals, identifiers and comments is at pos.
bool OutsideOpaqueParts(std::string_view text, std::size_t at) {
  std::size_t pos = 0;
  while (pos < at) {
    const std::size_t skipped = tallyhand::SkipOpaque(text, pos);
    pos = skipped == pos ? pos + 1 : skipped;
  }
  return pos == at;
}

void CheckOdbc(std::string_view sql, const tallyhand::StatementMarkers& markers,
               const std::optional<tallyhand::ProcedureCall>& call, tallyhand::ProcedureCallStyle style) {
  const tallyhand::OdbcStatement odbc = tallyhand::TranslateForOdbc(sql, style);
  Check(odbc.markerNames == markers.names, "ODBC keeps the markers");
  std::vector<int> occurrences;
  for (const tallyhand::MarkerOccurrence& m : markers.occurrences) occurrences.push_back(m.index);
  Check(odbc.parameterMarkers == occurrences, "ODBC binds each '?' to its marker's value");
  Check(tallyhand::ParseMarkers(odbc.text).occurrences.empty(), "ODBC's text holds no marker");
  if (!call || style == tallyhand::ProcedureCallStyle::Native) {
    Check(Literals(odbc.text) == Literals(sql), "ODBC keeps every literal");
    Check(OpaqueParts(odbc.text) == OpaqueParts(sql), "ODBC keeps literals, identifiers and comments");
    return;
  }
  CheckLiteralsKeptAddingQuotedNumbers(sql, odbc.text);
  Check(odbc.text.starts_with("{call " + call->name + "(") && odbc.text.ends_with(")}") &&
            OutsideOpaqueParts(odbc.text, odbc.text.size() - 2),
        "a call becomes the call escape, closed outside any comment");
}

void CheckSqlite(std::string_view sql, const tallyhand::StatementMarkers& markers, bool isCall) {
  const tallyhand::SqliteStatement statement = tallyhand::TranslateForSqlite(sql);
  Check(statement.markerNames == markers.names, "SQLite keeps the markers");
  Check(statement.call.has_value() == isCall, "SQLite sees the call the text is");
  Check(OpaqueParts(statement.text) == OpaqueParts(sql), "SQLite's text keeps literals, identifiers and comments");
  CheckSqliteSeesOneStatement(statement.text);
  CheckSqliteParameters(sql, statement);
  if (statement.call) CheckArgumentsSplitBack(statement.call->arguments);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view sql(reinterpret_cast<const char*>(data), size);
  const tallyhand::StatementMarkers markers = tallyhand::ParseMarkers(sql);
  CheckMarkers(sql, markers);
  CheckRewrites(sql, markers);
  CheckArgumentsSplitBack(tallyhand::SplitArguments(sql));

  bool single = true;
  try {
    tallyhand::CheckSingleStatement(sql);
  } catch (const tallyhand::EDatabaseError&) {
    single = false;
  }
  if (single) CheckSqliteSeesOneStatement(sql);

  std::optional<tallyhand::ProcedureCall> call;
  try {
    call = tallyhand::ParseProcedureCall(sql);
  } catch (const tallyhand::EDatabaseError&) {
    return 0;
  }
  if (call) Check(!call->name.empty(), "a call names its procedure");
  try {
    CheckPostgres(sql, markers, call);
    Check(single, "PostgreSQL takes one statement only");
  } catch (const tallyhand::EDatabaseError&) {
    Check(!single, "PostgreSQL refuses only texts of more statements");
  }
  for (const auto style : {tallyhand::ProcedureCallStyle::Native, tallyhand::ProcedureCallStyle::Escape}) {
    try {
      CheckOdbc(sql, markers, call, style);
      Check(single, "ODBC takes one statement only");
    } catch (const tallyhand::EDatabaseError&) {
      Check(!single, "ODBC refuses only texts of more statements");
    }
  }
  try {
    CheckSqlite(sql, markers, call.has_value());
    Check(single, "SQLite takes one statement only");
  } catch (const tallyhand::EDatabaseError&) {
    Check(!single, "SQLite refuses only texts of more statements");
  }
  return 0;
}
