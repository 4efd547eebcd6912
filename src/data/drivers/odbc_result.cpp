#include "data/drivers/odbc_result.h"

#include <sqlext.h>

#include <optional>
#include <string>
#include <vector>

#include "data/drivers/odbc_text.h"
#include "data/drivers/odbc_values.h"
#include "platform/exception.h"

namespace tallyhand {
namespace {

// Most values fit one piece; longer ones are read in pieces of this many code units.
constexpr std::size_t kPieceUnits = 1024;
constexpr SQLSMALLINT kNameUnits = 256;

class ResultReader {
 public:
  ResultReader(SQLHSTMT statement, const OdbcStatementCheck& check)
      : statement_(statement), check_(check), piece_(kPieceUnits + 1) {}

  Column Describe(SQLUSMALLINT column) {
    std::vector<SQLWCHAR> name(kNameUnits);
    SQLSMALLINT nameLength = 0, sqlType = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    SQLRETURN rc = SQLDescribeColW(statement_, column, name.data(), kNameUnits, &nameLength,
                                   &sqlType, &size, &digits, &nullable);
    if (SQL_SUCCEEDED(rc) && nameLength >= kNameUnits) {
      name.resize(static_cast<std::size_t>(nameLength) + 1);
      rc = SQLDescribeColW(statement_, column, name.data(), static_cast<SQLSMALLINT>(name.size()),
                           &nameLength, &sqlType, &size, &digits, &nullable);
    }
    check_(rc, "SQLDescribeCol");
    const std::size_t units = std::min(static_cast<std::size_t>(nameLength), name.size() - 1);
    return {FromSqlWide(name.data(), units), FieldTypeForSqlType(sqlType)};
  }

  Value Read(SQLUSMALLINT column, FieldType type) {
    switch (type) {
      case FieldType::Integer: {
        SQLBIGINT value = 0;
        if (!ReadFixed(column, SQL_C_SBIGINT, &value)) return {};
        return Value(static_cast<std::int64_t>(value));
      }
      case FieldType::Boolean: {
        SQLCHAR value = 0;
        if (!ReadFixed(column, SQL_C_BIT, &value)) return {};
        return Value(value != 0);
      }
      case FieldType::Float: {
        SQLDOUBLE value = 0;
        if (!ReadFixed(column, SQL_C_DOUBLE, &value)) return {};
        return Value(static_cast<double>(value));
      }
      case FieldType::Date: {
        SQL_DATE_STRUCT value{};
        if (!ReadFixed(column, SQL_C_TYPE_DATE, &value)) return {};
        return DateTimeValue(DateTimeOf(value), column);
      }
      case FieldType::Time: {
        SQL_TIME_STRUCT value{};
        if (!ReadFixed(column, SQL_C_TYPE_TIME, &value)) return {};
        return DateTimeValue(DateTimeOf(value), column);
      }
      case FieldType::DateTime:
      case FieldType::TimeStamp: {
        SQL_TIMESTAMP_STRUCT value{};
        if (!ReadFixed(column, SQL_C_TYPE_TIMESTAMP, &value)) return {};
        return DateTimeValue(DateTimeOf(value), column);
      }
      case FieldType::String:
      case FieldType::Memo:
        break;
    }
    return ReadText(column);
  }

 private:
  // False for NULL.
  template <typename T>
  bool ReadFixed(SQLUSMALLINT column, SQLSMALLINT cType, T* value) {
    SQLLEN indicator = 0;
    check_(SQLGetData(statement_, column, cType, value, sizeof(T), &indicator), "SQLGetData");
    return indicator != SQL_NULL_DATA;
  }

  static Value DateTimeValue(std::optional<TDateTime> value, SQLUSMALLINT column) {
    if (!value)
      throw EDatabaseError("Column " + std::to_string(column) +
                           " holds a date or time that does not exist");
    return Value(*value);
  }

  // The driver converts every type to wide text; a long value comes in pieces, each
  // ended by a NUL the count leaves out.
  Value ReadText(SQLUSMALLINT column) {
    whole_.clear();
    const SQLLEN pieceBytes = static_cast<SQLLEN>(piece_.size() * sizeof(SQLWCHAR));
    for (;;) {
      SQLLEN indicator = 0;
      const SQLRETURN rc =
          SQLGetData(statement_, column, SQL_C_WCHAR, piece_.data(), pieceBytes, &indicator);
      if (rc == SQL_NO_DATA) break;  // the last piece was read before
      check_(rc, "SQLGetData");
      if (indicator == SQL_NULL_DATA) return {};
      const bool more = rc == SQL_SUCCESS_WITH_INFO &&
                        (indicator == SQL_NO_TOTAL ||
                         indicator > pieceBytes - static_cast<SQLLEN>(sizeof(SQLWCHAR)));
      const std::size_t units =
          more ? piece_.size() - 1
               : std::min(static_cast<std::size_t>(indicator) / sizeof(SQLWCHAR), piece_.size() - 1);
      if (!more && whole_.empty()) return Value(FromSqlWide(piece_.data(), units));
      whole_.insert(whole_.end(), piece_.begin(), piece_.begin() + static_cast<std::ptrdiff_t>(units));
      if (!more) break;
    }
    // Joined before converting: a piece may end inside a surrogate pair.
    return Value(FromSqlWide(whole_.data(), whole_.size()));
  }

  SQLHSTMT statement_;
  const OdbcStatementCheck& check_;
  std::vector<SQLWCHAR> piece_;
  std::vector<SQLWCHAR> whole_;
};

}  // namespace

std::unique_ptr<TResultSet> FetchResultSet(SQLHSTMT statement, SQLSMALLINT columnCount,
                                           const OdbcStatementCheck& check) {
  ResultReader reader(statement, check);
  std::vector<Column> columns;
  columns.reserve(static_cast<std::size_t>(columnCount));
  for (SQLSMALLINT c = 1; c <= columnCount; ++c)
    columns.push_back(reader.Describe(static_cast<SQLUSMALLINT>(c)));

  std::vector<std::vector<Value>> rows;
  for (;;) {
    const SQLRETURN rc = SQLFetch(statement);
    if (rc == SQL_NO_DATA) break;
    check(rc, "SQLFetch");
    std::vector<Value> row;
    row.reserve(columns.size());
    for (SQLSMALLINT c = 1; c <= columnCount; ++c)
      row.push_back(reader.Read(static_cast<SQLUSMALLINT>(c),
                                columns[static_cast<std::size_t>(c - 1)].type));
    rows.push_back(std::move(row));
  }
  return std::make_unique<TResultSet>(std::move(columns), std::move(rows));
}

}  // namespace tallyhand
