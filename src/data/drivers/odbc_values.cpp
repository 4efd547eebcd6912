#include "data/drivers/odbc_values.h"

#include <limits>

#include "data/drivers/odbc_text.h"
#include "platform/exception.h"

namespace tallyhand {
namespace {

constexpr double kSecondsPerDay = 86400.0;
// Drivers take wide VARCHAR values up to a few thousand characters; longer ones go as
// LONGVARCHAR.
constexpr std::size_t kLongTextUnits = 4000;

std::optional<double> SecondsOfDay(unsigned hour, unsigned minute, unsigned second) {
  if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
  return hour * 3600.0 + minute * 60.0 + second;
}

}  // namespace

FieldType FieldTypeForSqlType(SQLSMALLINT sqlType) {
  switch (sqlType) {
    case SQL_TYPE_DATE:
    case SQL_DATE:
      return FieldType::Date;
    case SQL_TYPE_TIME:
    case SQL_TIME:
      return FieldType::Time;
    case SQL_TYPE_TIMESTAMP:
    case SQL_TIMESTAMP:
      return FieldType::TimeStamp;
    case SQL_TINYINT:
    case SQL_SMALLINT:
    case SQL_INTEGER:
    case SQL_BIGINT:
      return FieldType::Integer;
    case SQL_BIT:
      return FieldType::Boolean;
    case SQL_REAL:
    case SQL_FLOAT:
    case SQL_DOUBLE:
    case SQL_DECIMAL:
    case SQL_NUMERIC:
      return FieldType::Float;
    case SQL_LONGVARCHAR:
    case SQL_WLONGVARCHAR:
      return FieldType::Memo;
    default:
      return FieldType::String;
  }
}

std::optional<TDateTime> DateTimeOf(const SQL_DATE_STRUCT& date) {
  TDateTime day = 0;
  if (!TryEncodeDate(date.year, date.month, date.day, day)) return std::nullopt;
  return day;
}

std::optional<TDateTime> DateTimeOf(const SQL_TIME_STRUCT& time) {
  const std::optional<double> seconds = SecondsOfDay(time.hour, time.minute, time.second);
  if (!seconds) return std::nullopt;
  return *seconds / kSecondsPerDay;
}

std::optional<TDateTime> DateTimeOf(const SQL_TIMESTAMP_STRUCT& stamp) {
  TDateTime day = 0;
  std::optional<double> seconds = SecondsOfDay(stamp.hour, stamp.minute, stamp.second);
  if (!seconds || stamp.fraction >= 1'000'000'000u ||
      !TryEncodeDate(stamp.year, stamp.month, stamp.day, day))
    return std::nullopt;
  const double fraction = (*seconds + stamp.fraction / 1e9) / kSecondsPerDay;
  // Before 30 December 1899 the time of day counts away from zero.
  return day < 0 ? day - fraction : day + fraction;
}

OdbcParameter::OdbcParameter(const Value& value) {
  if (value.IsNull()) return;
  indicator_ = 0;
  if (value.IsInteger()) {
    const std::int64_t integer = value.Integer();
    if (integer >= std::numeric_limits<SQLINTEGER>::min() &&
        integer <= std::numeric_limits<SQLINTEGER>::max()) {
      cType_ = SQL_C_SLONG;
      sqlType_ = SQL_INTEGER;
      int32_ = static_cast<SQLINTEGER>(integer);
      columnSize_ = 10;
    } else {
      cType_ = SQL_C_SBIGINT;
      sqlType_ = SQL_BIGINT;
      int64_ = integer;
      columnSize_ = 19;
    }
  } else if (value.IsFloat()) {
    cType_ = SQL_C_DOUBLE;
    sqlType_ = SQL_DOUBLE;
    double_ = value.Float();
    columnSize_ = 15;
  } else if (value.IsBoolean()) {
    cType_ = SQL_C_BIT;
    sqlType_ = SQL_BIT;
    bit_ = value.Boolean() ? 1 : 0;
    columnSize_ = 1;
  } else {
    if (value.Text().find('\0') != std::string::npos)
      throw EDatabaseError("A text value holds a NUL character, which the driver would cut");
    text_ = ToSqlWide(value.Text());
    sqlType_ = text_.size() > kLongTextUnits ? SQL_WLONGVARCHAR : SQL_WVARCHAR;
    columnSize_ = text_.empty() ? 1 : text_.size();
    indicator_ = static_cast<SQLLEN>(text_.size() * sizeof(SQLWCHAR));
    // A pointer to a real buffer also for the empty text, which is not NULL.
    text_.push_back(0);
  }
}

SQLPOINTER OdbcParameter::Buffer() {
  switch (cType_) {
    case SQL_C_SLONG:
      return &int32_;
    case SQL_C_SBIGINT:
      return &int64_;
    case SQL_C_DOUBLE:
      return &double_;
    case SQL_C_BIT:
      return &bit_;
    default:
      return text_.empty() ? nullptr : text_.data();
  }
}

SQLLEN OdbcParameter::BufferLength() const {
  return cType_ == SQL_C_WCHAR ? static_cast<SQLLEN>(text_.size() * sizeof(SQLWCHAR)) : 0;
}

}  // namespace tallyhand
