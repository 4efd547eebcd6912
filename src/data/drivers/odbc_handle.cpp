#include "data/drivers/odbc_handle.h"

#include <sqlext.h>

#include <algorithm>
#include <vector>

#include "data/drivers/odbc_text.h"

namespace tallyhand {
namespace {

// Drivers rarely give more; a runaway driver must not fill the log.
constexpr SQLSMALLINT kMaxRecords = 8;

// Line breaks, tabs and runs of blanks become one blank: the log wants one line.
void AppendOneLine(std::string& out, std::string_view text) {
  bool pendingBlank = false;
  for (const char c : text) {
    if (static_cast<unsigned char>(c) <= ' ') {
      pendingBlank = true;
      continue;
    }
    if (pendingBlank && !out.empty() && out.back() != ' ') out += ' ';
    pendingBlank = false;
    out += c;
  }
}

}  // namespace

SQLRETURN OdbcHandle::Allocate(SQLSMALLINT type, SQLHANDLE parent) {
  Free();
  type_ = type;
  const SQLRETURN rc = SQLAllocHandle(type, parent, &handle_);
  if (!SQL_SUCCEEDED(rc)) handle_ = nullptr;
  return rc;
}

void OdbcHandle::Free() noexcept {
  if (handle_ == nullptr) return;
  SQLFreeHandle(type_, handle_);
  handle_ = nullptr;
}

bool IsLinkLostState(std::string_view sqlState) {
  return sqlState.starts_with("08") || sqlState == "57P01" || sqlState == "57P02" ||
         sqlState == "57P03";
}

OdbcDiagnostics ReadDiagnostics(SQLSMALLINT type, SQLHANDLE handle, std::string_view call) {
  OdbcDiagnostics diagnostics;
  std::vector<SQLWCHAR> text(1024);
  for (SQLSMALLINT record = 1; record <= kMaxRecords; ++record) {
    SQLWCHAR state[SQL_SQLSTATE_SIZE + 1] = {};
    SQLINTEGER nativeError = 0;
    SQLSMALLINT length = 0;
    SQLRETURN rc = SQLGetDiagRecW(type, handle, record, state, &nativeError, text.data(),
                                  static_cast<SQLSMALLINT>(text.size()), &length);
    if (rc == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(text.size())) {
      text.resize(static_cast<std::size_t>(length) + 1);
      rc = SQLGetDiagRecW(type, handle, record, state, &nativeError, text.data(),
                          static_cast<SQLSMALLINT>(text.size()), &length);
    }
    if (!SQL_SUCCEEDED(rc)) break;
    const std::string sqlState = FromSqlWide(state, SQL_SQLSTATE_SIZE);
    diagnostics.linkLost = diagnostics.linkLost || IsLinkLostState(sqlState);
    const std::size_t units = std::min<std::size_t>(static_cast<std::size_t>(length), text.size());
    const std::string message = FromSqlWide(text.data(), units);
    if (!diagnostics.message.empty()) diagnostics.message += "; ";
    AppendOneLine(diagnostics.message, message);
  }
  while (!diagnostics.message.empty() && diagnostics.message.back() == ' ')
    diagnostics.message.pop_back();
  if (diagnostics.message.empty())
    diagnostics.message = "The ODBC call " + std::string(call) + " failed without a message";
  return diagnostics;
}

}  // namespace tallyhand
