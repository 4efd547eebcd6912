#include "data/drivers/odbc_text.h"

#include "platform/codepage.h"

namespace tallyhand {

std::vector<SQLWCHAR> ToSqlWide(std::string_view utf8) {
  std::vector<SQLWCHAR> units;
  units.reserve(utf8.size());
  std::size_t asciiEnd = 0;
  while (asciiEnd < utf8.size() && static_cast<unsigned char>(utf8[asciiEnd]) < 0x80) ++asciiEnd;
  for (std::size_t i = 0; i < asciiEnd; ++i) units.push_back(static_cast<unsigned char>(utf8[i]));
  if (asciiEnd == utf8.size()) return units;
  for (const char32_t code : Utf8ToCodePoints(utf8.substr(asciiEnd))) {
    if (code < 0x10000) {
      units.push_back(static_cast<SQLWCHAR>(code));
    } else {
      const char32_t offset = code - 0x10000;
      units.push_back(static_cast<SQLWCHAR>(0xD800 + (offset >> 10)));
      units.push_back(static_cast<SQLWCHAR>(0xDC00 + (offset & 0x3FF)));
    }
  }
  return units;
}

void AppendFromSqlWide(std::string& out, const SQLWCHAR* units, std::size_t count) {
  out.reserve(out.size() + count);
  for (std::size_t i = 0; i < count; ++i) {
    const char32_t unit = units[i];
    if (unit < 0x80) {
      out += static_cast<char>(unit);
    } else if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
               units[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (char32_t{units[i + 1]} - 0xDC00));
      ++i;
    } else {
      // AppendUtf8 writes U+FFFD for a lone surrogate.
      AppendUtf8(out, unit);
    }
  }
}

}  // namespace tallyhand
