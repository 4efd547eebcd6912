#include "data/drivers/odbc_settings.h"

#include "platform/ascii_case.h"
#include "platform/exception.h"

namespace tallyhand {
namespace {

constexpr unsigned kDefaultLoginTimeout = 5;
constexpr unsigned kMaxTimeout = 86400;

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

std::string Trimmed(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return std::string(text);
}

// A NUL would end the connection string early in the driver.
void RefuseNul(std::string_view name, std::string_view value) {
  if (value.find('\0') != std::string_view::npos)
    throw EDatabaseError("The ODBC connection definition's " + std::string(name) +
                         " holds a NUL character");
}

std::string Braced(std::string_view value) {
  std::string out = "{";
  for (const char c : value) {
    out += c;
    if (c == '}') out += '}';
  }
  out += '}';
  return out;
}

void AppendAttribute(std::string& text, std::string_view keyword, std::string_view value) {
  text.append(keyword);
  text += '=';
  text += OdbcAttributeValue(value);
  text += ';';
}

// Seconds from the definition, else the driver settings, else the fallback.
unsigned TimeoutSeconds(const ConnectionDef& def, const ConnectionDef& settings, const char* name,
                        unsigned fallback, unsigned minimum) {
  const std::string text = Trimmed(def.Has(name) ? def.Get(name) : settings.Get(name));
  if (text.empty()) return fallback;
  unsigned long seconds = 0;
  bool number = text.size() <= 6;
  for (const char c : text) {
    number = number && c >= '0' && c <= '9';
    if (number) seconds = seconds * 10 + static_cast<unsigned long>(c - '0');
  }
  if (!number || seconds < minimum || seconds > kMaxTimeout)
    throw EDatabaseError(std::string(name) + " must be a number of seconds from " +
                         std::to_string(minimum) + " to " + std::to_string(kMaxTimeout) +
                         ", not '" + text + "'");
  return static_cast<unsigned>(seconds);
}

ProcedureCallStyle ReadProcedureCall(const ConnectionDef& def) {
  const std::string text = Trimmed(def.Get("ProcedureCall"));
  if (text.empty() || EqualsIgnoringAsciiCase(text, "Native")) return ProcedureCallStyle::Native;
  if (EqualsIgnoringAsciiCase(text, "Escape")) return ProcedureCallStyle::Escape;
  throw EDatabaseError("ProcedureCall must be Native or Escape, not '" + text + "'");
}

// DRIVER={name} or DSN=name, from exactly one of ODBCDriver and DataSource.
std::string DriverOrDataSource(const ConnectionDef& def) {
  const std::string driver = Trimmed(def.Get("ODBCDriver"));
  const std::string dataSource = Trimmed(def.Get("DataSource"));
  RefuseNul("ODBCDriver", driver);
  RefuseNul("DataSource", dataSource);
  if (!driver.empty() && !dataSource.empty())
    throw EDatabaseError(
        "The ODBC connection definition sets both ODBCDriver and DataSource; keep one of them");
  if (!driver.empty()) return "DRIVER=" + Braced(driver) + ";";
  if (!dataSource.empty()) return "DSN=" + OdbcAttributeValue(dataSource) + ";";
  throw EDatabaseError(
      "The ODBC connection definition names no driver: set ODBCDriver=NAME (a driver of "
      "odbcinst.ini) or DataSource=NAME (a data source of odbc.ini)");
}

}  // namespace

std::string OdbcAttributeValue(std::string_view value) {
  const bool needsBraces = !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()) ||
                                              value.find_first_of(";{}") != std::string_view::npos);
  return needsBraces ? Braced(value) : std::string(value);
}

OdbcSettings ReadOdbcSettings(const ConnectionDef& def, const ConnectionDef& driverSettings) {
  OdbcSettings settings;
  settings.connectionString = DriverOrDataSource(def);
  struct Attribute {
    const char* name;     // in the connection definition
    const char* keyword;  // in the connection string
    bool trim;
  };
  // Credentials keep their blanks: they are part of the value.
  constexpr Attribute kAttributes[] = {
      {"Server", "SERVER", true},  {"Port", "PORT", true},      {"Database", "DATABASE", true},
      {"User_Name", "UID", false}, {"Password", "PWD", false},
  };
  for (const Attribute& attribute : kAttributes) {
    std::string value = def.Get(attribute.name);
    if (attribute.trim) value = Trimmed(value);
    RefuseNul(attribute.name, value);
    if (!value.empty()) AppendAttribute(settings.connectionString, attribute.keyword, value);
  }
  const std::string advanced = Trimmed(def.Get("ODBCAdvanced"));
  RefuseNul("ODBCAdvanced", advanced);
  settings.connectionString += advanced;
  settings.procedureCall = ReadProcedureCall(def);
  settings.loginTimeoutSeconds =
      TimeoutSeconds(def, driverSettings, "LoginTimeout", kDefaultLoginTimeout, 1);
  settings.queryTimeoutSeconds = TimeoutSeconds(def, driverSettings, "QueryTimeout", 0, 0);
  return settings;
}

}  // namespace tallyhand
