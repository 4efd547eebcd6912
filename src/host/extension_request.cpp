#include "host/extension_request.h"

#include <algorithm>
#include <cstring>

namespace tallyhand::host {
namespace {

std::string_view View(boost::beast::string_view text) { return {text.data(), text.size()}; }

}  // namespace

ExtensionRequest::ExtensionRequest(Owner& owner, std::string_view mountPrefix, uint32_t readAhead)
    : owner_(owner), mountPrefix_(mountPrefix), readAhead_(readAhead) {
  facts_.mountPrefix = mountPrefix_;
}

void ExtensionRequest::SetEndpoints(const boost::asio::ip::tcp::endpoint& local,
                                    const boost::asio::ip::tcp::endpoint& remote, bool secure) {
  facts_.local = local;
  facts_.remote = remote;
  facts_.secure = secure;
}

void ExtensionRequest::Prepare(const HttpRequest& request, std::string_view path,
                               std::string_view pathInfo, std::string_view query) {
  method_.assign(View(request.method_string()));
  query_.assign(query);
  pathInfo_.assign(pathInfo);
  contentType_.assign(View(request[boost::beast::http::field::content_type]));
  const std::string& body = request.body();
  body_ = reinterpret_cast<const unsigned char*>(body.data());
  bodySize_ = body.size();
  uint32_t available = static_cast<uint32_t>(std::min<uint64_t>(readAhead_, bodySize_));
  bodyOffset_ = available;

  facts_.request = &request;
  facts_.path = path;
  facts_.pathInfo = pathInfo_;
  facts_.query = query_;
  facts_.contentLength = bodySize_;

  ecb_ = EXTENSION_CONTROL_BLOCK{};
  ecb_.cbSize = sizeof(EXTENSION_CONTROL_BLOCK);
  ecb_.dwVersion = HSE_MAKE_VERSION(HSE_VERSION_MAJOR, HSE_VERSION_MINOR);
  ecb_.ConnID = this;
  ecb_.dwHttpStatusCode = 200;
  ecb_.lpszMethod = method_.data();
  ecb_.lpszQueryString = query_.data();
  ecb_.lpszPathInfo = pathInfo_.data();
  ecb_.lpszPathTranslated = pathTranslated_;
  // The body size is bounded well below 4 GiB by the host's body limit.
  ecb_.cbTotalBytes = static_cast<DWORD>(bodySize_);
  ecb_.cbAvailable = available;
  // The extension never writes through lpbData; the ABI merely lacks const.
  ecb_.lpbData = const_cast<unsigned char*>(body_);
  ecb_.lpszContentType = contentType_.data();
  ecb_.GetServerVariable = &GetServerVariableCall;
  ecb_.WriteClient = &WriteClientCall;
  ecb_.ReadClient = &ReadClientCall;
  ecb_.ServerSupportFunction = &ServerSupportFunctionCall;

  output_.clear();
  headerSent_ = false;
  headerRepeated_ = false;
  headerEnd_ = 0;
  framing_ = ResponseFraming{};
  finished_.store(false, std::memory_order_release);
}

void ExtensionRequest::Clear() {
  facts_.request = nullptr;
  body_ = nullptr;
  bodySize_ = 0;
  bodyOffset_ = 0;
  output_.clear();
  headerSent_ = false;
  headerRepeated_ = false;
  headerEnd_ = 0;
}

ExtensionRequest* ExtensionRequest::FromConnection(HCONN conn) {
  return static_cast<ExtensionRequest*>(conn);
}

BOOL ExtensionRequest::GetServerVariableCall(HCONN conn, LPSTR name, LPVOID buffer, LPDWORD size) {
  ExtensionRequest* self = FromConnection(conn);
  if (self == nullptr || name == nullptr || size == nullptr) return 0;
  std::string value;
  if (!FindServerVariable(name, self->facts_, value)) return 0;
  if (value.size() >= UINT32_MAX) return 0;
  DWORD needed = static_cast<DWORD>(value.size() + 1);
  if (buffer == nullptr || *size < needed) {
    *size = needed;
    return 0;
  }
  std::memcpy(buffer, value.c_str(), needed);
  *size = needed;
  return 1;
}

BOOL ExtensionRequest::WriteClientCall(HCONN conn, LPVOID buffer, LPDWORD bytes, DWORD) {
  ExtensionRequest* self = FromConnection(conn);
  if (self == nullptr || bytes == nullptr) return 0;
  if (self->finished_.load(std::memory_order_acquire)) return 0;
  if (*bytes == 0) return 1;
  if (buffer == nullptr) return 0;
  self->output_.append(static_cast<const char*>(buffer), *bytes);
  return 1;
}

BOOL ExtensionRequest::ReadClientCall(HCONN conn, LPVOID buffer, LPDWORD size) {
  ExtensionRequest* self = FromConnection(conn);
  if (self == nullptr || size == nullptr) return 0;
  if (self->finished_.load(std::memory_order_acquire)) return 0;
  uint64_t remaining = self->bodySize_ - self->bodyOffset_;
  DWORD count = static_cast<DWORD>(std::min<uint64_t>(*size, remaining));
  if (count > 0) {
    if (buffer == nullptr) return 0;
    std::memcpy(buffer, self->body_ + self->bodyOffset_, count);
    self->bodyOffset_ += count;
  }
  *size = count;
  return 1;
}

BOOL ExtensionRequest::ServerSupportFunctionCall(HCONN conn, DWORD request, LPVOID buffer, LPDWORD,
                                                 LPDWORD dataType) {
  ExtensionRequest* self = FromConnection(conn);
  if (self == nullptr) return 0;
  switch (request) {
    case HSE_REQ_SEND_RESPONSE_HEADER: {
      if (self->finished_.load(std::memory_order_acquire)) return 0;
      // The ABI passes the header block through the data-type pointer.
      const char* headers = reinterpret_cast<const char*>(dataType);
      if (self->headerSent_) self->headerRepeated_ = true;
      if (!AppendResponseHeader(self->output_, static_cast<const char*>(buffer), headers,
                                self->framing_)) {
        return 0;
      }
      self->headerSent_ = true;
      self->headerEnd_ = self->output_.size();
      return 1;
    }
    case HSE_REQ_DONE_WITH_SESSION:
      if (self->ClaimFinish()) self->owner_.OnDoneWithSession();
      return 1;
    default:
      return 0;
  }
}

}  // namespace tallyhand::host
