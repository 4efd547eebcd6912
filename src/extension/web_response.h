// The response a web module builds for one request: status and text content. The
// content goes on the wire in Windows-1252 as "text/html" with its byte count.
#pragma once

#include <string>

namespace tallyhand {

struct TWebResponse {
  int StatusCode = 200;
  std::string Content;  // UTF-8 while it is built
};

// The host layer's answer to a failure outside the handlers.
struct HostErrorPage {
  std::string statusLine;  // "500 " + message, without line breaks
  std::string body;
};
HostErrorPage MakeHostErrorPage(std::string_view className, std::string_view message);

}  // namespace tallyhand
