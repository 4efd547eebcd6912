// The ODBC driver (DriverID=ODBC), on the unixODBC driver manager: it reaches any
// database whose vendor ships an ODBC driver.
//
// Connection definition parameters (letter case ignored):
//   ODBCDriver=NAME    a driver registered in odbcinst.ini      } exactly one of
//   DataSource=NAME    a data source (DSN) of odbc.ini          } the two
//   Server, Port, Database   -> the attributes SERVER, PORT, DATABASE, when set
//   User_Name, Password      -> UID, PWD (unscrambled in memory only)
//   ODBCAdvanced=K=V;K=V     further attributes, appended as written
//   ProcedureCall=Native|Escape  Native (default) sends "EXECUTE PROCEDURE name(args)"
//                            unchanged; Escape sends "{call name(args)}"
//   LoginTimeout  seconds to wait for a connection (default 5; 1 to 86400)
//   QueryTimeout  seconds a statement may run (default 0: no limit)
// The two timeouts may also stand in the driver settings (FDDrivers.ini). A definition
// that cannot be used fails at every connection attempt with a message saying why.
//
// Statements: ":name" markers become "?", bound by position with each value's type;
// the rest of the text is sent as written. Results are fully fetched; text is read as
// wide characters. A connection whose link to the server was lost (SQLSTATE class 08,
// a terminated backend, or the driver saying so) reports itself dead, and so do the
// connections opened before that moment, since a lost link usually means the server
// restarted: the pool then opens new ones.
#pragma once

#include <memory>

#include "data/driver.h"

namespace tallyhand {

std::unique_ptr<DbDriver> MakeOdbcDriver(const ConnectionDef& def,
                                         const ConnectionDef& driverSettings);

}  // namespace tallyhand
