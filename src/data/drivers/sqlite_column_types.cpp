#include "data/drivers/sqlite_column_types.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <string>

namespace tallyhand {
namespace {

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

bool Contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

bool ReadDigits(std::string_view text, std::size_t& pos, std::size_t count, int& value) {
  if (pos + count > text.size()) return false;
  value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  pos += count;
  return true;
}

// "HH:MM[:SS[.fff]]" from pos to the end of text.
std::optional<TDateTime> ParseTimeOfDay(std::string_view text, std::size_t pos) {
  int hour = 0, minute = 0, second = 0, millisecond = 0;
  if (!ReadDigits(text, pos, 2, hour) || pos >= text.size() || text[pos++] != ':' ||
      !ReadDigits(text, pos, 2, minute))
    return std::nullopt;
  if (pos < text.size()) {
    if (text[pos++] != ':' || !ReadDigits(text, pos, 2, second)) return std::nullopt;
    if (pos < text.size()) {
      if (text[pos++] != '.') return std::nullopt;
      const std::size_t start = pos;
      int scale = 100;
      while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        millisecond += (text[pos] - '0') * scale;
        scale /= 10;
        ++pos;
      }
      if (pos == start || pos != text.size()) return std::nullopt;
    }
  }
  if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
  return (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + millisecond) / 86'400'000.0;
}

std::optional<std::int64_t> ReadInteger(std::string_view text) {
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::optional<double> ReadFloat(std::string_view text) {
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::optional<bool> ReadBoolean(std::string_view text) {
  const std::string upper = Upper(text);
  if (upper == "TRUE" || upper == "T" || upper == "YES" || upper == "Y" || upper == "1") return true;
  if (upper == "FALSE" || upper == "F" || upper == "NO" || upper == "N" || upper == "0") return false;
  return std::nullopt;
}

}  // namespace

std::optional<FieldType> FieldTypeFromDeclared(const char* declared) {
  if (declared == nullptr || *declared == '\0') return std::nullopt;
  std::string type = Upper(declared);
  type = type.substr(0, type.find('('));
  while (!type.empty() && type.back() == ' ') type.pop_back();
  if (type == "TIMESTAMP") return FieldType::TimeStamp;
  if (type == "DATETIME") return FieldType::DateTime;
  if (type == "DATE") return FieldType::Date;
  if (type == "TIME") return FieldType::Time;
  if (type == "BOOLEAN" || type == "BOOL" || type == "LOGICAL") return FieldType::Boolean;
  if (Contains(type, "INT")) return FieldType::Integer;
  if (Contains(type, "REAL") || Contains(type, "DOUB") || Contains(type, "FLOA") ||
      type == "NUMERIC" || type == "DECIMAL" || type == "MONEY" || type == "CURRENCY")
    return FieldType::Float;
  if (type == "MEMO" || type == "CLOB") return FieldType::Memo;
  return FieldType::String;
}

std::optional<TDateTime> ParseIsoDateTime(std::string_view text) {
  if (text.size() >= 3 && text[2] == ':') return ParseTimeOfDay(text, 0);
  std::size_t pos = 0;
  int year = 0, month = 0, day = 0;
  if (!ReadDigits(text, pos, 4, year) || pos >= text.size() || text[pos++] != '-' ||
      !ReadDigits(text, pos, 2, month) || pos >= text.size() || text[pos++] != '-' ||
      !ReadDigits(text, pos, 2, day))
    return std::nullopt;
  TDateTime date = 0;
  if (!TryEncodeDate(year, month, day, date)) return std::nullopt;
  if (pos == text.size()) return date;
  if (text[pos] != ' ' && text[pos] != 'T') return std::nullopt;
  const std::optional<TDateTime> time = ParseTimeOfDay(text, pos + 1);
  if (!time) return std::nullopt;
  // Before the epoch the fraction still counts forward from the start of the day.
  return date >= 0 ? date + *time : date - *time;
}

Value ConvertForFieldType(Value stored, FieldType type) {
  if (stored.IsNull()) return stored;
  switch (type) {
    case FieldType::Integer:
      if (stored.IsFloat() && std::trunc(stored.Float()) == stored.Float() &&
          std::fabs(stored.Float()) < 9.0e18)
        return Value(static_cast<std::int64_t>(stored.Float()));
      if (stored.IsText()) {
        if (auto v = ReadInteger(stored.Text())) return Value(*v);
      }
      return stored;
    case FieldType::Float:
      if (stored.IsInteger()) return Value(static_cast<double>(stored.Integer()));
      if (stored.IsText()) {
        if (auto v = ReadFloat(stored.Text())) return Value(*v);
      }
      return stored;
    case FieldType::Boolean:
      if (stored.IsInteger()) return Value(stored.Integer() != 0);
      if (stored.IsFloat()) return Value(stored.Float() != 0.0);
      if (stored.IsText()) {
        if (auto v = ReadBoolean(stored.Text())) return Value(*v);
      }
      return stored;
    case FieldType::Date:
    case FieldType::Time:
    case FieldType::DateTime:
    case FieldType::TimeStamp:
      if (stored.IsInteger()) return Value(static_cast<double>(stored.Integer()));
      if (stored.IsText()) {
        if (auto v = ParseIsoDateTime(stored.Text())) return Value(*v);
      }
      return stored;
    case FieldType::String:
    case FieldType::Memo:
      return stored;
  }
  return stored;
}

}  // namespace tallyhand
