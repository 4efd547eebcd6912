#include "extension/isapi_request.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/codepage.h"
#include "platform/exception.h"

namespace tallyhand {
namespace {

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 500: return "Internal Server Error";
    default: return "Unknown";
  }
}

void Send(EXTENSION_CONTROL_BLOCK* ecb, std::string statusLine, const std::string& body) {
  std::string headers = "Content-Type: text/html\r\nContent-Length: " +
                        std::to_string(body.size()) + "\r\n\r\n";
  DWORD statusSize = static_cast<DWORD>(statusLine.size());
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, statusLine.data(),
                             &statusSize, reinterpret_cast<LPDWORD>(headers.data()));
  DWORD bodySize = static_cast<DWORD>(body.size());
  if (bodySize > 0) {
    ecb->WriteClient(ecb->ConnID, const_cast<char*>(body.data()), &bodySize, HSE_IO_SYNC);
  }
}

}  // namespace

std::string_view IsapiRequestSource::Body() {
  if (bodyRead_) return {body_.get(), bodySize_};
  bodyRead_ = true;
  const size_t total = ecb_->cbTotalBytes;
  const size_t available = std::min<size_t>(ecb_->cbAvailable, total);
  // Every byte is written below before it is read: no zero fill of a large upload first.
  body_ = std::make_unique_for_overwrite<char[]>(total);
  if (available > 0) std::memcpy(body_.get(), ecb_->lpbData, available);
  size_t have = available;
  while (have < total) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(total - have, 1 << 20));
    const DWORD asked = chunk;
    if (!ecb_->ReadClient(ecb_->ConnID, body_.get() + have, &chunk) || chunk == 0 ||
        chunk > asked) {
      bodySize_ = have;
      throw EInOutError("The client sent fewer bytes than its Content-Length announced");
    }
    have += chunk;
  }
  bodySize_ = have;
  return {body_.get(), bodySize_};
}

void SendResponse(EXTENSION_CONTROL_BLOCK* ecb, const TWebResponse& response) {
  ecb->dwHttpStatusCode = static_cast<DWORD>(response.StatusCode);
  Send(ecb, std::to_string(response.StatusCode) + " " + ReasonPhrase(response.StatusCode),
       Utf8ToCp1252(response.Content));
}

void SendHostErrorPage(EXTENSION_CONTROL_BLOCK* ecb, const HostErrorPage& page) {
  ecb->dwHttpStatusCode = 500;
  Send(ecb, Utf8ToCp1252(page.statusLine), Utf8ToCp1252(page.body));
}

}  // namespace tallyhand
