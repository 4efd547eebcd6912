// The status line and header block an extension sends with HSE_REQ_SEND_RESPONSE_HEADER,
// and what they say about how the response is framed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tallyhand::host {

struct ResponseFraming {
  unsigned statusCode = 200;
  // A single valid Content-Length and no Transfer-Encoding: the end of the body is known,
  // so the connection can carry another request.
  bool lengthKnown = false;
  uint64_t contentLength = 0;
  bool connectionClose = false;
};

// Appends "HTTP/1.1 " + status (default "200 OK") + CRLF + headers, ending the block with
// an empty line when the extension left it out. Refuses (false, nothing appended) a
// status text holding a line break, which would split the response.
bool AppendResponseHeader(std::string& out, const char* status, const char* headers,
                          ResponseFraming& framing);

// Reads Content-Length, Transfer-Encoding and Connection from a header block.
ResponseFraming ReadResponseFraming(std::string_view status, std::string_view headers);

}  // namespace tallyhand::host
