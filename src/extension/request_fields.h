// Form fields of a request: the ordered entry list the handlers read, and the rules that
// cut a query string or form body into entries and percent-decode each entry.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/exception.h"

namespace tallyhand {

// A malformed percent escape in a query string, body or part header.
TALLYHAND_EXCEPTION(EUrlDecodeError, Exception);

// Ordered text entries, each normally "name=value". The name is the text before the
// entry's first "="; an entry without "=" has no name.
class FieldList {
 public:
  FieldList() = default;
  explicit FieldList(std::vector<std::string> entries) : entries_(std::move(entries)) {}

  void Add(std::string entry) { entries_.push_back(std::move(entry)); }

  size_t Count() const noexcept { return entries_.size(); }
  bool Empty() const noexcept { return entries_.empty(); }

  // Raises EArgumentOutOfRangeException for an index outside the list.
  const std::string& Entry(size_t index) const;
  const std::vector<std::string>& Entries() const noexcept { return entries_; }

  // The text after the first "=" of the first entry whose name equals `name`, letter
  // case ignored; "" when no entry matches.
  std::string Values(std::string_view name) const;

  // Every entry followed by CR LF, the last one included; "" for an empty list.
  std::string Text() const;

 private:
  std::vector<std::string> entries_;
};

// True when two names are equal with letter case ignored. Folds the letters of ASCII and
// of Windows-1252 (the code page query strings arrive in); other characters compare exactly.
bool NamesEqualIgnoringCase(std::string_view a, std::string_view b);

// Cuts a text into raw entries at "&", CR, LF and the end, with the double-quote rules:
// an entry that begins with a quote runs to the next quote (both quotes dropped, the
// character after the closing quote begins the next entry); a quote later in an entry
// opens a stretch where separators do not cut, the entry ends right after the closing
// quote and the character after it is dropped. CR and LF at an entry's start are skipped.
// The views point into `text`.
std::vector<std::string_view> CutIntoEntries(std::string_view text);

// Percent-decodes one entry: "+" is a blank, "%%" is "%", "%XX" is a byte; everything
// else stands for its own UTF-8 bytes. The bytes are then read as UTF-8 (invalid
// sequences become U+FFFD). Raises EUrlDecodeError for a "%" followed by fewer than two
// characters or by a character that is not a hexadecimal digit; the position in the
// message counts characters from the entry's start to the one after the "%".
std::string PercentDecode(std::string_view entry);

// Cuts `text` (UTF-8) into entries and percent-decodes each one.
FieldList ParseFields(std::string_view text);

}  // namespace tallyhand
