// Date-time numbers: days since 30 December 1899 with the time of day as the fraction,
// in local time. One function gives "now"; tests replace it to move time.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tallyhand {

using TDateTime = double;

inline constexpr TDateTime kMinutesPerDay = 24.0 * 60.0;

// The current local date-time, from the replaceable clock.
TDateTime Now();

// Replaces the clock for tests; an empty function restores the system clock.
void SetClockForTesting(std::function<TDateTime()> clock);

// The system's local clock, without the test override.
TDateTime SystemNow();

TDateTime EncodeDate(int year, int month, int day);  // throws EConvertError when invalid
TDateTime EncodeTime(int hour, int minute, int second, int millisecond = 0);
bool TryEncodeDate(int year, int month, int day, TDateTime& out);

struct DateTimeParts {
  int year, month, day, hour, minute, second, millisecond;
};
DateTimeParts DecodeDateTime(TDateTime value);

// Formats with the patterns "yyyy", "mm", "dd", "hh" (00-23), "nn", "ss"; "/" and ":"
// are the regional date and time separators (fixed US settings: "/" and ":").
// Any other character stands for itself.
std::string FormatDateTime(std::string_view pattern, TDateTime value);
// The same text appended to out, for writers that build one buffer.
void AppendDateTime(std::string& out, std::string_view pattern, TDateTime value);

// Reads a date in the regional short date format "M/d/yyyy": one or two digits for
// month and day, blanks around the text allowed, an optional time after a blank ignored.
std::optional<TDateTime> TryStrToDate(std::string_view text);

// Rounds to the nearest whole day; a fraction of exactly one half goes to the even day.
double RoundDay(TDateTime value);

}  // namespace tallyhand
