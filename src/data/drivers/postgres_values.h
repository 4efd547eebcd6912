// PostgreSQL values in text format, both ways: statement values as parameter texts, and
// result texts as the Value kinds of the column's field type.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "data/value.h"

namespace tallyhand {

// Built-in type ids (pg_type.oid) the driver maps to field types.
namespace pg_type {
inline constexpr unsigned kBool = 16;
inline constexpr unsigned kName = 19;
inline constexpr unsigned kInt8 = 20;
inline constexpr unsigned kInt2 = 21;
inline constexpr unsigned kInt4 = 23;
inline constexpr unsigned kText = 25;
inline constexpr unsigned kFloat4 = 700;
inline constexpr unsigned kFloat8 = 701;
inline constexpr unsigned kMoney = 790;
inline constexpr unsigned kBpchar = 1042;
inline constexpr unsigned kVarchar = 1043;
inline constexpr unsigned kDate = 1082;
inline constexpr unsigned kTime = 1083;
inline constexpr unsigned kTimestamp = 1114;
inline constexpr unsigned kTimestampTz = 1184;
inline constexpr unsigned kNumeric = 1700;
}  // namespace pg_type

// bool Boolean; int2/int4/int8 Integer; float4/float8/numeric/money Float; date Date;
// time Time; timestamp DateTime; timestamptz TimeStamp; text Memo; anything else String.
FieldType FieldTypeForPostgresType(unsigned typeId);

// The parameter text of a value: integers in decimal, floats in the shortest form that
// reads back exactly, booleans "true"/"false", texts unchanged; nullopt for null.
// Raises EDatabaseError for a text holding a NUL character, which libpq would cut.
std::optional<std::string> PostgresParameterText(const Value& value);

// The value of a result text (server settings DateStyle ISO, lc_monetary C) for a column
// of the given type, as the Value kind of its field type. Dates and times become date-time numbers; a time stamp with a
// zone offset becomes the local time of this process. Raises EDatabaseError for a text
// that has no such value (infinite or BC dates, years past 9999, malformed text).
Value PostgresTextToValue(std::string_view text, unsigned typeId);

}  // namespace tallyhand
