// What an ODBC connection definition asks for: the connection string handed to the
// driver manager, how procedure calls are written, and the two timeouts.
#pragma once

#include <string>
#include <string_view>

#include "data/driver.h"

namespace tallyhand {

enum class ProcedureCallStyle {
  Native,  // "EXECUTE PROCEDURE name(args)" sent unchanged
  Escape,  // sent as the ODBC call escape "{call name(args)}"
};

struct OdbcSettings {
  std::string connectionString;  // UTF-8; holds the password
  ProcedureCallStyle procedureCall = ProcedureCallStyle::Native;
  unsigned loginTimeoutSeconds = 5;
  unsigned queryTimeoutSeconds = 0;  // 0: none
};

// Reads the definition: ODBCDriver or DataSource (exactly one), Server, Port, Database,
// User_Name, Password, ODBCAdvanced, ProcedureCall, LoginTimeout and QueryTimeout (the
// last two also from the driver settings, the definition winning). Raises EDatabaseError
// with a message that names the parameter for a definition that cannot be used.
OdbcSettings ReadOdbcSettings(const ConnectionDef& def, const ConnectionDef& driverSettings);

// A connection string attribute value: braced, with '}' doubled, when it holds a
// character the connection string would otherwise cut or change (';', '{', '}', a
// leading or trailing blank); as it is otherwise, since some drivers take a braced
// value literally.
std::string OdbcAttributeValue(std::string_view value);

}  // namespace tallyhand
