// Reads a statement's whole result set into the in-memory result set: column names as
// the driver reports them, field types from their SQL types, text as wide characters.
#pragma once

#include <sql.h>

#include <functional>
#include <memory>
#include <string_view>

#include "data/result_set.h"

namespace tallyhand {

// Raises for a failed call on the statement (rc not SQL_SUCCESS/_WITH_INFO); the caller's
// check knows the connection and reads the diagnostics.
using OdbcStatementCheck = std::function<void(SQLRETURN rc, std::string_view call)>;

// Fetches every row of the statement's current result, which has columnCount (> 0)
// columns.
std::unique_ptr<TResultSet> FetchResultSet(SQLHSTMT statement, SQLSMALLINT columnCount,
                                           const OdbcStatementCheck& check);

}  // namespace tallyhand
