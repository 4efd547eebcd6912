// A fully fetched, in-memory copy of a statement's first result set. It keeps no link
// to the database and is positioned on its first row.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "data/value.h"

namespace tallyhand {

struct Column {
  std::string name;
  FieldType type;
};

class TResultSet;

// One column of a result set, read at the set's current row.
class TField {
 public:
  TField(const TResultSet& set, int index) : set_(&set), index_(index) {}

  const std::string& FieldName() const;
  FieldType DataType() const;
  const Value& AsVariant() const;
  bool IsNull() const;

  // Text form: integers in decimal, booleans "True"/"False", floats to at most 15
  // significant digits with "." as decimal separator, dates "M/d/yyyy", times
  // "h:nn:ss", date-times "M/d/yyyy h:nn:ss"; NULL gives "".
  std::string AsString() const;
  // NULL gives 0; text that is no integer raises EConvertError
  // "'x' is not a valid integer value".
  std::int32_t AsInteger() const;
  // NULL gives false; text "True"/"False" (any case) and numbers are read.
  bool AsBoolean() const;
  // NULL raises EVariantTypeCastError
  // "Could not convert variant of type (Null) into type (Double)".
  double AsFloat() const;
  TDateTime AsDateTime() const { return AsFloat(); }

 private:
  const TResultSet* set_;
  int index_;
};

class TResultSet {
 public:
  TResultSet() = default;
  // Rows shorter than the columns read as null in the columns they lack.
  TResultSet(std::vector<Column> columns, std::vector<std::vector<Value>> rows);
  // The cells row after row, one per column each: a driver that fetches into one
  // vector spares an allocation per row. A last, incomplete row is filled with nulls.
  static TResultSet FromCells(std::vector<Column> columns, std::vector<Value> cells);

  void First() { row_ = 0; }
  void Next() {
    if (row_ < rowCount_) ++row_;
  }
  bool Eof() const { return row_ >= rowCount_; }
  bool IsEmpty() const { return rowCount_ == 0; }
  std::size_t RecordCount() const { return rowCount_; }

  int FieldCount() const { return static_cast<int>(columns_.size()); }
  TField Fields(int index) const { return TField(*this, index); }
  // Letter case ignored; nullptr-like: returns -1 when absent.
  int FindFieldIndex(std::string_view name) const;
  bool HasField(std::string_view name) const { return FindFieldIndex(name) >= 0; }
  // Raises EDatabaseError "Field 'X' not found" when absent.
  TField FieldByName(std::string_view name) const;

  const std::vector<Column>& Columns() const { return columns_; }
  // The value at the current row; null when at the end.
  const Value& At(int column) const;

 private:
  std::vector<Column> columns_;
  std::vector<Value> cells_;  // row after row, columns_.size() each
  std::size_t rowCount_ = 0;
  std::size_t row_ = 0;
};

}  // namespace tallyhand
