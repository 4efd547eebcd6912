#include "extension/request_fields.h"

#include <cstdint>
#include <utility>

#include "platform/codepage.h"

namespace tallyhand {

namespace {

// Bytes taken by the character at `pos`: the length of a well-formed UTF-8 sequence
// there, or 1 for a byte that does not start one (so malformed input still advances).
size_t CharLengthAt(std::string_view text, size_t pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  size_t length = 1;
  unsigned char low = 0x80;  // bounds of the first continuation byte
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  }
  if (length == 1 || pos + length > text.size()) return 1;
  for (size_t i = 1; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(text[pos + i]);
    if (byte < low || byte > high) return 1;
    low = 0x80;
    high = 0xBF;
  }
  return length;
}

// The code point at `pos` and its byte length. A byte that starts no complete sequence
// gets a value above the Unicode range, so it only ever equals the same byte.
std::pair<uint32_t, size_t> CodePointAt(std::string_view text, size_t pos) {
  const size_t length = CharLengthAt(text, pos);
  const auto lead = static_cast<unsigned char>(text[pos]);
  if (length == 1) {
    return {lead < 0x80 ? lead : 0x110000u + lead, 1};
  }
  uint32_t value = lead & (0x7Fu >> length);
  for (size_t i = 1; i < length; ++i) {
    value = (value << 6) | (static_cast<unsigned char>(text[pos + i]) & 0x3Fu);
  }
  return {value, length};
}

// Lower-case partner of the upper-case letters of ASCII and Windows-1252.
uint32_t FoldCase(uint32_t codePoint) {
  if (codePoint >= 'A' && codePoint <= 'Z') return codePoint + 0x20;
  if (codePoint >= 0xC0 && codePoint <= 0xDE && codePoint != 0xD7) return codePoint + 0x20;
  switch (codePoint) {
    case 0x152: return 0x153;  // OE ligature
    case 0x160: return 0x161;  // S caron
    case 0x17D: return 0x17E;  // Z caron
    case 0x178: return 0xFF;   // Y diaeresis
    default: return codePoint;
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

[[noreturn]] void RaiseTruncatedEscape(size_t position) {
  throw EUrlDecodeError("Error decoding URL style (%XX) encoded string at position " +
                        std::to_string(position));
}

[[noreturn]] void RaiseInvalidEscape(std::string_view escape, size_t position) {
  // The escape may hold malformed bytes of a hostile request; the message stays UTF-8.
  throw EUrlDecodeError("Invalid URL encoded character (" + SanitizeUtf8(escape) +
                        ") at position " + std::to_string(position));
}

// Characters before `pos`, stepping as the decoder does: a well-formed UTF-8 sequence
// is one character, any other byte is one. Only needed for an error message, so it
// is counted when an error is raised rather than on every character.
size_t CharIndexAt(std::string_view entry, size_t pos) {
  size_t count = 0;
  for (size_t i = 0; i < pos; i += CharLengthAt(entry, i)) ++count;
  return count;
}

// Bytes that end a plain stretch of an entry: the ones PercentDecode rewrites.
bool IsPercentSpecial(char c) { return c == '%' || c == '+'; }

// Bytes that end an entry or open a quoted stretch.
bool IsEntryBreak(char c) { return c == '&' || c == '\r' || c == '\n' || c == '"'; }

}  // namespace

const std::string& FieldList::Entry(size_t index) const {
  if (index >= entries_.size()) {
    throw EArgumentOutOfRangeException("Field index out of range (" + std::to_string(index) +
                                       ")");
  }
  return entries_[index];
}

std::string FieldList::Values(std::string_view name) const {
  for (const std::string& entry : entries_) {
    const size_t equals = entry.find('=');
    if (equals == std::string::npos) continue;
    if (NamesEqualIgnoringCase(std::string_view(entry).substr(0, equals), name)) {
      return entry.substr(equals + 1);
    }
  }
  return {};
}

std::string FieldList::Text() const {
  size_t size = 0;
  for (const std::string& entry : entries_) size += entry.size() + 2;
  std::string text;
  text.reserve(size);
  for (const std::string& entry : entries_) {
    text += entry;
    text += "\r\n";
  }
  return text;
}

bool NamesEqualIgnoringCase(std::string_view a, std::string_view b) {
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    const auto [left, leftLength] = CodePointAt(a, i);
    const auto [right, rightLength] = CodePointAt(b, j);
    if (FoldCase(left) != FoldCase(right)) return false;
    i += leftLength;
    j += rightLength;
  }
  return i == a.size() && j == b.size();
}

std::vector<std::string_view> CutIntoEntries(std::string_view text) {
  std::vector<std::string_view> entries;
  const size_t size = text.size();
  size_t pos = 0;
  while (true) {
    while (pos < size && (text[pos] == '\r' || text[pos] == '\n')) ++pos;
    if (pos >= size) break;

    if (text[pos] == '"') {
      const size_t close = text.find('"', pos + 1);
      if (close == std::string_view::npos) {
        entries.push_back(text.substr(pos + 1));
        break;
      }
      entries.push_back(text.substr(pos + 1, close - pos - 1));
      pos = close + 1;  // this character begins the next entry, separator or not
      continue;
    }

    size_t stop = pos;
    while (stop < size && !IsEntryBreak(text[stop])) ++stop;
    if (stop == size) {
      entries.push_back(text.substr(pos));
      break;
    }
    if (text[stop] != '"') {
      entries.push_back(text.substr(pos, stop - pos));
      pos = stop + 1;
      continue;
    }
    // A quote inside the entry: separators do not cut until the next quote.
    const size_t close = text.find('"', stop + 1);
    if (close == std::string_view::npos) {
      entries.push_back(text.substr(pos));
      break;
    }
    entries.push_back(text.substr(pos, close + 1 - pos));
    pos = close + 2;  // the character after the closing quote is dropped
  }
  return entries;
}

std::string PercentDecode(std::string_view entry) {
  std::string bytes;
  bytes.reserve(entry.size());
  const size_t size = entry.size();
  size_t pos = 0;
  while (pos < size) {
    // Everything but '%' and '+' stands for its own bytes. A UTF-8 sequence never holds
    // either byte, so a plain stretch is copied whole.
    size_t plainEnd = pos;
    while (plainEnd < size && !IsPercentSpecial(entry[plainEnd])) ++plainEnd;
    bytes.append(entry.data() + pos, plainEnd - pos);
    pos = plainEnd;
    if (pos >= size) break;
    if (entry[pos] == '+') {
      bytes += ' ';
      ++pos;
      continue;
    }
    const size_t first = pos + 1;
    if (first < size && entry[first] == '%') {
      bytes += '%';
      pos += 2;
      continue;
    }
    if (first >= size) RaiseTruncatedEscape(CharIndexAt(entry, pos) + 1);
    const size_t second = first + CharLengthAt(entry, first);
    if (second >= size) RaiseTruncatedEscape(CharIndexAt(entry, pos) + 1);
    const int high = HexValue(entry[first]);
    const int low = HexValue(entry[second]);
    if (high < 0 || low < 0) {
      const size_t end = second + CharLengthAt(entry, second);
      RaiseInvalidEscape(entry.substr(pos, end - pos), CharIndexAt(entry, pos) + 1);
    }
    bytes += static_cast<char>(high * 16 + low);
    pos = second + 1;
  }
  // Most entries decode to well-formed UTF-8 and need no second copy.
  if (IsValidUtf8(bytes)) return bytes;
  return SanitizeUtf8(bytes);
}

FieldList ParseFields(std::string_view text) {
  const std::vector<std::string_view> raw = CutIntoEntries(text);
  std::vector<std::string> entries;
  entries.reserve(raw.size());
  for (std::string_view entry : raw) entries.push_back(PercentDecode(entry));
  return FieldList(std::move(entries));
}

}  // namespace tallyhand
