#include "extension/web_response.h"

namespace tallyhand {

HostErrorPage MakeHostErrorPage(std::string_view className, std::string_view message) {
  HostErrorPage page;
  // A message may carry line breaks (from a database, say); in a status line they
  // would end the header early and let the message forge headers.
  page.statusLine = "500 ";
  for (char c : message) page.statusLine += (c == '\r' || c == '\n') ? ' ' : c;
  page.body = "<html><title>Internal Server Error 500</title>\r\n"
              "<h1>Internal Server Error 500</h1><hr>\r\n"
              "Exception: ";
  page.body.append(className);
  page.body += "<br>\r\nMessage: ";
  page.body.append(message);
  page.body += "<br></html>\r\n";
  return page;
}

}  // namespace tallyhand
