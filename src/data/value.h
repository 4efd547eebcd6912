// A database value as the in-memory result set and the statement parameters hold it.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "platform/datetime.h"

namespace tallyhand {

// Field types a result column reports; dates and times hold date-time numbers.
enum class FieldType { String, Memo, Integer, Boolean, Float, Date, Time, DateTime, TimeStamp };

const char* FieldTypeName(FieldType type);
bool IsDateTimeType(FieldType type);

// The text form of a float: at most 15 significant digits, "." as decimal separator, no
// trailing zeros; exponent form ("1E20", "1.5E-7") only for very large or small values.
std::string FloatToStr(double value);

// Null, integer, float (also every date/time kind), boolean or text (UTF-8).
class Value {
 public:
  Value() = default;  // null
  Value(std::int64_t v) : data_(v) {}
  Value(int v) : data_(static_cast<std::int64_t>(v)) {}
  Value(double v) : data_(v) {}
  Value(bool v) : data_(v) {}
  Value(std::string v) : data_(std::move(v)) {}
  Value(const char* v) : data_(std::string(v)) {}

  bool IsNull() const { return std::holds_alternative<std::monostate>(data_); }
  bool IsInteger() const { return std::holds_alternative<std::int64_t>(data_); }
  bool IsFloat() const { return std::holds_alternative<double>(data_); }
  bool IsBoolean() const { return std::holds_alternative<bool>(data_); }
  bool IsText() const { return std::holds_alternative<std::string>(data_); }

  std::int64_t Integer() const { return std::get<std::int64_t>(data_); }
  double Float() const { return std::get<double>(data_); }
  bool Boolean() const { return std::get<bool>(data_); }
  const std::string& Text() const { return std::get<std::string>(data_); }

  bool operator==(const Value&) const = default;

 private:
  std::variant<std::monostate, std::int64_t, double, bool, std::string> data_;
};

}  // namespace tallyhand
