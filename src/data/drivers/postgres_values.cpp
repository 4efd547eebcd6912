#include "data/drivers/postgres_values.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <ctime>

#include "platform/datetime.h"
#include "platform/exception.h"

namespace tallyhand {
namespace {

constexpr double kSecondsPerDay = 86400.0;
// Days from 30 December 1899 to 1 January 1970.
constexpr std::int64_t kUnixEpochDay = 25569;

// Reads the text left to right; every Read* fails (returns false) without a match.
class TextCursor {
 public:
  explicit TextCursor(std::string_view text) : text_(text) {}

  bool AtEnd() const { return pos_ >= text_.size(); }
  bool Skip(char c) {
    if (AtEnd() || text_[pos_] != c) return false;
    ++pos_;
    return true;
  }
  char Peek() const { return AtEnd() ? '\0' : text_[pos_]; }
  // Exactly `digits` digits, or at least `digits` when orMore.
  bool ReadNumber(int digits, bool orMore, std::int64_t& value) {
    int count = 0;
    value = 0;
    while (!AtEnd() && text_[pos_] >= '0' && text_[pos_] <= '9') {
      if (count == digits && !orMore) break;
      if (count >= 18) return false;
      value = value * 10 + (text_[pos_] - '0');
      ++pos_;
      ++count;
    }
    return count >= digits;
  }
  // ".ffffff" as a fraction of a second; nothing read gives 0.
  double ReadFraction() {
    if (!Skip('.')) return 0;
    double scale = 0.1;
    double value = 0;
    while (!AtEnd() && text_[pos_] >= '0' && text_[pos_] <= '9') {
      value += (text_[pos_] - '0') * scale;
      scale /= 10;
      ++pos_;
    }
    return value;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

[[noreturn]] void CannotConvert(std::string_view text, const char* what) {
  throw EDatabaseError("Cannot convert the value '" + std::string(text.substr(0, 64)) +
                       "' to a " + what);
}

// "YYYY-MM-DD" as a whole day number.
bool ReadDate(TextCursor& cursor, TDateTime& day) {
  std::int64_t year = 0, month = 0, day0 = 0;
  if (!cursor.ReadNumber(4, true, year) || !cursor.Skip('-') || !cursor.ReadNumber(2, false, month) ||
      !cursor.Skip('-') || !cursor.ReadNumber(2, false, day0) || year > 9999)
    return false;
  return TryEncodeDate(static_cast<int>(year), static_cast<int>(month), static_cast<int>(day0), day);
}

// "HH:MM:SS[.ffffff]" as seconds of the day (24:00:00 allowed, as PostgreSQL does).
bool ReadTime(TextCursor& cursor, double& seconds) {
  std::int64_t hour = 0, minute = 0, second = 0;
  if (!cursor.ReadNumber(2, false, hour) || !cursor.Skip(':') || !cursor.ReadNumber(2, false, minute) ||
      !cursor.Skip(':') || !cursor.ReadNumber(2, false, second))
    return false;
  if (hour > 24 || minute > 59 || second > 60) return false;
  seconds = static_cast<double>(hour * 3600 + minute * 60 + second) + cursor.ReadFraction();
  return seconds <= kSecondsPerDay;
}

// "+HH[:MM[:SS]]" or "-..." as seconds east of UTC.
bool ReadZoneOffset(TextCursor& cursor, std::int64_t& offset) {
  const char sign = cursor.Peek();
  if (!cursor.Skip('+') && !cursor.Skip('-')) return false;
  std::int64_t hours = 0, minutes = 0, seconds = 0;
  if (!cursor.ReadNumber(2, false, hours)) return false;
  if (cursor.Skip(':') && !cursor.ReadNumber(2, false, minutes)) return false;
  if (cursor.Skip(':') && !cursor.ReadNumber(2, false, seconds)) return false;
  offset = hours * 3600 + minutes * 60 + seconds;
  if (sign == '-') offset = -offset;
  return true;
}

// A date-time number: before 30 December 1899 the time of day counts away from zero.
TDateTime Combine(TDateTime day, double secondsOfDay) {
  const double fraction = secondsOfDay / kSecondsPerDay;
  return day < 0 ? day - fraction : day + fraction;
}

TDateTime ParseDate(std::string_view text) {
  TextCursor cursor(text);
  TDateTime day = 0;
  if (!ReadDate(cursor, day) || !cursor.AtEnd()) CannotConvert(text, "date");
  return day;
}

TDateTime ParseTime(std::string_view text) {
  TextCursor cursor(text);
  double seconds = 0;
  if (!ReadTime(cursor, seconds) || !cursor.AtEnd()) CannotConvert(text, "time");
  return seconds / kSecondsPerDay;
}

TDateTime ParseTimestamp(std::string_view text) {
  TextCursor cursor(text);
  TDateTime day = 0;
  double seconds = 0;
  if (!ReadDate(cursor, day) || !cursor.Skip(' ') || !ReadTime(cursor, seconds) || !cursor.AtEnd())
    CannotConvert(text, "date-time");
  return Combine(day, seconds);
}

// A moment with a zone offset, as the local time of this process.
TDateTime ParseTimestampWithZone(std::string_view text) {
  TextCursor cursor(text);
  TDateTime day = 0;
  double seconds = 0;
  std::int64_t offset = 0;
  if (!ReadDate(cursor, day) || !cursor.Skip(' ') || !ReadTime(cursor, seconds) ||
      !ReadZoneOffset(cursor, offset) || !cursor.AtEnd())
    CannotConvert(text, "time stamp");
  const double wholeSeconds = std::floor(seconds);
  const double subSecond = seconds - wholeSeconds;
  const std::time_t utc = static_cast<std::time_t>(
      (static_cast<std::int64_t>(day) - kUnixEpochDay) * 86400 +
      static_cast<std::int64_t>(wholeSeconds) - offset);
  std::tm local{};
  if (localtime_r(&utc, &local) == nullptr) CannotConvert(text, "time stamp");
  TDateTime localDay = 0;
  if (!TryEncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, localDay))
    CannotConvert(text, "time stamp");
  const double localSeconds =
      local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + subSecond;
  return Combine(localDay, localSeconds);
}

std::int64_t ParseInteger(std::string_view text) {
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) CannotConvert(text, "integer");
  return value;
}

double ParseFloat(std::string_view text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) CannotConvert(text, "float");
  return value;
}

// lc_monetary C: "$1,234.56", "-$1,234.56".
double ParseMoney(std::string_view text) {
  std::string plain;
  for (const char c : text) {
    if ((c >= '0' && c <= '9') || c == '.' || c == '-') plain += c;
  }
  return ParseFloat(plain);
}

}  // namespace

FieldType FieldTypeForPostgresType(unsigned typeId) {
  switch (typeId) {
    case pg_type::kBool:
      return FieldType::Boolean;
    case pg_type::kInt2:
    case pg_type::kInt4:
    case pg_type::kInt8:
      return FieldType::Integer;
    case pg_type::kFloat4:
    case pg_type::kFloat8:
    case pg_type::kNumeric:
    case pg_type::kMoney:
      return FieldType::Float;
    case pg_type::kDate:
      return FieldType::Date;
    case pg_type::kTime:
      return FieldType::Time;
    case pg_type::kTimestamp:
      return FieldType::DateTime;
    case pg_type::kTimestampTz:
      return FieldType::TimeStamp;
    case pg_type::kText:
      return FieldType::Memo;
    default:
      return FieldType::String;
  }
}

std::optional<std::string> PostgresParameterText(const Value& value) {
  if (value.IsNull()) return std::nullopt;
  if (value.IsInteger()) return std::to_string(value.Integer());
  if (value.IsBoolean()) return std::string(value.Boolean() ? "true" : "false");
  if (value.IsFloat()) {
    const double v = value.Float();
    if (std::isnan(v)) return std::string("NaN");
    if (std::isinf(v)) return std::string(v > 0 ? "Infinity" : "-Infinity");
    char buffer[64];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, v);
    if (error != std::errc()) throw EDatabaseError("Cannot send the float value");
    return std::string(buffer, end);
  }
  const std::string& text = value.Text();
  if (text.find('\0') != std::string::npos)
    throw EDatabaseError("A text value holds a NUL character, which the server cannot store");
  return text;
}

Value PostgresTextToValue(std::string_view text, unsigned typeId) {
  if (typeId == pg_type::kMoney) return Value(ParseMoney(text));
  switch (FieldTypeForPostgresType(typeId)) {
    case FieldType::Boolean:
      return Value(text == "t" || text == "true");
    case FieldType::Integer:
      return Value(ParseInteger(text));
    case FieldType::Float:
      return Value(ParseFloat(text));
    case FieldType::Date:
      return Value(ParseDate(text));
    case FieldType::Time:
      return Value(ParseTime(text));
    case FieldType::DateTime:
      return Value(ParseTimestamp(text));
    case FieldType::TimeStamp:
      return Value(ParseTimestampWithZone(text));
    case FieldType::String:
    case FieldType::Memo:
      break;
  }
  return Value(std::string(text));
}

}  // namespace tallyhand
