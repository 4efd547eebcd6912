// The statement scanners test a character cheaply before calling SkipOpaque; these
// tests hold them to the versions that called it on every character, kept here as
// the reference.
#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <string>
#include <vector>

#include "data/drivers/postgres_statement.h"
#include "data/statement_text.h"
#include "platform/ascii_case.h"
#include "platform/exception.h"
#include "support/random_texts.h"

namespace tallyhand {
namespace {

namespace reference {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }
bool IsNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }
bool IsWordStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0 || c == '_'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

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
          i += 2;
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

bool OnlyBlanksFrom(std::string_view sql, std::size_t pos, bool allowSemicolons) {
  while (pos < sql.size()) {
    const std::size_t skipped = SkipOpaque(sql, pos);
    if (skipped != pos) {
      if (sql[pos] != '-' && sql[pos] != '/') return false;
      pos = skipped;
      continue;
    }
    if (!IsBlank(sql[pos]) && !(allowSemicolons && sql[pos] == ';')) return false;
    ++pos;
  }
  return true;
}

bool KeywordAt(std::string_view sql, std::size_t pos, std::string_view keyword) {
  if (pos + keyword.size() > sql.size()) return false;
  if (!EqualsIgnoringAsciiCase(sql.substr(pos, keyword.size()), keyword)) return false;
  const std::size_t after = pos + keyword.size();
  return after == sql.size() || IsBlank(sql[after]);
}

std::size_t SkipBlanks(std::string_view sql, std::size_t pos) {
  while (pos < sql.size() && IsBlank(sql[pos])) ++pos;
  return pos;
}

StatementMarkers ParseMarkers(std::string_view sql) {
  StatementMarkers result;
  std::size_t pos = 0;
  while (pos < sql.size()) {
    const std::size_t skipped = SkipOpaque(sql, pos);
    if (skipped != pos) {
      pos = skipped;
      continue;
    }
    if (sql[pos] != ':') {
      ++pos;
      continue;
    }
    if (pos + 1 < sql.size() && sql[pos + 1] == ':') {
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
      index = static_cast<int>(result.names.size());
      result.names.emplace_back(name);
    }
    result.occurrences.push_back({pos, end - pos, index});
    pos = end;
  }
  return result;
}

// True when the text holds a single statement (CheckSingleStatement would not raise).
bool IsSingleStatement(std::string_view sql) {
  std::size_t pos = 0;
  while (pos < sql.size()) {
    const std::size_t skipped = SkipOpaque(sql, pos);
    if (skipped != pos) {
      pos = skipped;
      continue;
    }
    if (sql[pos] == ';') return OnlyBlanksFrom(sql, pos + 1, true);
    ++pos;
  }
  return true;
}

std::vector<std::string> SplitArguments(std::string_view argumentText) {
  std::vector<std::string> arguments;
  if (Trim(argumentText).empty()) return arguments;
  int depth = 0;
  std::size_t start = 0;
  std::size_t pos = 0;
  while (pos < argumentText.size()) {
    const std::size_t skipped = SkipOpaque(argumentText, pos);
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
      const std::size_t skipped = SkipOpaque(sql, pos);
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

// The PostgreSQL translation's own scanners.
std::string_view WithoutTrailingSemicolon(std::string_view sql) {
  std::size_t pos = 0;
  while (pos < sql.size()) {
    const std::size_t skipped = SkipOpaque(sql, pos);
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

std::vector<std::string> StatementWords(std::string_view sql) {
  std::vector<std::string> words;
  std::size_t pos = 0;
  while (pos < sql.size()) {
    const std::size_t skipped = SkipOpaque(sql, pos);
    if (skipped != pos) {
      pos = skipped;
    } else if (IsWordStart(sql[pos]) && (pos == 0 || !IsNameChar(sql[pos - 1]))) {
      std::size_t end = pos;
      while (end < sql.size() && IsNameChar(sql[end])) ++end;
      words.emplace_back(sql.substr(pos, end - pos));
      pos = end;
    } else {
      ++pos;
    }
  }
  return words;
}

}  // namespace reference

// A comparable picture of each scanner's result, errors included.
std::string MarkersText(const StatementMarkers& markers) {
  std::string text;
  for (const std::string& name : markers.names) text += name + ",";
  text += "|";
  for (const MarkerOccurrence& m : markers.occurrences) {
    text += std::to_string(m.offset) + ":" + std::to_string(m.length) + ":" +
            std::to_string(m.index) + ";";
  }
  return text;
}

std::string CallText(const std::optional<ProcedureCall>& call) {
  if (!call) return "none";
  std::string text = call->name + "(" + call->argumentText + ")";
  for (const std::string& argument : call->arguments) text += "[" + argument + "]";
  return text;
}

template <typename Scan>
std::string Outcome(Scan scan) {
  try {
    return scan();
  } catch (const EDatabaseError& e) {
    return std::string("error: ") + e.what();
  }
}

std::vector<std::string> TrickyStatements() {
  return {
      "",
      "-",
      "/",
      "'",
      "\"",
      "--",
      "/*",
      "*/",
      "a-b/c",
      "SELECT :a, :b, :A FROM t WHERE x = ':no' AND y = \":no\" -- :no\n AND z = :c",
      "SELECT x::int, :a::text, ::b FROM t /* :no */ WHERE :_1 = 1",
      "SELECT 'it''s' , \"a\"\"b\" , :a",
      "SELECT 1; -- trailing comment\n ;  /* more */ ;",
      "SELECT 1; SELECT 2",
      "SELECT ';' ; ",
      "SELECT 1 ; 'literal'",
      "SELECT 1 ; - 1",
      "SELECT 1 ; / 1",
      "SELECT 1 -- ; not a statement end",
      "SELECT 1 /* unterminated ; comment",
      "SELECT 'unterminated ; literal",
      "EXECUTE PROCEDURE p",
      "execute procedure sch.p$1(1, 'a,b', (2, 3), \"x,y\") ;",
      "EXECUTE PROCEDURE p(:a, :b -- note\n, 3)",
      "EXECUTE PROCEDURE p( 'a)' , /* ) */ 2 )",
      "EXECUTE PROCEDURE p(1",
      "EXECUTE PROCEDURE p(1) x",
      "EXECUTE PROCEDURE p(1) -- fine\n;",
      "EXECUTE PROCEDURE (1)",
      "EXECUTE PROCEDURE p() ; 'x'",
      "EXECUTE PROCEDURE p(-1, -.5e3, 1-2, a/b, 1--2\n)",
      "SELECT [a:b;c], `d``:e;`, :f FROM [t] ; [x]",
      "SELECT [it's], `un:terminated",
      "EXECUTE PROCEDURE p([a,b], `c)`, ARRAY[1,2])",
  };
}

// Fixed-seed random statements of pieces the scanners treat specially.
std::vector<std::string> RandomStatements(std::size_t count) {
  static const testsupport::RandomTextRecipe recipe{{
      "SELECT ", "x", "_a1", " ", "\n", "\r", "'", "''", "\"", "\"\"", "-", "--", "/", "/*",
      "*/", "*", ":", "::", ":a", ":B", ";", "(", ")", ",", "1", "-1", ".5", "e3",
      "EXECUTE PROCEDURE ", "p", "\xC3\xA9", "\x80",
  }, 1352, 20, 8};
  std::vector<std::string> texts = testsupport::RandomTexts(recipe, count);
  // Random procedure calls, so that the argument scanners see varied lists.
  for (std::size_t n = 0; n < count / 4; ++n) texts[n] = "EXECUTE PROCEDURE p(" + texts[n];
  return texts;
}

TEST(StatementTextFastPath, ScannersMatchTheCharacterByCharacterReference) {
  std::vector<std::string> texts = TrickyStatements();
  for (std::string& text : RandomStatements(4000)) texts.push_back(std::move(text));
  for (const std::string& sql : texts) {
    SCOPED_TRACE(sql);
    for (std::size_t pos = 0; pos < sql.size(); ++pos) {
      ASSERT_EQ(SkipOpaqueAt(sql, pos), reference::SkipOpaque(sql, pos)) << pos;
      ASSERT_EQ(SkipOpaque(sql, pos), reference::SkipOpaque(sql, pos)) << pos;
    }
    EXPECT_EQ(MarkersText(ParseMarkers(sql)), MarkersText(reference::ParseMarkers(sql)));
    EXPECT_EQ(Outcome([&] {
                CheckSingleStatement(sql);
                return std::string("single");
              }),
              reference::IsSingleStatement(sql)
                  ? "single"
                  : "error: The statement text holds more than one statement; only one "
                    "statement may be run at a time");
    EXPECT_EQ(SplitArguments(sql), reference::SplitArguments(sql));
    EXPECT_EQ(Outcome([&] { return CallText(ParseProcedureCall(sql)); }),
              Outcome([&] { return CallText(reference::ParseProcedureCall(sql)); }));
  }
}

TEST(StatementTextFastPath, PostgresTranslationMatchesTheCharacterByCharacterReference) {
  std::vector<std::string> texts = TrickyStatements();
  for (std::string& text : RandomStatements(4000)) texts.push_back(std::move(text));
  for (const std::string& sql : texts) {
    SCOPED_TRACE(sql);
    std::optional<PostgresStatement> translated;
    std::string error;
    try {
      translated = TranslateForPostgres(sql);
    } catch (const EDatabaseError& e) {
      error = e.what();
    }
    const bool referenceFails =
        !reference::IsSingleStatement(sql) ||
        Outcome([&] { return CallText(reference::ParseProcedureCall(sql)); }).starts_with("error");
    ASSERT_EQ(translated.has_value(), !referenceFails) << error;
    if (!translated) continue;
    EXPECT_EQ(translated->words, reference::StatementWords(sql));
    if (reference::ParseProcedureCall(sql)) continue;  // the call's rewriting is not a scanner
    const std::string runnable(reference::Trim(reference::WithoutTrailingSemicolon(sql)));
    const StatementMarkers markers = reference::ParseMarkers(runnable);
    EXPECT_EQ(translated->markerNames, markers.names);
    const auto dollarNumber = [](int index, const std::string&) {
      return "$" + std::to_string(index + 1);
    };
    EXPECT_EQ(translated->text, RewriteMarkers(runnable, markers, dollarNumber));
  }
}

}  // namespace
}  // namespace tallyhand
