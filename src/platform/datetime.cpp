#include "platform/datetime.h"

#include <atomic>
#include <cmath>
#include <ctime>
#include <memory>
#include <mutex>

#include "platform/exception.h"

namespace tallyhand {
namespace {

constexpr std::int64_t kMsPerDay = 86'400'000;

// Days from 1970-01-01 to a proleptic Gregorian date (H. Hinnant's algorithm).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(era * 400 + yoe + (month <= 2));
}

const std::int64_t kEpochOffset = DaysFromCivil(1899, 12, 30);

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// The test clock. The flag keeps Now() to one atomic load while no clock is set.
std::atomic<bool> clockReplaced{false};
std::mutex clockMutex;
std::shared_ptr<const std::function<TDateTime()>> testClock;

void AppendNumber(std::string& out, int value, int width) {
  std::string digits = std::to_string(value);
  if (static_cast<int>(digits.size()) < width) out.append(width - digits.size(), '0');
  out += digits;
}

constexpr const char* kShortMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* kLongMonths[] = {"January", "February", "March",     "April",
                                       "May",     "June",     "July",      "August",
                                       "September", "October", "November", "December"};
constexpr const char* kShortDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kLongDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                     "Thursday", "Friday", "Saturday"};

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Reads 1..maxDigits digits at pos; returns the digit count (0 when none).
int ScanNumber(std::string_view text, std::size_t& pos, int maxDigits, int& value) {
  int count = 0;
  value = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    if (++count > maxDigits) return 0;
    value = value * 10 + (text[pos] - '0');
    ++pos;
  }
  return count;
}

}  // namespace

TDateTime SystemNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  // localtime_r takes the C library's time-zone lock, on which every request's threads
  // would queue; the local fields of a second are the same all through that second.
  thread_local time_t cachedSecond = -1;
  thread_local tm cachedLocal{};
  if (ts.tv_sec != cachedSecond) {
    localtime_r(&ts.tv_sec, &cachedLocal);
    cachedSecond = ts.tv_sec;
  }
  const tm& local = cachedLocal;
  const std::int64_t days =
      DaysFromCivil(local.tm_year + 1900, static_cast<unsigned>(local.tm_mon + 1),
                    static_cast<unsigned>(local.tm_mday)) -
      kEpochOffset;
  const std::int64_t ms = (local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec) * 1000LL +
                          ts.tv_nsec / 1'000'000;
  return static_cast<double>(days) + static_cast<double>(ms) / static_cast<double>(kMsPerDay);
}

TDateTime Now() {
  if (!clockReplaced.load(std::memory_order_acquire)) return SystemNow();
  std::shared_ptr<const std::function<TDateTime()>> clock;
  {
    std::lock_guard lock(clockMutex);
    clock = testClock;
  }
  return clock ? (*clock)() : SystemNow();
}

void SetClockForTesting(std::function<TDateTime()> clock) {
  std::lock_guard lock(clockMutex);
  if (clock) {
    testClock = std::make_shared<const std::function<TDateTime()>>(std::move(clock));
    clockReplaced.store(true, std::memory_order_release);
  } else {
    testClock.reset();
    clockReplaced.store(false, std::memory_order_release);
  }
}

bool TryEncodeDate(int year, int month, int day, TDateTime& out) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month)) {
    return false;
  }
  out = static_cast<double>(DaysFromCivil(year, static_cast<unsigned>(month),
                                          static_cast<unsigned>(day)) -
                            kEpochOffset);
  return true;
}

TDateTime EncodeDate(int year, int month, int day) {
  TDateTime result;
  if (!TryEncodeDate(year, month, day, result)) throw EConvertError("Invalid argument to date encode");
  return result;
}

TDateTime EncodeTime(int hour, int minute, int second, int millisecond) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
      millisecond < 0 || millisecond > 999) {
    throw EConvertError("Invalid argument to time encode");
  }
  const std::int64_t ms = ((hour * 60LL + minute) * 60 + second) * 1000 + millisecond;
  return static_cast<double>(ms) / static_cast<double>(kMsPerDay);
}

DateTimeParts DecodeDateTime(TDateTime value) {
  DateTimeParts parts{};
  if (!std::isfinite(value) || std::fabs(value) > 3'000'000.0) return parts;
  // Before the epoch the whole part is still the day and the fraction the time of day.
  std::int64_t day = static_cast<std::int64_t>(std::trunc(value));
  std::int64_t ms = std::llround(std::fabs(value - static_cast<double>(day)) *
                                 static_cast<double>(kMsPerDay));
  if (ms >= kMsPerDay) {
    ms -= kMsPerDay;
    ++day;
  }
  CivilFromDays(day + kEpochOffset, parts.year, parts.month, parts.day);
  parts.hour = static_cast<int>(ms / 3'600'000);
  parts.minute = static_cast<int>(ms / 60'000 % 60);
  parts.second = static_cast<int>(ms / 1000 % 60);
  parts.millisecond = static_cast<int>(ms % 1000);
  return parts;
}

std::string FormatDateTime(std::string_view pattern, TDateTime value) {
  std::string out;
  out.reserve(pattern.size() + 8);
  AppendDateTime(out, pattern, value);
  return out;
}

void AppendDateTime(std::string& out, std::string_view pattern, TDateTime value) {
  const DateTimeParts p = DecodeDateTime(value);
  std::size_t i = 0;
  while (i < pattern.size()) {
    const char c = Lower(pattern[i]);
    std::size_t run = 1;
    while (i + run < pattern.size() && Lower(pattern[i + run]) == c) ++run;
    switch (c) {
      case 'y':
        if (run <= 2) {
          AppendNumber(out, p.year % 100, 2);
        } else {
          AppendNumber(out, p.year, 4);
        }
        break;
      case 'm':
        if (run <= 2) {
          AppendNumber(out, p.month, static_cast<int>(run));
        } else if (p.month >= 1) {
          out += run == 3 ? kShortMonths[p.month - 1] : kLongMonths[p.month - 1];
        }
        break;
      case 'd':
        if (run <= 2) {
          AppendNumber(out, p.day, static_cast<int>(run));
        } else {
          const auto weekday = static_cast<int>(
              ((DaysFromCivil(p.year, static_cast<unsigned>(p.month), static_cast<unsigned>(p.day)) %
                7) + 11) % 7);  // 1970-01-01 was a Thursday
          out += run == 3 ? kShortDays[weekday] : kLongDays[weekday];
        }
        break;
      case 'h':
        AppendNumber(out, p.hour, run >= 2 ? 2 : 1);
        break;
      case 'n':
        AppendNumber(out, p.minute, run >= 2 ? 2 : 1);
        break;
      case 's':
        AppendNumber(out, p.second, run >= 2 ? 2 : 1);
        break;
      default:
        // Separators are the fixed US ones; every other character stands for itself.
        out.append(pattern.substr(i, run));
        break;
    }
    i += run;
  }
}

std::optional<TDateTime> TryStrToDate(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size() && IsBlank(text[pos])) ++pos;
  int month, day, year;
  if (ScanNumber(text, pos, 2, month) == 0) return std::nullopt;
  if (pos >= text.size() || text[pos] != '/') return std::nullopt;
  ++pos;
  if (ScanNumber(text, pos, 2, day) == 0) return std::nullopt;
  if (pos >= text.size() || text[pos] != '/') return std::nullopt;
  ++pos;
  const int yearDigits = ScanNumber(text, pos, 4, year);
  if (yearDigits == 0 || yearDigits == 3) return std::nullopt;
  if (yearDigits <= 2) {
    // Two-digit years fall in the 100 years around the current one.
    const int currentYear = DecodeDateTime(Now()).year;
    const int centuryBase = currentYear - 50;
    year += centuryBase / 100 * 100;
    if (year < centuryBase) year += 100;
  }
  // Anything after a blank (a time of day) is ignored.
  if (pos < text.size() && !IsBlank(text[pos])) return std::nullopt;
  TDateTime result;
  if (!TryEncodeDate(year, month, day, result)) return std::nullopt;
  return result;
}

double RoundDay(TDateTime value) {
  const double floor = std::floor(value);
  const double fraction = value - floor;
  if (fraction < 0.5) return floor;
  if (fraction > 0.5) return floor + 1;
  return std::fmod(floor, 2.0) == 0.0 ? floor : floor + 1;
}

}  // namespace tallyhand
