// Values between the system and ODBC: the field type of a result column's SQL type, the
// date and time structures as date-time numbers, and statement values as bound
// parameters.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "data/value.h"

namespace tallyhand {

// DATE Date; TIME Time; TIMESTAMP TimeStamp; TINYINT, SMALLINT, INTEGER, BIGINT Integer;
// BIT Boolean; REAL, FLOAT, DOUBLE, DECIMAL, NUMERIC Float; the long character types
// Memo; the character types and anything else String (read as text).
FieldType FieldTypeForSqlType(SQLSMALLINT sqlType);

// Date-time numbers of the ODBC structures; nullopt for a value that is no date or time
// (month 13, hour 24 and the like). Fractions of a second are kept.
std::optional<TDateTime> DateTimeOf(const SQL_DATE_STRUCT& date);
std::optional<TDateTime> DateTimeOf(const SQL_TIME_STRUCT& time);
std::optional<TDateTime> DateTimeOf(const SQL_TIMESTAMP_STRUCT& stamp);

// One statement value as SQLBindParameter takes it. The buffer lives in the object, so
// the object must stay in place (not be copied or moved) until the statement has run.
class OdbcParameter {
 public:
  // Integers as INTEGER when they fit 32 bits (so that an integer procedure parameter
  // matches), else BIGINT; floats DOUBLE; booleans BIT; texts wide VARCHAR (wide
  // LONGVARCHAR past 4000 code units); null a wide VARCHAR NULL.
  explicit OdbcParameter(const Value& value);
  OdbcParameter(const OdbcParameter&) = delete;
  OdbcParameter& operator=(const OdbcParameter&) = delete;

  SQLSMALLINT CType() const { return cType_; }
  SQLSMALLINT SqlType() const { return sqlType_; }
  SQLULEN ColumnSize() const { return columnSize_; }
  SQLPOINTER Buffer();
  SQLLEN BufferLength() const;
  SQLLEN* Indicator() { return &indicator_; }

 private:
  SQLSMALLINT cType_ = SQL_C_WCHAR;
  SQLSMALLINT sqlType_ = SQL_WVARCHAR;
  SQLULEN columnSize_ = 1;
  SQLLEN indicator_ = SQL_NULL_DATA;
  SQLINTEGER int32_ = 0;
  SQLBIGINT int64_ = 0;
  SQLDOUBLE double_ = 0;
  SQLCHAR bit_ = 0;
  std::vector<SQLWCHAR> text_;
};

}  // namespace tallyhand
