// How a statement of the system's dialect is run by PostgreSQL: procedure calls become
// set-returning function calls, ":name" markers become "$n", and result column names
// that PostgreSQL folded to lower case get back the letter case the statement wrote.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tallyhand {

struct PostgresStatement {
  std::string text;                      // what libpq runs
  std::vector<std::string> markerNames;  // distinct markers, in order of first appearance
  std::vector<std::string> words;        // identifiers of the original text, as written
};

// "EXECUTE PROCEDURE name(args)" (keywords in any case) becomes "SELECT * FROM
// name(args)"; an argument that is a bare numeric literal is sent as an untyped literal
// ('42'), so that a procedure parameter of any type accepts it, as it accepts a quoted
// one. Other statements run as written, without a trailing ';'. Marker n (from 1)
// becomes "$n". Raises EDatabaseError for a text holding more than one statement or a
// malformed procedure call.
PostgresStatement TranslateForPostgres(std::string_view sql);

// PostgreSQL reports unquoted names in lower case: a reported name without capital
// letters that equals one of the statement's words apart from letter case is given the
// statement's spelling (the first such word); any other name is kept.
std::string RestoreColumnNameCase(const std::string& reported,
                                  const std::vector<std::string>& words);

}  // namespace tallyhand
