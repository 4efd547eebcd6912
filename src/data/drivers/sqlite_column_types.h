// How the SQLite driver reports a column's field type and reads its values: declared
// types name the field type; dates and times are ISO texts.
#pragma once

#include <optional>
#include <string_view>

#include "data/value.h"

namespace tallyhand {

// The field type for a declared column type (letter case ignored): TIMESTAMP,
// DATETIME, DATE, TIME, BOOLEAN/BOOL/LOGICAL, anything holding INT, REAL/DOUBLE/FLOAT/
// NUMERIC/DECIMAL/MONEY/CURRENCY, MEMO/CLOB, else String. nullopt when nothing is declared.
std::optional<FieldType> FieldTypeFromDeclared(const char* declared);

// "YYYY-MM-DD", "YYYY-MM-DD HH:MM[:SS[.fff]]" (or 'T' between) and "HH:MM[:SS[.fff]]"
// as a date-time number; nullopt for any other text or an impossible date or time.
std::optional<TDateTime> ParseIsoDateTime(std::string_view text);

// A stored value (as SQLite's storage class gave it) converted for a declared field
// type: numbers and texts that read as the type are converted, anything else is kept.
Value ConvertForFieldType(Value stored, FieldType type);

}  // namespace tallyhand
