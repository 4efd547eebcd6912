#include "data/drivers/postgres_statement.h"
#include "platform/ascii_case.h"

#include <cctype>

#include "data/statement_text.h"

namespace tallyhand {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }
bool IsWordStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0 || c == '_'; }
bool IsWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }


// [+-] digits [. digits] [e [+-] digits], or the same starting with ".digits".
bool IsBareNumber(std::string_view text) {
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < text.size() && IsDigit(text[i])) ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && IsDigit(text[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t exponentDigits = 0;
    while (i < text.size() && IsDigit(text[i])) ++i, ++exponentDigits;
    if (exponentDigits == 0) return false;
  }
  return i == text.size();
}

std::string ProcedureQuery(const ProcedureCall& call) {
  bool anyNumber = false;
  for (const std::string& argument : call.arguments) anyNumber = anyNumber || IsBareNumber(argument);
  std::string text = "SELECT * FROM " + call.name + "(";
  if (!anyNumber) {
    text += call.argumentText;
  } else {
    for (std::size_t i = 0; i < call.arguments.size(); ++i) {
      const std::string& argument = call.arguments[i];
      if (i > 0) text += ',';
      if (IsBareNumber(argument)) {
        text += '\'' + argument + '\'';
      } else {
        text += argument;
        // A trailing "--" comment must not swallow what follows it.
        if (argument.find("--") != std::string::npos) text += '\n';
      }
    }
  }
  text += ')';
  return text;
}

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
    runnable = ProcedureQuery(*call);
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
