// The PostgreSQL driver (DriverID=PG), on libpq.
//
// Connection definition parameters (letter case ignored):
//   Server -> host, Port -> port, Database -> dbname, User_Name -> user,
//   Password -> password
// and further libpq options, taken from the definition, else from the driver settings
// (FDDrivers.ini), else the default shown:
//   ConnectTimeout -> connect_timeout (5 seconds)   SSLMode -> sslmode
//   SSLRootCert -> sslrootcert   SSLCert -> sslcert   SSLKey -> sslkey
//   ApplicationName -> application_name (Tallyhand)
//   KeepAlivesIdle -> keepalives_idle   KeepAlivesInterval -> keepalives_interval
//   KeepAlivesCount -> keepalives_count   TCPUserTimeout -> tcp_user_timeout
//   StatementTimeout -> the server setting statement_timeout (milliseconds, digits only)
// Empty values are left out, so libpq's own defaults apply. Every session runs with
// client_encoding UTF8, DateStyle ISO and lc_monetary C, which the value conversion
// relies on. Parameters the driver does not know are ignored.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "data/driver.h"

namespace tallyhand {

std::unique_ptr<DbDriver> MakePostgresDriver(const ConnectionDef& def,
                                             const ConnectionDef& driverSettings);

// The libpq keyword/value pairs the driver connects with, in order.
std::vector<std::pair<std::string, std::string>> PostgresConnectionParameters(
    const ConnectionDef& def, const ConnectionDef& driverSettings);

}  // namespace tallyhand
