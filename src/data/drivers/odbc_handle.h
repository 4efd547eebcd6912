// ODBC handles that free themselves, and the diagnostics of a failed call.
#pragma once

#include <sql.h>

#include <string>
#include <string_view>
#include <utility>

namespace tallyhand {

// Owns one environment, connection or statement handle; freeing a statement also closes
// its cursor. A connection handle is disconnected by its owner before it is freed.
class OdbcHandle {
 public:
  OdbcHandle() = default;
  // Allocates a handle of the type under parent (SQL_NULL_HANDLE for an environment);
  // returns SQLAllocHandle's result, the handle staying empty unless it succeeded.
  SQLRETURN Allocate(SQLSMALLINT type, SQLHANDLE parent);
  ~OdbcHandle() { Free(); }
  OdbcHandle(OdbcHandle&& other) noexcept
      : type_(other.type_), handle_(std::exchange(other.handle_, nullptr)) {}
  OdbcHandle& operator=(OdbcHandle&& other) noexcept {
    if (this != &other) {
      Free();
      type_ = other.type_;
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  OdbcHandle(const OdbcHandle&) = delete;
  OdbcHandle& operator=(const OdbcHandle&) = delete;

  SQLHANDLE Get() const { return handle_; }
  SQLSMALLINT Type() const { return type_; }
  explicit operator bool() const { return handle_ != nullptr; }
  void Free() noexcept;

 private:
  SQLSMALLINT type_ = SQL_HANDLE_ENV;
  SQLHANDLE handle_ = nullptr;
};

struct OdbcDiagnostics {
  // The diagnostic records' messages on one line, or a text naming the failed call when
  // the driver left none.
  std::string message;
  // A record says the link to the server is gone: SQLSTATE class 08, or the server
  // ended the session (57P01 to 57P03, a terminated backend).
  bool linkLost = false;
};

// Reads the diagnostic records of handle after `call` failed.
OdbcDiagnostics ReadDiagnostics(SQLSMALLINT type, SQLHANDLE handle, std::string_view call);

bool IsLinkLostState(std::string_view sqlState);

}  // namespace tallyhand
