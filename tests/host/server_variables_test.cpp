// What the extension learns of a request: control-block fields, server variables, and
// the path info left after the mount prefix.
#include <gtest/gtest.h>

#include "minimal_server.h"

namespace tallyhand::testsupport {
namespace {

std::string EchoTarget(const std::string& path, const std::vector<std::string>& variables,
                       const std::string& extraQuery = "") {
  std::string query = extraQuery;
  for (const std::string& name : variables) query += (query.empty() ? "var=" : "&var=") + name;
  return path + "?" + query;
}

TEST(ServerVariables, DescribeTheRequest) {
  MinimalServer server;
  ASSERT_TRUE(server.Listening()) << server.process.StderrText();
  std::string port = std::to_string(server.Port());
  std::string target = EchoTarget(
      "/echo/a%20b",
      {"REQUEST_METHOD", "QUERY_STRING", "PATH_INFO", "SCRIPT_NAME", "URL", "CONTENT_TYPE",
       "CONTENT_LENGTH", "SERVER_NAME", "SERVER_PORT", "SERVER_PROTOCOL", "REMOTE_ADDR",
       "HTTP_X_CUSTOM_HEADER", "http_user_agent", "HTTP_MISSING", "NO_SUCH_VARIABLE", "HTTPS",
       "SERVER_PORT_SECURE"},
      "q=%41+b");
  std::string request = "PUT " + target +
                        " HTTP/1.1\r\nHost: example.org:8080\r\nUser-Agent: probe/1\r\n"
                        "X-Custom-Header: abc\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n\r\nxyz";
  auto response = HttpExchange(server.Port(), request);
  ASSERT_TRUE(response);
  EchoReport report = ParseEcho(response->body);
  std::string query = target.substr(target.find('?') + 1);
  const std::string expected[] = {
      "method: PUT",
      "path-info: /echo/a%20b",
      "query: " + query,
      "content-type: text/plain",
      "REQUEST_METHOD=PUT",
      "QUERY_STRING=" + query,
      "PATH_INFO=/echo/a%20b",
      "SCRIPT_NAME=",
      "URL=/echo/a%20b",
      "CONTENT_TYPE=text/plain",
      "CONTENT_LENGTH=3",
      "SERVER_NAME=example.org",
      "SERVER_PORT=" + port,
      "SERVER_PROTOCOL=HTTP/1.1",
      "REMOTE_ADDR=127.0.0.1",
      "HTTP_X_CUSTOM_HEADER=abc",
      "http_user_agent=probe/1",
      "HTTP_MISSING (unknown)",
      "NO_SUCH_VARIABLE (unknown)",
      "HTTPS=off",
      "SERVER_PORT_SECURE=0",
  };
  for (const std::string& line : expected) EXPECT_TRUE(report.Has(line)) << line << "\n" << report.fields;
  EXPECT_EQ(report.body, "xyz");
}

TEST(ServerVariables, RawAndHttpHeaderListsKeepEveryHeader) {
  MinimalServer server;
  ASSERT_TRUE(server.Listening()) << server.process.StderrText();
  std::string longValue(5000, 'v');
  auto response = HttpExchange(
      server.Port(), "GET " + EchoTarget("/echo", {"ALL_RAW", "ALL_HTTP", "HTTP_X_LONG"}) +
                         " HTTP/1.1\r\nHost: h\r\nX-Long: " + longValue + "\r\nAccept-Language: de\r\n\r\n");
  ASSERT_TRUE(response);
  const std::string& body = response->body;
  EXPECT_NE(body.find("ALL_RAW=Host: h\r\nX-Long: " + longValue + "\r\nAccept-Language: de\r\n\n"),
            std::string::npos);
  EXPECT_NE(body.find("ALL_HTTP=HTTP_HOST:h\nHTTP_X_LONG:" + longValue + "\nHTTP_ACCEPT_LANGUAGE:de\n\n"),
            std::string::npos);
  EXPECT_NE(body.find("HTTP_X_LONG=" + longValue + "\n"), std::string::npos);
}

TEST(MountPrefix, SelectsRequestsAndGivesThePathInfo) {
  MinimalServer server({"--mount", "/bin/Tallyhand_az.dll"});
  ASSERT_TRUE(server.Listening()) << server.process.StderrText();
  struct Case {
    std::string target;
    int status;
    std::string pathInfo;  // empty: not an echo
  };
  const Case cases[] = {
      {"/bin/Tallyhand_az.dll/echo", 200, "/echo"},
      {"/BIN/tallyhand_AZ.DLL/echo/x?y=1", 200, "/echo/x"},
      {"/bin/Tallyhand_az.dll/test.app", 200, ""},
      {"/bin/Tallyhand_az.dll", 200, ""},
      {"/bin/Tallyhand_az.dllx/echo", 404, ""},
      {"/bin/Tallyhand_az.dl", 404, ""},
      {"/echo", 404, ""},
      {"/", 404, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    auto response = HttpExchange(server.Port(), Get(c.target + (c.target.find('?') == std::string::npos
                                                                    ? "?var=SCRIPT_NAME"
                                                                    : "&var=SCRIPT_NAME")));
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, c.status);
    if (!c.pathInfo.empty()) {
      EchoReport report = ParseEcho(response->body);
      EXPECT_TRUE(report.Has("path-info: " + c.pathInfo)) << report.fields;
      EXPECT_TRUE(report.Has("SCRIPT_NAME=/bin/Tallyhand_az.dll")) << report.fields;
    }
  }
}

}  // namespace
}  // namespace tallyhand::testsupport
