#include "data/data_ini.h"

#include "platform/text_file.h"

namespace tallyhand {
namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
  return text;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// The section name of a "[name]" line, or nullopt for any other line.
std::optional<std::string_view> SectionName(std::string_view line) {
  line = Trim(line);
  if (line.size() < 2 || line.front() != '[' || line.back() != ']') return std::nullopt;
  return Trim(line.substr(1, line.size() - 2));
}

// Adds a "Name=Value" line; blank lines, comments and lines without "=" add nothing.
void AddEntry(ConnectionDef& def, std::string_view line) {
  const std::string_view trimmed = Trim(line);
  if (trimmed.empty() || trimmed.front() == ';') return;
  const std::size_t equals = trimmed.find('=');
  if (equals == std::string_view::npos) return;
  const std::string_view name = Trim(trimmed.substr(0, equals));
  if (name.empty()) return;
  def.Set(std::string(name), std::string(Trim(trimmed.substr(equals + 1))));
}

}  // namespace

DataIniScan ScanDataIni(const std::vector<std::string>& allLines) {
  std::vector<std::string> credentialLines;
  credentialLines.reserve(allLines.size());
  bool inSessionKeys = false;
  for (const auto& line : allLines) {
    if (const auto name = SectionName(line)) inSessionKeys = EqualsIgnoringCase(*name, kSessionKeysSection);
    if (!inSessionKeys) credentialLines.push_back(line);
  }
  DataIniScan scan;
  scan.userName = LastKeyLineValue(credentialLines, "User_Name");
  scan.password = LastKeyLineValue(credentialLines, "Password", "User_Name");
  scan.debugLogging = LastKeyLineValue(allLines, "DebugLoggingEnabled");
  return scan;
}

std::optional<ConnectionDef> FindIniSection(const std::vector<std::string>& lines,
                                            std::string_view section) {
  std::optional<ConnectionDef> def;
  bool inside = false;
  for (const auto& line : lines) {
    if (const auto name = SectionName(line)) {
      inside = EqualsIgnoringCase(*name, section);
      // A section written twice adds to the first.
      if (inside && !def) def.emplace();
      continue;
    }
    if (inside) AddEntry(*def, line);
  }
  return def;
}

ConnectionDef ReadAllIniEntries(const std::vector<std::string>& lines) {
  ConnectionDef def;
  for (const auto& line : lines) {
    if (!SectionName(line)) AddEntry(def, line);
  }
  return def;
}

}  // namespace tallyhand
