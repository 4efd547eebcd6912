// The one exception hierarchy of the system: every failure carries a message, and the
// class name is shown on the host layer's error page.
#pragma once

#include <cerrno>
#include <exception>
#include <string>

namespace tallyhand {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const noexcept { return message_; }
  virtual const char* ClassName() const noexcept { return "Exception"; }

 private:
  std::string message_;
};

#define TALLYHAND_EXCEPTION(Name, Base)                                    \
  class Name : public Base {                                               \
   public:                                                                 \
    using Base::Base;                                                      \
    const char* ClassName() const noexcept override { return #Name; }      \
  }

// Database client errors: connect, prepare, run, lost connection.
TALLYHAND_EXCEPTION(EDatabaseError, Exception);
// A value that cannot be converted to the type asked for.
TALLYHAND_EXCEPTION(EConvertError, Exception);
TALLYHAND_EXCEPTION(EVariantTypeCastError, Exception);
// An index outside a list's bounds.
TALLYHAND_EXCEPTION(EArgumentOutOfRangeException, Exception);
// File system failures of the log and of uploads.
TALLYHAND_EXCEPTION(EInOutError, Exception);
TALLYHAND_EXCEPTION(EFOpenError, Exception);
// A file system failure because something ran out (disk space, quota, descriptors):
// the same call succeeds again once there is room.
TALLYHAND_EXCEPTION(EResourceExhausted, EInOutError);

// Whether a system error number says that a resource ran out, as EResourceExhausted does.
inline bool IsResourceExhaustion(int error) {
  return error == ENOSPC || error == EDQUOT || error == EMFILE || error == ENFILE;
}

}  // namespace tallyhand
