// tallyhand-admin: scrambles data.ini credentials, creates reference databases and lays
// out ready module folders.
#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "admin/site_layout.h"
#include "data/data_ini.h"
#include "data/mainDM.h"
#include "data/reference_db.h"
#include "platform/exception.h"
#include "platform/module_path.h"

namespace {

using tallyhand::Exception;

constexpr const char* kUsage =
    "usage:\n"
    "  tallyhand-admin scramble TEXT\n"
    "      print TEXT scrambled for data.ini's User_Name= and Password= lines\n"
    "  tallyhand-admin init-db sqlite PATH [--no-demo]\n"
    "      create a new SQLite reference database file\n"
    "  tallyhand-admin init-db pg CONNINFO [--no-demo]\n"
    "      create the reference tables and procedures in a PostgreSQL database\n"
    "  tallyhand-admin init-site DIR [--module PATH] [--driver sqlite|pg|odbc] [--user NAME]\n"
    "      [--password TEXT] [--server HOST] [--port N] [--database NAME]\n"
    "      [--odbc-driver NAME | --data-source NAME] [--procedure-call Native|Escape]\n"
    "      [--busy-timeout MS] [--force]\n"
    "      lay out a ready module folder: the module, data.ini, FDDrivers.ini and, for\n"
    "      sqlite, the demo database tallyhand.db\n";

int Usage() {
  std::cerr << kUsage;
  return 2;
}

int Scramble(const std::vector<std::string>& args) {
  if (args.size() != 1) return Usage();
  std::cout << tallyhand::ScrambleNVString(args[0], tallyhand::kScrambleStartKey) << '\n';
  return 0;
}

int InitDb(const std::vector<std::string>& args) {
  if (args.size() < 2 || args.size() > 3) return Usage();
  bool withDemo = true;
  if (args.size() == 3) {
    if (args[2] != "--no-demo") return Usage();
    withDemo = false;
  }
  if (args[0] == "sqlite") {
    tallyhand::CreateSqliteReferenceDb(args[1], withDemo);
  } else if (args[0] == "pg") {
    tallyhand::InitPostgresReferenceDb(args[1], withDemo);
  } else {
    return Usage();
  }
  return 0;
}

int InitSite(const std::vector<std::string>& args) {
  if (args.empty() || args[0].starts_with("--")) return Usage();
  tallyhand::SiteOptions options;
  options.folder = args[0];
  options.modulePath = tallyhand::FolderOf(tallyhand::HostExecutablePath()) + "Tallyhand_az.so";
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "--force") {
      options.replace = true;
      continue;
    }
    if (i + 1 >= args.size()) return Usage();
    const std::string& value = args[++i];
    if (option == "--module") {
      options.modulePath = value;
    } else if (option == "--driver") {
      options.driver = value;
    } else if (option == "--user") {
      options.userName = value;
    } else if (option == "--password") {
      options.password = value;
    } else if (option == "--server") {
      options.server = value;
    } else if (option == "--port") {
      options.port = value;
    } else if (option == "--database") {
      options.database = value;
    } else if (option == "--odbc-driver") {
      options.odbcDriver = value;
    } else if (option == "--data-source") {
      options.odbcDataSource = value;
    } else if (option == "--procedure-call") {
      options.procedureCall = value;
    } else if (option == "--busy-timeout") {
      char* end = nullptr;
      const long ms = std::strtol(value.c_str(), &end, 10);
      if (end == value.c_str() || *end != '\0' || ms < 0 || ms > 3'600'000) return Usage();
      options.busyTimeoutMs = static_cast<int>(ms);
    } else {
      return Usage();
    }
  }
  tallyhand::LayOutSite(options);
  std::cout << "site laid out in " << options.folder << '\n';
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string_view command = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  try {
    if (command == "scramble") return Scramble(args);
    if (command == "init-db") return InitDb(args);
    if (command == "init-site") return InitSite(args);
  } catch (const Exception& e) {
    std::cerr << "tallyhand-admin: " << e.Message() << '\n';
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "tallyhand-admin: " << e.what() << '\n';
    return 1;
  }
  return Usage();
}
