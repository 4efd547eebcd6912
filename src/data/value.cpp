#include "data/value.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tallyhand {

const char* FieldTypeName(FieldType type) {
  switch (type) {
    case FieldType::String: return "ftString";
    case FieldType::Memo: return "ftMemo";
    case FieldType::Integer: return "ftInteger";
    case FieldType::Boolean: return "ftBoolean";
    case FieldType::Float: return "ftFloat";
    case FieldType::Date: return "ftDate";
    case FieldType::Time: return "ftTime";
    case FieldType::DateTime: return "ftDateTime";
    case FieldType::TimeStamp: return "ftTimeStamp";
  }
  return "ftUnknown";
}

bool IsDateTimeType(FieldType type) {
  return type == FieldType::Date || type == FieldType::Time || type == FieldType::DateTime ||
         type == FieldType::TimeStamp;
}

std::string FloatToStr(double value) {
  constexpr int kPrecision = 15;
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
  if (value == 0) return "0";
  // "d.dddddddddddddde±x": the 15 significant digits, correctly rounded, and the exponent.
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%.*e", kPrecision - 1, value);
  const std::string text(buffer);
  const bool negative = text[0] == '-';
  const std::size_t first = negative ? 1 : 0;
  const std::size_t ePos = text.find('e');
  std::string digits = text.substr(first, 1) + text.substr(first + 2, ePos - first - 2);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  const int exponent = std::atoi(text.c_str() + ePos + 1);

  std::string out = negative ? "-" : "";
  // The decimal point stands after `point` digits.
  const int point = exponent + 1;
  if (point > kPrecision || point < -3) {
    out += digits[0];
    if (digits.size() > 1) out += "." + digits.substr(1);
    out += "E";
    out += std::to_string(exponent);
  } else if (point <= 0) {
    out += "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
  } else if (static_cast<std::size_t>(point) >= digits.size()) {
    out += digits + std::string(static_cast<std::size_t>(point) - digits.size(), '0');
  } else {
    out += digits.substr(0, static_cast<std::size_t>(point)) + "." +
           digits.substr(static_cast<std::size_t>(point));
  }
  return out;
}

}  // namespace tallyhand
