// data.ini: connection definitions as INI sections, and a plain line scan for the
// scrambled credentials and the log switch.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data/driver.h"

namespace tallyhand {

// The session key store's settings. Its Password is the store's own, so the scan for the
// database credentials passes over this section.
inline constexpr std::string_view kSessionKeysSection = "SessionKeys";

// The value of the last line that begins (case-sensitively) with key, from the
// character after key+1 on, at most 255 characters; empty when no line does.
// "Password" lines that begin with "User_Name" are not Password lines. The credential
// lines of the [SessionKeys] section do not count.
struct DataIniScan {
  std::string userName;      // scrambled
  std::string password;      // scrambled
  std::string debugLogging;  // raw switch value
};
DataIniScan ScanDataIni(const std::vector<std::string>& lines);

// The named section's Name=Value entries; nullopt when the section is absent.
std::optional<ConnectionDef> FindIniSection(const std::vector<std::string>& lines,
                                            std::string_view section);

// All entries of every section, for FDDrivers.ini settings.
ConnectionDef ReadAllIniEntries(const std::vector<std::string>& lines);

// The inverse of TMainDM::LoadFromNVString: one printable character per byte, whose
// code has the scrambled byte as its low 8 bits. Returned as UTF-8.
std::string ScrambleNVString(std::string_view plainLatin1, std::uint16_t key);

}  // namespace tallyhand
