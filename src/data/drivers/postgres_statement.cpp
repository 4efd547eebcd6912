#include "data/drivers/postgres_statement.h"
#include "platform/ascii_case.h"

#include <cctype>

#include "data/statement_text.h"

namespace tallyhand {
namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }
bool IsWordStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0 || c == '_'; }
bool IsWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }


// The text up to its first top-level ';' (a single statement may end with one).
std::string_view WithoutTrailingSemicolon(std::string_view sql) {
  std::size_t pos = 0;
  while (pos < sql.size()) {
    const std::size_t skipped = SkipOpaqueAt(sql, pos);
    if (skipped != pos) {
      pos = skipped;
    } else if (sql[pos] == ';') {
      return sql.substr(0, pos);
    } else {
      ++pos;
    }
  }
  return sql;
}

// Identifiers outside literals, quoted identifiers and comments.
std::vector<std::string> StatementWords(std::string_view sql) {
  std::vector<std::string> words;
  std::size_t pos = 0;
  while (pos < sql.size()) {
    const std::size_t skipped = SkipOpaqueAt(sql, pos);
    if (skipped != pos) {
      pos = skipped;
    } else if (IsWordStart(sql[pos]) && (pos == 0 || !IsWordChar(sql[pos - 1]))) {
      std::size_t end = pos;
      while (end < sql.size() && IsWordChar(sql[end])) ++end;
      words.emplace_back(sql.substr(pos, end - pos));
      pos = end;
    } else {
      ++pos;
    }
  }
  return words;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

PostgresStatement TranslateForPostgres(std::string_view sql) {
  CheckSingleStatement(sql);
  PostgresStatement statement;
  statement.words = StatementWords(sql);

  std::string runnable;
  if (const std::optional<ProcedureCall> call = ParseProcedureCall(sql)) {
    runnable = "SELECT * FROM " + call->name + "(" + ArgumentsQuotingNumbers(*call) + ")";
  } else {
    runnable = std::string(TrimBlanks(WithoutTrailingSemicolon(sql)));
  }
  const StatementMarkers markers = ParseMarkers(runnable);
  statement.markerNames = markers.names;
  statement.text = RewriteMarkers(runnable, markers, [](int index, const std::string&) {
    return "$" + std::to_string(index + 1);
  });
  return statement;
}

std::string RestoreColumnNameCase(const std::string& reported,
                                  const std::vector<std::string>& words) {
  for (const char c : reported) {
    if (c >= 'A' && c <= 'Z') return reported;
  }
  for (const std::string& word : words) {
    if (EqualsIgnoringAsciiCase(word, reported)) return word;
  }
  return reported;
}

}  // namespace tallyhand
