// Text between the system (UTF-8) and the ODBC wide-character interface (UTF-16 code
// units of SQLWCHAR), so that every driver's character set arrives whole.
#pragma once

#include <sql.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tallyhand {

static_assert(sizeof(SQLWCHAR) == 2, "the driver manager's wide characters are UTF-16 code units");

// UTF-8 to UTF-16, without a terminating NUL; an invalid UTF-8 sequence becomes U+FFFD.
std::vector<SQLWCHAR> ToSqlWide(std::string_view utf8);

// Appends UTF-16 code units as UTF-8; an unpaired surrogate becomes U+FFFD.
void AppendFromSqlWide(std::string& out, const SQLWCHAR* units, std::size_t count);

inline std::string FromSqlWide(const SQLWCHAR* units, std::size_t count) {
  std::string out;
  AppendFromSqlWide(out, units, count);
  return out;
}

}  // namespace tallyhand
