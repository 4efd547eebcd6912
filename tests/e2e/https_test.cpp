// The app's traffic over HTTPS: sign-in, a call with the key alone and a picture upload,
// once on the server's own TLS listener and once through Debian's nginx terminating TLS
// in front of the plain server with the example site configuration of deploy/nginx/.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "e2e/client_exchange.h"
#include "e2e/upload_fixture.h"
#include "support/jpeg_samples.h"
#include "support/test_certificates.h"
#include "support/tls_client.h"

namespace tallyhand::e2e {
namespace {

using namespace std::chrono_literals;
using testsupport::HttpResponse;
using testsupport::TlsConnection;
using testsupport::TlsOptions;

constexpr std::string_view kNginx = "/usr/sbin/nginx";
constexpr std::string_view kJsmith =
    R"("AuthUser":"jsmith","AuthPass":"secret","AuthComp":"Acme Builders")";
constexpr std::string_view kListReports =
    "EXECUTE PROCEDURE nvm_DailyReportRecord_List('_userID_', '', 0)";
constexpr std::string_view kReportsOf42 =
    R"([{"PMID":"1","Job":"JOB 1","WorkDate":"2020-02-13","Notes":"Foundation poured"},)"
    R"({"PMID":"2","Job":"JOB 2","WorkDate":"2020-02-14","Notes":"Framing"}])";

uint16_t FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

// One request on a fresh TLS connection that verifies the server against the test root.
std::optional<HttpResponse> Exchange(uint16_t port, const std::string& request, const std::string& root) {
  TlsOptions options;
  options.trustFile = root;
  options.verifyHost = "localhost";
  TlsConnection connection(port, options, 20s);
  EXPECT_TRUE(connection.Handshaken()) << connection.HandshakeError();
  if (!connection.Handshaken() || !connection.Send(request)) return std::nullopt;
  return connection.ReadResponse(30s);
}

// Sign-in, a keyed call and an upload with the key, each over its own TLS connection.
void ExpectTheAppsTrafficServed(UploadSite& site, uint16_t port, const std::string& root) {
  const auto signedIn = Exchange(
      port, HttpPost(kClientRequestPath, AppForm(R"({"RID":"1",)" + std::string(kJsmith) +
                                                 R"(,"ReqMethod":"checkLogin"})")),
      root);
  ASSERT_TRUE(signedIn);
  const std::optional<std::string> key = KeyAnswered(signedIn->body, "1");
  ASSERT_TRUE(key) << signedIn->raw;

  const auto called = Exchange(port,
                               HttpPost(kClientRequestPath,
                                        AppForm(R"({"RID":"2","key":")" + *key +
                                                R"(","ReqMethod":")" + std::string(kListReports) + R"("})")),
                               root);
  ASSERT_TRUE(called);
  // nginx adds headers of its own: the status and the body are what must come through.
  EXPECT_EQ(called->status, 200);
  EXPECT_EQ(called->body, Framed(RowsEnvelope("2", kReportsOf42)));

  Query query = ClockInQuery("3");
  for (const char* credential : {"AuthUser", "AuthPass", "AuthComp"}) query = With(query, credential, std::nullopt);
  query = With(query, "key", *key);
  const std::string jpeg = tallyhand::testing::MakeJpeg(tallyhand::testing::JpegKind::Baseline, 640, 480);
  const auto uploaded = Exchange(port, UploadRequest(query, {JpegPart("over-tls.jpg", jpeg)}), root);
  ASSERT_TRUE(uploaded);
  EXPECT_EQ(uploaded->status, 200);
  EXPECT_NE(uploaded->body.find(R"("error":"0")"), std::string::npos) << uploaded->body;
  EXPECT_EQ(site.Picture("over-tls.jpg"), jpeg);
  EXPECT_EQ(site.PictureRows(), 1);
}

TEST(Https, TheAppsTrafficOverTheServersOwnTls) {
  testsupport::TestCertificates certificates;
  const auto chain = certificates.SignedChain("site");
  UploadSite site({});
  const uint16_t port =
      site.Start({"--tls-cert", chain.server.certificate, "--tls-key", chain.server.key});
  ASSERT_NE(port, 0);
  ExpectTheAppsTrafficServed(site, port, chain.root);
  // The test page, as a monitor would fetch it.
  const auto page = Exchange(port, HttpGet("/test.app"), chain.root);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  // Plain HTTP on the TLS port gets no answer.
  testsupport::HttpConnection plain(port);
  ASSERT_TRUE(plain.Send(HttpGet("/test.app")));
  EXPECT_TRUE(plain.ClosedByPeer(5s));
  EXPECT_EQ(plain.ReceivedBytes().find("HTTP/"), std::string::npos);
  site.StopAndExpectCleanExit();
}

// The example site configuration with its placeholders pointed at this test's
// certificate, a free port and the server.
std::string TestSiteConfiguration(const testsupport::CertificatePair& pair, uint16_t nginxPort,
                                  uint16_t serverPort) {
  std::ifstream in(std::string(TALLYHAND_SOURCE_DIR) + "/deploy/nginx/tallyhand.conf");
  std::stringstream text;
  text << in.rdbuf();
  std::string config = text.str();
  const auto replace = [&config](const std::string& from, const std::string& to) {
    const size_t at = config.find(from);
    EXPECT_NE(at, std::string::npos) << "the example configuration lost \"" << from << "\"";
    if (at != std::string::npos) config.replace(at, from.size(), to);
  };
  replace("listen 443 ssl;", "listen 127.0.0.1:" + std::to_string(nginxPort) + " ssl;");
  replace("listen [::]:443 ssl;", "");
  replace("/etc/tallyhand/tls/fullchain.pem", pair.certificate);
  replace("/etc/tallyhand/tls/privkey.pem", pair.key);
  replace("server 127.0.0.1:8080;", "server 127.0.0.1:" + std::to_string(serverPort) + ";");
  return config;
}

TEST(Https, TheAppsTrafficThroughNginxTerminatingTls) {
  ASSERT_TRUE(std::filesystem::exists(kNginx)) << "nginx is needed (scripts/install-deps.sh)";
  testsupport::TestCertificates certificates;
  const auto chain = certificates.SignedChain("site");
  UploadSite site({});
  const uint16_t serverPort = site.Start();
  ASSERT_NE(serverPort, 0);

  const std::string folder = site.Site().Root() + "nginx/";
  std::filesystem::create_directories(folder + "temp");
  const uint16_t nginxPort = FreePort();
  std::ofstream(folder + "site.conf") << TestSiteConfiguration(chain.server, nginxPort, serverPort);
  // One process, so that nothing changes user and the temporary files stay this test's.
  std::ofstream(folder + "nginx.conf")
      << "daemon off;\nmaster_process off;\npid " << folder << "nginx.pid;\nerror_log " << folder
      << "error.log;\nevents { worker_connections 256; }\nhttp {\n  access_log off;\n"
      << "  client_body_temp_path " << folder << "temp/body;\n  proxy_temp_path " << folder
      << "temp/proxy;\n  fastcgi_temp_path " << folder << "temp/fastcgi;\n  uwsgi_temp_path " << folder
      << "temp/uwsgi;\n  scgi_temp_path " << folder << "temp/scgi;\n  include " << folder
      << "site.conf;\n}\n";
  testsupport::ServerLaunch launch;
  launch.executable = std::string(kNginx);
  launch.args = {"-p", folder, "-c", folder + "nginx.conf", "-e", folder + "error.log"};
  testsupport::ServerProcess nginx(launch);
  bool up = false;
  for (int i = 0; i < 200 && !up; ++i) {
    up = testsupport::HttpConnection(nginxPort).Connected();
    if (!up) std::this_thread::sleep_for(25ms);
  }
  std::ifstream log(folder + "error.log");
  std::stringstream logText;
  logText << log.rdbuf();
  ASSERT_TRUE(up) << "nginx did not start: " << nginx.StderrText() << logText.str();

  ExpectTheAppsTrafficServed(site, nginxPort, chain.root);
  nginx.Stop(10s);
  site.StopAndExpectCleanExit();
}

}  // namespace
}  // namespace tallyhand::e2e
