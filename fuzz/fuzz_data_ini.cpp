// Reads arbitrary bytes as data.ini: the byte-order mark and line rules, the scan for the
// scrambled credentials and the log switch, the "BaseGlob" section and the unscrambling
// of what the scan found.
//
// Besides a crash or a sanitizer report, a bug is:
// - a line that is not valid UTF-8 or holds a line break;
// - lines that do not read back the same once written in their own encoding (the event
//   log's file is read and written back this way);
// - a scanned value of more than 255 characters;
// - an unscrambled value of another length than the scrambled one, with a character
//   above U+00FF, or whose first characters depend on the ones after them;
// - a plain value that, scrambled as the admin tool does and written into a data.ini
//   line, does not read and unscramble back to itself;
// - a section entry whose name is blank or whose name or value is not trimmed.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data/data_ini.h"
#include "data/mainDM.h"
#include "fuzz_check.h"
#include "platform/codepage.h"
#include "platform/text_file.h"

namespace {

using tallyhand::fuzzing::Check;

bool IsTrimmed(std::string_view text) {
  return text.empty() || (static_cast<unsigned char>(text.front()) > ' ' &&
                          static_cast<unsigned char>(text.back()) > ' ');
}

void CheckLines(const tallyhand::TextLines& text) {
  for (const std::string& line : text.lines) {
    Check(tallyhand::IsValidUtf8(line), "a line is valid UTF-8");
    Check(line.find_first_of("\r\n") == std::string::npos, "a line holds no line break");
  }
  const tallyhand::TextLines again =
      tallyhand::DecodeTextLines(tallyhand::EncodeTextLines(text.lines, text.encoding));
  Check(again.encoding == text.encoding && again.lines == text.lines,
        "lines read back the same once written");
}

void CheckUnscrambling(const std::string& scrambled) {
  Check(tallyhand::Utf8Length(scrambled) <= 255, "a scanned value holds at most 255 characters");
  const std::string plain = tallyhand::TMainDM::LoadFromNVString(scrambled, tallyhand::kScrambleStartKey);
  const std::u32string codes = tallyhand::Utf8ToCodePoints(plain);
  Check(codes.size() == tallyhand::Utf8Length(scrambled), "unscrambling keeps the length");
  for (char32_t c : codes) Check(c <= 0xFF, "unscrambled characters are U+0000 to U+00FF");
  const std::size_t half = codes.size() / 2;
  const std::string head = tallyhand::TMainDM::LoadFromNVString(
      tallyhand::Utf8Substr(scrambled, 0, half), tallyhand::kScrambleStartKey);
  Check(head == tallyhand::Utf8Substr(plain, 0, half), "a character depends on those before it only");

  // The admin tool's way back: scramble, write the line in a data.ini, read, unscramble.
  const std::string again = tallyhand::ScrambleNVString(plain, tallyhand::kScrambleStartKey);
  const tallyhand::TextLines file = tallyhand::DecodeTextLines(tallyhand::EncodeTextLines(
      {"[BaseGlob]", "Password=" + again}, tallyhand::TextEncoding::Utf8Bom));
  const std::string read = tallyhand::ScanDataIni(file.lines).password;
  Check(tallyhand::TMainDM::LoadFromNVString(read, tallyhand::kScrambleStartKey) == plain,
        "a scrambled value reads back from data.ini");
}

void CheckEntries(const tallyhand::ConnectionDef& def) {
  for (const auto& [name, value] : def.Entries()) {
    Check(!name.empty() && IsTrimmed(name) && IsTrimmed(value), "entries are trimmed, names not blank");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const tallyhand::TextLines text =
      tallyhand::DecodeTextLines(std::string_view(reinterpret_cast<const char*>(data), size));
  CheckLines(text);
  const tallyhand::DataIniScan scan = tallyhand::ScanDataIni(text.lines);
  CheckUnscrambling(scan.userName);
  CheckUnscrambling(scan.password);
  Check(tallyhand::Utf8Length(scan.debugLogging) <= 255, "the log switch holds at most 255 characters");
  if (const std::optional<tallyhand::ConnectionDef> def = tallyhand::FindIniSection(text.lines, "BaseGlob"))
    CheckEntries(*def);
  CheckEntries(tallyhand::ReadAllIniEntries(text.lines));
  return 0;
}
