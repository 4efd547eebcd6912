// The bridge between the host's control block and the web module's request and
// response.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "extension/web_request.h"
#include "extension/web_response.h"
#include "isapi/httpext.h"

namespace tallyhand {

class IsapiRequestSource : public RequestSource {
 public:
  explicit IsapiRequestSource(EXTENSION_CONTROL_BLOCK* ecb) : ecb_(ecb) {}

  std::string_view Method() const override { return Text(ecb_->lpszMethod); }
  std::string_view QueryString() const override { return Text(ecb_->lpszQueryString); }
  std::string_view PathInfo() const override { return Text(ecb_->lpszPathInfo); }
  std::string_view ContentType() const override { return Text(ecb_->lpszContentType); }
  uint64_t ContentLength() const override { return ecb_->cbTotalBytes; }
  // The bytes the host read ahead, then the rest through ReadClient. Raises when the
  // client delivers fewer bytes than it announced.
  std::string_view Body() override;

 private:
  static std::string_view Text(const char* text) { return text ? std::string_view(text) : ""; }

  EXTENSION_CONTROL_BLOCK* ecb_;
  bool bodyRead_ = false;
  std::unique_ptr<char[]> body_;
  size_t bodySize_ = 0;
};

// Sends the response: status line, "text/html" with Content-Length, and the content in
// Windows-1252.
void SendResponse(EXTENSION_CONTROL_BLOCK* ecb, const TWebResponse& response);
void SendHostErrorPage(EXTENSION_CONTROL_BLOCK* ecb, const HostErrorPage& page);

}  // namespace tallyhand
