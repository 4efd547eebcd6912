#include "data/result_set.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "platform/exception.h"

namespace tallyhand {
namespace {

const Value kNull;

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
  return text;
}

// Decimal integer, blanks before it allowed, as the platform's integer conversion reads it.
bool ParseInteger(std::string_view text, std::int32_t& out) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return error == std::errc() && end == text.data() + text.size();
}

bool ParseFloat(std::string_view text, double& out) {
  text = TrimBlanks(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return error == std::errc() && end == text.data() + text.size() && std::isfinite(out);
}

std::int32_t ToInt32(double value, const std::string& shown) {
  const double rounded = std::nearbyint(value);  // halves to even, the default rounding
  if (!(rounded >= std::numeric_limits<std::int32_t>::min() &&
        rounded <= std::numeric_limits<std::int32_t>::max())) {
    throw EConvertError("'" + shown + "' is not a valid integer value");
  }
  return static_cast<std::int32_t>(rounded);
}

std::string DateTimeText(FieldType type, double value) {
  switch (type) {
    case FieldType::Date: return FormatDateTime("m/d/yyyy", value);
    case FieldType::Time: return FormatDateTime("h:nn:ss", value);
    default: return FormatDateTime("m/d/yyyy h:nn:ss", value);
  }
}

}  // namespace

int TResultSet::FindFieldIndex(std::string_view name) const {
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    if (EqualsIgnoringCase(columns_[i].name, name)) return static_cast<int>(i);
  }
  return -1;
}

TField TResultSet::FieldByName(std::string_view name) const {
  const int index = FindFieldIndex(name);
  if (index < 0) throw EDatabaseError("Field '" + std::string(name) + "' not found");
  return TField(*this, index);
}

TResultSet::TResultSet(std::vector<Column> columns, std::vector<std::vector<Value>> rows)
    : columns_(std::move(columns)), rowCount_(rows.size()) {
  const std::size_t width = columns_.size();
  cells_.reserve(rows.size() * width);
  for (std::vector<Value>& row : rows) {
    for (std::size_t c = 0; c < width; ++c) {
      cells_.push_back(c < row.size() ? std::move(row[c]) : Value());
    }
  }
}

TResultSet TResultSet::FromCells(std::vector<Column> columns, std::vector<Value> cells) {
  TResultSet set;
  set.columns_ = std::move(columns);
  const std::size_t width = set.columns_.size();
  if (width == 0) return set;
  set.rowCount_ = (cells.size() + width - 1) / width;
  cells.resize(set.rowCount_ * width);
  set.cells_ = std::move(cells);
  return set;
}

const Value& TResultSet::At(int column) const {
  if (Eof() || column < 0 || static_cast<std::size_t>(column) >= columns_.size()) return kNull;
  return cells_[row_ * columns_.size() + static_cast<std::size_t>(column)];
}

const std::string& TField::FieldName() const {
  if (index_ < 0 || index_ >= set_->FieldCount()) throw EArgumentOutOfRangeException("Argument out of range");
  return set_->Columns()[static_cast<std::size_t>(index_)].name;
}

FieldType TField::DataType() const {
  if (index_ < 0 || index_ >= set_->FieldCount()) throw EArgumentOutOfRangeException("Argument out of range");
  return set_->Columns()[static_cast<std::size_t>(index_)].type;
}

const Value& TField::AsVariant() const { return set_->At(index_); }

bool TField::IsNull() const { return AsVariant().IsNull(); }

std::string TField::AsString() const {
  const Value& value = AsVariant();
  if (value.IsNull()) return {};
  if (value.IsText()) return value.Text();
  if (value.IsBoolean()) return value.Boolean() ? "True" : "False";
  const FieldType type = DataType();
  if (IsDateTimeType(type)) {
    return DateTimeText(type, value.IsInteger() ? static_cast<double>(value.Integer()) : value.Float());
  }
  if (value.IsInteger()) return std::to_string(value.Integer());
  return FloatToStr(value.Float());
}

std::int32_t TField::AsInteger() const {
  const Value& value = AsVariant();
  if (value.IsNull()) return 0;
  if (value.IsBoolean()) return value.Boolean() ? 1 : 0;
  if (value.IsInteger()) {
    const std::int64_t v = value.Integer();
    if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max()) {
      throw EConvertError("'" + std::to_string(v) + "' is not a valid integer value");
    }
    return static_cast<std::int32_t>(v);
  }
  if (value.IsFloat()) return ToInt32(value.Float(), FloatToStr(value.Float()));
  std::int32_t result;
  if (!ParseInteger(value.Text(), result)) {
    throw EConvertError("'" + value.Text() + "' is not a valid integer value");
  }
  return result;
}

bool TField::AsBoolean() const {
  const Value& value = AsVariant();
  if (value.IsNull()) return false;
  if (value.IsBoolean()) return value.Boolean();
  if (value.IsInteger()) return value.Integer() != 0;
  if (value.IsFloat()) return value.Float() != 0;
  const std::string_view text = TrimBlanks(value.Text());
  if (EqualsIgnoringCase(text, "true")) return true;
  if (EqualsIgnoringCase(text, "false")) return false;
  double number;
  if (ParseFloat(text, number)) return number != 0;
  throw EConvertError("'" + value.Text() + "' is not a valid boolean value");
}

double TField::AsFloat() const {
  const Value& value = AsVariant();
  if (value.IsNull()) {
    throw EVariantTypeCastError("Could not convert variant of type (Null) into type (Double)");
  }
  if (value.IsFloat()) return value.Float();
  if (value.IsInteger()) return static_cast<double>(value.Integer());
  if (value.IsBoolean()) return value.Boolean() ? 1.0 : 0.0;
  double result;
  if (!ParseFloat(value.Text(), result)) {
    throw EConvertError("'" + value.Text() + "' is not a valid floating point value");
  }
  return result;
}

}  // namespace tallyhand
