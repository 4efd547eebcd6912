#include "data/statement_text.h"
#include "platform/ascii_case.h"

#include <cctype>

#include "platform/exception.h"

namespace tallyhand {
namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

bool IsNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}


std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Only blanks, comments and ';' from pos to the end.
bool OnlyBlanksFrom(std::string_view sql, std::size_t pos, bool allowSemicolons) {
  while (pos < sql.size()) {
    const std::size_t skipped = SkipOpaqueAt(sql, pos);
    if (skipped != pos) {
      if (sql[pos] != '-' && sql[pos] != '/') return false;  // a literal or an identifier
      pos = skipped;
      continue;
    }
    if (!IsBlank(sql[pos]) && !(allowSemicolons && sql[pos] == ';')) return false;
    ++pos;
  }
  return true;
}

// Matches a keyword (any letter case) at pos, followed by a blank or the end.
bool KeywordAt(std::string_view sql, std::size_t pos, std::string_view keyword) {
  if (pos + keyword.size() > sql.size()) return false;
  if (!EqualsIgnoringAsciiCase(sql.substr(pos, keyword.size()), keyword)) return false;
  const std::size_t after = pos + keyword.size();
  return after == sql.size() || IsBlank(sql[after]);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

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

std::size_t SkipBlanks(std::string_view sql, std::size_t pos) {
  while (pos < sql.size() && IsBlank(sql[pos])) ++pos;
  return pos;
}

}  // namespace

// When a literal, quoted identifier or comment starts at pos, the position just after
// it (the text's end when it is unterminated); otherwise pos itself. SQLite also quotes
// identifiers as `...` and [...]: markers and ';' inside them are not the statement's.
// (PostgreSQL's [...] are array subscripts, where the system's statements put no marker.)
std::size_t SkipOpaque(std::string_view sql, std::size_t pos) {
  const char c = sql[pos];
  if (c == '[') {
    const std::size_t end = sql.find(']', pos + 1);
    return end == std::string_view::npos ? sql.size() : end + 1;
  }
  if (c == '\'' || c == '"' || c == '`') {
    std::size_t i = pos + 1;
    while (i < sql.size()) {
      if (sql[i] == c) {
        if (i + 1 < sql.size() && sql[i + 1] == c) {
          i += 2;  // doubled quote stands for itself
          continue;
        }
        return i + 1;
      }
      ++i;
    }
    return sql.size();
  }
  if (c == '-' && pos + 1 < sql.size() && sql[pos + 1] == '-') {
    const std::size_t end = sql.find_first_of("\r\n", pos);
    return end == std::string_view::npos ? sql.size() : end;
  }
  if (c == '/' && pos + 1 < sql.size() && sql[pos + 1] == '*') {
    const std::size_t end = sql.find("*/", pos + 2);
    return end == std::string_view::npos ? sql.size() : end + 2;
  }
  return pos;
}

StatementMarkers ParseMarkers(std::string_view sql) {
  constexpr std::size_t kUsualMarkers = 8;
  StatementMarkers result;
  std::size_t pos = 0;
  while (pos < sql.size()) {
    const std::size_t skipped = SkipOpaqueAt(sql, pos);
    if (skipped != pos) {
      pos = skipped;
      continue;
    }
    if (sql[pos] != ':') {
      ++pos;
      continue;
    }
    if (pos + 1 < sql.size() && sql[pos + 1] == ':') {
      // A cast such as x::int: skip both colons and the type name after them.
      pos += 2;
      while (pos < sql.size() && IsNameChar(sql[pos])) ++pos;
      continue;
    }
    std::size_t end = pos + 1;
    while (end < sql.size() && IsNameChar(sql[end])) ++end;
    if (end == pos + 1) {
      ++pos;
      continue;
    }
    const std::string_view name = sql.substr(pos + 1, end - pos - 1);
    int index = -1;
    for (std::size_t i = 0; i < result.names.size(); ++i) {
      if (EqualsIgnoringAsciiCase(result.names[i], name)) {
        index = static_cast<int>(i);
        break;
      }
    }
    if (index < 0) {
      // Room for a procedure call's usual few markers at once; none for a text without.
      if (result.names.empty()) {
        result.names.reserve(kUsualMarkers);
        result.occurrences.reserve(kUsualMarkers);
      }
      index = static_cast<int>(result.names.size());
      result.names.emplace_back(name);
    }
    result.occurrences.push_back({pos, end - pos, index});
    pos = end;
  }
  return result;
}

std::string RewriteMarkers(std::string_view sql, const StatementMarkers& markers,
                           const std::function<std::string(int, const std::string&)>& replacement) {
  std::string out;
  out.reserve(sql.size() + markers.occurrences.size() * 4);
  std::size_t copied = 0;
  for (const MarkerOccurrence& m : markers.occurrences) {
    out.append(sql.substr(copied, m.offset - copied));
    out.append(replacement(m.index, markers.names[static_cast<std::size_t>(m.index)]));
    copied = m.offset + m.length;
  }
  out.append(sql.substr(copied));
  return out;
}

void CheckSingleStatement(std::string_view sql) {
  std::size_t pos = 0;
  while (pos < sql.size()) {
    const std::size_t skipped = SkipOpaqueAt(sql, pos);
    if (skipped != pos) {
      pos = skipped;
      continue;
    }
    if (sql[pos] == ';') {
      if (!OnlyBlanksFrom(sql, pos + 1, true))
        throw EDatabaseError(
            "The statement text holds more than one statement; only one statement may be "
            "run at a time");
      return;
    }
    ++pos;
  }
}

std::string ArgumentsQuotingNumbers(const ProcedureCall& call) {
  bool anyNumber = false;
  for (const std::string& argument : call.arguments) anyNumber = anyNumber || IsBareNumber(argument);
  if (!anyNumber) return call.argumentText;
  std::string text;
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
  return text;
}

std::vector<std::string> SplitArguments(std::string_view argumentText) {
  std::vector<std::string> arguments;
  if (Trim(argumentText).empty()) return arguments;
  arguments.reserve(8);  // a call's usual few arguments without growing
  int depth = 0;
  std::size_t start = 0;
  std::size_t pos = 0;
  while (pos < argumentText.size()) {
    const std::size_t skipped = SkipOpaqueAt(argumentText, pos);
    if (skipped != pos) {
      pos = skipped;
      continue;
    }
    const char c = argumentText[pos];
    if (c == '(') {
      ++depth;
    } else if (c == ')') {
      if (depth > 0) --depth;
    } else if (c == ',' && depth == 0) {
      arguments.emplace_back(Trim(argumentText.substr(start, pos - start)));
      start = pos + 1;
    }
    ++pos;
  }
  arguments.emplace_back(Trim(argumentText.substr(start)));
  return arguments;
}

std::optional<ProcedureCall> ParseProcedureCall(std::string_view sql) {
  std::size_t pos = SkipBlanks(sql, 0);
  if (!KeywordAt(sql, pos, "EXECUTE")) return std::nullopt;
  pos = SkipBlanks(sql, pos + 7);
  if (!KeywordAt(sql, pos, "PROCEDURE")) return std::nullopt;
  pos = SkipBlanks(sql, pos + 9);

  ProcedureCall call;
  const std::size_t nameStart = pos;
  while (pos < sql.size() && (IsNameChar(sql[pos]) || sql[pos] == '.' || sql[pos] == '$')) ++pos;
  call.name = std::string(sql.substr(nameStart, pos - nameStart));
  if (call.name.empty())
    throw EDatabaseError("EXECUTE PROCEDURE must be followed by a procedure name");

  pos = SkipBlanks(sql, pos);
  if (pos < sql.size() && sql[pos] == '(') {
    const std::size_t open = pos;
    int depth = 0;
    std::size_t close = std::string_view::npos;
    while (pos < sql.size()) {
      const std::size_t skipped = SkipOpaqueAt(sql, pos);
      if (skipped != pos) {
        pos = skipped;
        continue;
      }
      if (sql[pos] == '(') {
        ++depth;
      } else if (sql[pos] == ')') {
        if (--depth == 0) {
          close = pos;
          break;
        }
      }
      ++pos;
    }
    if (close == std::string_view::npos)
      throw EDatabaseError("The argument list of procedure " + call.name +
                           " lacks its closing parenthesis");
    call.argumentText = std::string(sql.substr(open + 1, close - open - 1));
    call.arguments = SplitArguments(call.argumentText);
    pos = close + 1;
  }
  if (!OnlyBlanksFrom(sql, pos, true))
    throw EDatabaseError("Unexpected text after the call of procedure " + call.name);
  return call;
}

}  // namespace tallyhand
