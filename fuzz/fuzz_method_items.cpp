// Splits arbitrary method texts into argument items as the special-method check does (at
// commas outside apostrophes), and reads the work-date item as a short date.
//
// Besides a crash or a sanitizer report, a bug is:
// - items that, each put back between apostrophes (inner ones doubled) and joined with
//   commas, do not split into the same items again;
// - for a text without apostrophes, items other than the pieces between its commas;
// - a work date that, written back as month/day/year, does not read as the same day.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "clock/method_check.h"
#include "fuzz_check.h"
#include "platform/datetime.h"

namespace {

using tallyhand::fuzzing::Check;

constexpr char kSeparator = ',';
constexpr char kQuote = '\'';
constexpr std::size_t kWorkDateItem = 3;

std::string Quoted(std::string_view item) {
  std::string quoted(1, kQuote);
  for (char c : item) {
    quoted += c;
    if (c == kQuote) quoted += kQuote;
  }
  quoted += kQuote;
  return quoted;
}

std::vector<std::string> PiecesBetweenSeparators(std::string_view text) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  for (std::size_t at = text.find(kSeparator); at != std::string_view::npos;
       at = text.find(kSeparator, start)) {
    pieces.emplace_back(text.substr(start, at - start));
    start = at + 1;
  }
  pieces.emplace_back(text.substr(start));
  return pieces;
}

void CheckWorkDate(const std::string& item) {
  const std::optional<tallyhand::TDateTime> date = tallyhand::TryStrToDate(item);
  if (!date) return;
  Check(*date == static_cast<double>(static_cast<long long>(*date)), "a work date is a whole day");
  const std::string written = tallyhand::FormatDateTime("mm/dd/yyyy", *date);
  const std::optional<tallyhand::TDateTime> again = tallyhand::TryStrToDate(written);
  Check(again && *again == *date, "a work date reads back as the same day");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> items = tallyhand::SplitQuoted(text, kSeparator, kQuote);
  Check(text.empty() == items.empty(), "only an empty text gives no items");
  if (!text.empty() && text.find(kQuote) == std::string_view::npos)
    Check(items == PiecesBetweenSeparators(text), "without quotes, items are the pieces between commas");
  if (!items.empty()) {
    std::string joined;
    for (std::size_t i = 0; i < items.size(); ++i) joined += (i ? "," : "") + Quoted(items[i]);
    Check(tallyhand::SplitQuoted(joined, kSeparator, kQuote) == items, "quoted items split back into themselves");
  }
  if (items.size() > kWorkDateItem) CheckWorkDate(items[kWorkDateItem]);
  CheckWorkDate(std::string(text));
  return 0;
}
