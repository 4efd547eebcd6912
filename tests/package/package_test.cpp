// The systemd unit and the Debian package: the unit passes systemd-analyze verify and
// keeps its hardening; the package built by cpack holds the Debian layout, passes
// lintian, and, unpacked into a throw-away root with its maintainer scripts run there,
// serves from the unit's own ExecStart line, pictures landing under the root's var/lib.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

#include "e2e/upload_fixture.h"
#include "support/http_client.h"
#include "support/jpeg_samples.h"
#include "support/server_process.h"

namespace tallyhand::package {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::BuiltFile;

const std::string kUnitPath = std::string(TALLYHAND_SOURCE_DIR) + "/deploy/systemd/tallyhand.service";

struct CommandResult {
  int status = -1;
  std::string output;  // standard output and standard error together
};

CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen((command + " 2>&1").c_str(), "r"), ::pclose);
  if (!pipe) return result;
  std::array<char, 4096> chunk{};
  size_t n;
  while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe.get())) > 0) result.output.append(chunk.data(), n);
  const int status = ::pclose(pipe.release());
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class TemporaryFolder {
 public:
  TemporaryFolder() {
    std::string pattern = (fs::temp_directory_path() / "tallyhand-package-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// Every "Key=value" line of the unit, by key, in order.
std::multimap<std::string, std::string> UnitEntries(const std::string& text) {
  std::multimap<std::string, std::string> entries;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#' || line[0] == '[') continue;
    const size_t eq = line.find('=');
    if (eq != std::string::npos) entries.emplace(line.substr(0, eq), line.substr(eq + 1));
  }
  return entries;
}

std::string Only(const std::multimap<std::string, std::string>& entries, const std::string& key) {
  EXPECT_EQ(entries.count(key), 1u) << key;
  auto found = entries.find(key);
  return found == entries.end() ? "" : found->second;
}

TEST(Unit, SystemdAnalyzeVerifiesItAndItKeepsItsHardening) {
  ASSERT_TRUE(fs::exists("/usr/bin/systemd-analyze")) << "systemd is needed (scripts/install-deps.sh)";
  const std::string unit = ReadText(kUnitPath);
  ASSERT_FALSE(unit.empty());
  // verify also checks that the command exists: the built one stands in for the
  // installed one.
  TemporaryFolder folder;
  std::string local = unit;
  const std::string installed = "/usr/lib/tallyhand/tallyhand-server";
  ASSERT_NE(local.find("ExecStart=" + installed), std::string::npos);
  local.replace(local.find(installed), installed.size(), BuiltFile("tallyhand-server"));
  const std::string path = folder.Path() + "/tallyhand.service";
  std::ofstream(path) << local;
  const CommandResult verified = RunCommand("systemd-analyze verify " + path);
  EXPECT_EQ(verified.status, 0) << verified.output;
  // Unknown or misspelt settings are only warned about: any word on the unit fails.
  EXPECT_EQ(verified.output.find("tallyhand.service"), std::string::npos) << verified.output;

  const auto entries = UnitEntries(unit);
  const std::pair<const char*, const char*> fixed[] = {
      {"Type", "notify"},
      {"User", "tallyhand"},
      {"Restart", "on-failure"},
      {"ExecReload", "/bin/kill -HUP $MAINPID"},
      {"NoNewPrivileges", "yes"},
      {"ProtectSystem", "strict"},
      {"ReadWritePaths", "/var/lib/tallyhand /var/log/tallyhand"},
      {"ProtectHome", "yes"},
      {"PrivateTmp", "yes"},
      {"CapabilityBoundingSet", "CAP_NET_BIND_SERVICE"},
      {"AmbientCapabilities", "CAP_NET_BIND_SERVICE"},
  };
  for (const auto& [key, value] : fixed) EXPECT_EQ(Only(entries, key), value) << key;
}

// What the unit's ExecStart runs, its variables expanded as systemd does from the
// unit's Environment= defaults, with the options given instead of the configured ones.
std::vector<std::string> ExecStartArgs(const std::string& unit, const std::string& options) {
  const auto entries = UnitEntries(unit);
  std::map<std::string, std::string> environment;
  for (auto [it, end] = entries.equal_range("Environment"); it != end; ++it) {
    std::string assignment = it->second;
    if (assignment.size() >= 2 && assignment.front() == '"') assignment = assignment.substr(1, assignment.size() - 2);
    const size_t eq = assignment.find('=');
    environment[assignment.substr(0, eq)] = assignment.substr(eq + 1);
  }
  environment["TALLYHAND_OPTIONS"] = options;
  std::istringstream words(Only(entries, "ExecStart"));
  std::vector<std::string> args;
  std::string word;
  while (words >> word) {
    if (word.starts_with("$") && !word.starts_with("${")) {
      // $NAME: the value split at blanks into words of their own.
      std::istringstream split(environment[word.substr(1)]);
      std::string part;
      while (split >> part) args.push_back(part);
      continue;
    }
    // ${NAME}: the value in place, within the word.
    static const std::regex braced(R"(\$\{([A-Z_]+)\})");
    std::smatch match;
    while (std::regex_search(word, match, braced)) {
      word = match.prefix().str() + environment[match[1].str()] + match.suffix().str();
    }
    args.push_back(word);
  }
  return args;
}

// Waits for one datagram on the notify socket; "" when none comes in time.
std::string NextNotice(int socket, std::chrono::milliseconds timeout) {
  timeval wait{static_cast<time_t>(timeout.count() / 1000), static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
  ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  char buffer[512];
  const ssize_t n = ::recv(socket, buffer, sizeof buffer, 0);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
}

TEST(Package, BuiltWithTheDebianLayoutLintianCleanAndServingFromTheUnitsCommand) {
  TemporaryFolder work;
  ASSERT_FALSE(work.Path().empty());
  const std::string out = work.Path() + "/out";
  const CommandResult built = RunCommand("cpack -G DEB --config " + BuiltFile("CPackConfig.cmake") + " -B " + out);
  ASSERT_EQ(built.status, 0) << built.output;
  std::string deb;
  for (const auto& entry : fs::directory_iterator(out)) {
    if (entry.path().extension() == ".deb") deb = entry.path().string();
  }
  ASSERT_FALSE(deb.empty()) << built.output;

  // The layout: programs under /usr, configuration under /etc, the names the modules
  // and the server look for beside themselves linked to /etc, /var/lib and /var/log.
  const CommandResult contents = RunCommand("dpkg-deb -c " + deb);
  ASSERT_EQ(contents.status, 0) << contents.output;
  const char* expected[] = {
      " ./usr/lib/tallyhand/tallyhand-server",
      " ./usr/lib/tallyhand/Tallyhand_az.so",
      " ./usr/lib/tallyhand/Tallyhand.so",
      " ./usr/bin/tallyhand-admin",
      " ./lib/systemd/system/tallyhand.service",
      " ./etc/tallyhand/data.ini",
      " ./etc/tallyhand/FDDrivers.ini",
      " ./etc/default/tallyhand",
      " ./usr/share/doc/tallyhand/README.md",
      " ./usr/share/doc/tallyhand/copyright",
      " ./usr/share/doc/tallyhand/examples/nginx-site.conf",
      " ./usr/lib/tallyhand/data.ini -> /etc/tallyhand/data.ini",
      " ./usr/lib/tallyhand/FDDrivers.ini -> /etc/tallyhand/FDDrivers.ini",
      " ./usr/lib/tallyhand/Tallyhand_azLog.txt -> /var/log/tallyhand/Tallyhand_azLog.txt",
      " ./usr/lib/tallyhand/TallyhandLog.txt -> /var/log/tallyhand/TallyhandLog.txt",
      " ./usr/lib/tallyhand/mobiletcimages -> /var/lib/tallyhand/mobiletcimages",
  };
  for (const char* path : expected) EXPECT_NE(contents.output.find(path), std::string::npos) << path;
  EXPECT_EQ(contents.output.find("./var/"), std::string::npos) << "state is the maintainer scripts' to make";

  const CommandResult conffiles = RunCommand("dpkg-deb -I " + deb + " conffiles");
  EXPECT_EQ(conffiles.output, "/etc/tallyhand/data.ini\n/etc/tallyhand/FDDrivers.ini\n/etc/default/tallyhand\n");
  const CommandResult depends = RunCommand("dpkg-deb -f " + deb + " Depends");
  for (const char* library : {"adduser", "libssl3", "libsystemd0", "libsqlite3-0", "libpq5"}) {
    EXPECT_NE(depends.output.find(library), std::string::npos) << depends.output;
  }

  // No error and no warning; lintian warns about running as root, which is no tag.
  const CommandResult lint = RunCommand("lintian --tag-display-limit 0 " + deb);
  EXPECT_EQ(lint.status, 0) << lint.output;
  for (const char* mark : {"\nE: ", "\nW: "}) {
    EXPECT_EQ(("\n" + lint.output).find(mark), std::string::npos) << lint.output;
  }

  // Unpacked into a throw-away root: the absolute links point into it, as they would
  // point into / on an installed system.
  const std::string root = work.Path() + "/root";
  const CommandResult extracted = RunCommand("dpkg-deb -x " + deb + " " + root);
  ASSERT_EQ(extracted.status, 0) << extracted.output;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_symlink()) continue;
    const fs::path target = fs::read_symlink(entry.path());
    if (!target.is_absolute()) continue;
    fs::remove(entry.path());
    fs::create_symlink(root + target.string(), entry.path());
  }
  const std::string control = work.Path() + "/control";
  ASSERT_EQ(RunCommand("dpkg-deb -e " + deb + " " + control).status, 0);
  const CommandResult configured =
      RunCommand("DPKG_ROOT=" + root + " sh " + control + "/postinst configure ''");
  ASSERT_EQ(configured.status, 0) << configured.output;
  const std::string state = root + "/var/lib/tallyhand";
  ASSERT_TRUE(fs::exists(state + "/tallyhand.db"));
  ASSERT_TRUE(fs::is_directory(state + "/mobiletcimages"));
  ASSERT_TRUE(fs::is_directory(root + "/var/log/tallyhand"));
  // The database named in data.ini, within the root.
  const std::string dataIni = root + "/etc/tallyhand/data.ini";
  std::string ini = ReadText(dataIni);
  const std::string database = "Database=/var/lib/tallyhand/tallyhand.db";
  ASSERT_NE(ini.find(database), std::string::npos) << ini;
  ini.replace(ini.find(database), database.size(), "Database=" + state + "/tallyhand.db");
  std::ofstream(dataIni, std::ios::binary) << ini;

  const std::string unit = ReadText(root + "/lib/systemd/system/tallyhand.service");
  std::vector<std::string> args = ExecStartArgs(unit, "--listen 127.0.0.1 --port 0");
  ASSERT_GE(args.size(), 3u);
  for (std::string& arg : args) {
    if (arg.starts_with("/usr/")) arg = root + arg;
  }
  // A notify socket, as systemd gives a Type=notify service.
  const int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = work.Path() + "/notify";
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
  ASSERT_EQ(::bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  testsupport::ServerLaunch launch;
  launch.executable = args.front();
  launch.args.assign(args.begin() + 1, args.end());
  launch.extraEnv = {"NOTIFY_SOCKET=" + socketPath};
  testsupport::ServerProcess server(launch);
  ASSERT_TRUE(server.WaitUntilListening()) << server.StderrText();
  EXPECT_EQ(NextNotice(notify, 5s), "READY=1");

  const auto page = testsupport::HttpExchange(server.Port(), e2e::HttpGet("/test.app"));
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("Tallyhand Application Test page"), std::string::npos) << page->body;

  const std::string jpeg = tallyhand::testing::MakeJpeg(tallyhand::testing::JpegKind::Baseline);
  const auto uploaded = testsupport::HttpExchange(
      server.Port(), e2e::UploadRequest(e2e::ClockInQuery("7"), {e2e::JpegPart("packaged.jpg", jpeg)}), 30s);
  ASSERT_TRUE(uploaded);
  EXPECT_NE(uploaded->body.find(R"("error":"0")"), std::string::npos) << uploaded->body;
  std::string saved;
  for (const auto& entry : fs::directory_iterator(state + "/mobiletcimages")) saved = ReadText(entry.path());
  EXPECT_EQ(saved, jpeg);

  EXPECT_EQ(server.Stop(20s), 0);
  EXPECT_EQ(NextNotice(notify, 5s), "STOPPING=1");
  ::close(notify);

  // Removal keeps the site; purge removes it.
  ASSERT_EQ(RunCommand("DPKG_ROOT=" + root + " sh " + control + "/postrm remove").status, 0);
  EXPECT_TRUE(fs::exists(state + "/tallyhand.db"));
  ASSERT_EQ(RunCommand("DPKG_ROOT=" + root + " sh " + control + "/postrm purge").status, 0);
  EXPECT_FALSE(fs::exists(state));
  EXPECT_FALSE(fs::exists(root + "/var/log/tallyhand"));
}

}  // namespace
}  // namespace tallyhand::package
