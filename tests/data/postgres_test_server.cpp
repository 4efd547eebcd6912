#include "data/postgres_test_server.h"

#include <fcntl.h>
#include <libpq-fe.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tallyhand::testing_pg {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct ConnectionCloser {
  void operator()(PGconn* conn) const { PQfinish(conn); }
};
using Connection = std::unique_ptr<PGconn, ConnectionCloser>;

Connection ConnectTo(const ServerSettings& s, const std::string& database) {
  const char* keywords[] = {"host", "port", "user", "password", "dbname", "connect_timeout", nullptr};
  const char* values[] = {s.host.c_str(), s.port.c_str(), s.user.c_str(), s.password.c_str(),
                          database.c_str(), "10", nullptr};
  Connection conn(PQconnectdbParams(keywords, values, 0));
  if (!conn || PQstatus(conn.get()) != CONNECTION_OK)
    throw std::runtime_error("cannot connect to the test server: " +
                             std::string(conn ? PQerrorMessage(conn.get()) : "out of memory"));
  return conn;
}

void ExecOn(PGconn* conn, const std::string& sql) {
  PGresult* result = PQexec(conn, sql.c_str());
  const ExecStatusType status = PQresultStatus(result);
  const std::string message = PQresultErrorMessage(result);
  PQclear(result);
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
    throw std::runtime_error("statement failed: " + message);
}

std::string UniqueDatabaseName() {
  static std::atomic<int> counter{0};
  return "th_pg_test_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
}

}  // namespace

bool ReadServerSettings(ServerSettings& s, std::string& why) {
  s.host = Env("TALLYHAND_PG_HOST");
  s.port = Env("TALLYHAND_PG_PORT");
  s.user = Env("TALLYHAND_PG_USER");
  s.password = Env("TALLYHAND_PG_PASSWORD");
  s.database = Env("TALLYHAND_PG_DB");
  s.ctl = Env("TALLYHAND_PG_CTL");
  s.dataDir = Env("TALLYHAND_PG_DATA");
  s.logFile = Env("TALLYHAND_PG_LOG");
  s.lockFile = Env("TALLYHAND_PG_LOCK_FILE");
  if (s.port.empty()) {
    why =
        "TALLYHAND_PG_PORT is not set: the PostgreSQL tests need the test server. Start it with "
        "'scripts/pg-test-server.sh start', then source its settings "
        "('. /tmp/tallyhand-pg/env') before running the tests.";
    return false;
  }
  if (s.host.empty() || s.user.empty() || s.database.empty()) {
    why = "TALLYHAND_PG_HOST, TALLYHAND_PG_USER and TALLYHAND_PG_DB must be set as well "
          "(source the settings file of scripts/pg-test-server.sh)";
    return false;
  }
  return true;
}

SuiteDatabase::SuiteDatabase(const ServerSettings& settings, bool exclusive)
    : settings_(settings), name_(UniqueDatabaseName()) {
  if (!settings_.lockFile.empty()) {
    lockFd_ = open(settings_.lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (lockFd_ >= 0) flock(lockFd_, exclusive ? LOCK_EX : LOCK_SH);
  }
  try {
    ExecOn(ConnectTo(settings_, settings_.database).get(), "CREATE DATABASE " + name_);
    const Connection conn = ConnectTo(settings_, name_);
    ExecOn(conn.get(), "SET client_min_messages = warning");
    const std::string db = std::string(TALLYHAND_SOURCE_DIR) + "/db/postgres/";
    ExecOn(conn.get(), ReadFile(db + "schema.sql"));
    ExecOn(conn.get(), ReadFile(db + "demo.sql"));
  } catch (...) {
    if (lockFd_ >= 0) close(lockFd_);
    throw;
  }
}

SuiteDatabase::~SuiteDatabase() {
  try {
    ExecOn(ConnectTo(settings_, settings_.database).get(),
           "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
  } catch (const std::exception&) {
    // A database left behind goes with the throw-away cluster.
  }
  if (lockFd_ >= 0) close(lockFd_);
}

ConnectionDef SuiteDatabase::Definition() const {
  ConnectionDef def;
  def.Set("DriverID", "PG");
  def.Set("Server", settings_.host);
  def.Set("Port", settings_.port);
  def.Set("Database", name_);
  def.Set("User_Name", settings_.user);
  def.Set("Password", settings_.password);
  return def;
}

void SuiteDatabase::Exec(const std::string& sql) const { ExecOn(ConnectTo(settings_, name_).get(), sql); }

void SuiteDatabaseHolder::SetUp(bool exclusive) {
  ServerSettings settings;
  if (!ReadServerSettings(settings, why_)) return;
  try {
    database_ = std::make_unique<SuiteDatabase>(settings, exclusive);
  } catch (const std::exception& e) {
    why_ = e.what();
  }
}

int RunPgCtl(const ServerSettings& settings, const std::string& args) {
  if (settings.ctl.empty() || settings.dataDir.empty()) return -1;
  const std::string command = "'" + settings.ctl + "' -D '" + settings.dataDir + "' " + args +
                              " >/dev/null 2>&1";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace tallyhand::testing_pg
