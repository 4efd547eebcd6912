// The control block handed to the extension for one request, the storage it points to,
// and the four server operations it carries. One per connection, reused for each of its
// requests; it stays valid until the extension reports the request done.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "host/response_header.h"
#include "host/server_variables.h"
#include "isapi/httpext.h"

namespace tallyhand::host {

class ExtensionRequest {
 public:
  // Told, on the extension's thread, that the extension is done with the request.
  class Owner {
   public:
    virtual void OnDoneWithSession() = 0;

   protected:
    ~Owner() = default;
  };

  ExtensionRequest(Owner& owner, std::string_view mountPrefix, uint32_t readAhead);
  ExtensionRequest(const ExtensionRequest&) = delete;
  ExtensionRequest& operator=(const ExtensionRequest&) = delete;

  // secure: the connection speaks TLS.
  void SetEndpoints(const boost::asio::ip::tcp::endpoint& local,
                    const boost::asio::ip::tcp::endpoint& remote, bool secure);

  // Fills the control block for a request whose whole body has been read. The request
  // must stay unchanged until Clear.
  void Prepare(const HttpRequest& request, std::string_view path, std::string_view pathInfo,
               std::string_view query);
  EXTENSION_CONTROL_BLOCK* ControlBlock() { return &ecb_; }

  // Claims the end of the request: true for the first caller only, either the
  // extension's DONE_WITH_SESSION or the host after a synchronous answer.
  bool ClaimFinish() { return !finished_.exchange(true, std::memory_order_acq_rel); }

  // The raw HTTP the extension wrote, and what its header said about framing.
  std::string& Output() { return output_; }
  bool HeaderSent() const { return headerSent_; }
  // Output bytes up to the end of the header block (valid when HeaderSent).
  size_t HeaderEnd() const { return headerEnd_; }
  const ResponseFraming& Framing() const { return framing_; }
  // True when the extension sent its header more than once.
  bool HeaderRepeated() const { return headerRepeated_; }

  boost::asio::ip::address RemoteAddress() const { return facts_.remote.address(); }

  // Forgets the request; keeps the buffers' capacity for the next one.
  void Clear();

 private:
  static ExtensionRequest* FromConnection(HCONN conn);
  static BOOL GetServerVariableCall(HCONN conn, LPSTR name, LPVOID buffer, LPDWORD size);
  static BOOL WriteClientCall(HCONN conn, LPVOID buffer, LPDWORD bytes, DWORD flags);
  static BOOL ReadClientCall(HCONN conn, LPVOID buffer, LPDWORD size);
  static BOOL ServerSupportFunctionCall(HCONN conn, DWORD request, LPVOID buffer, LPDWORD size,
                                        LPDWORD dataType);

  Owner& owner_;
  const std::string_view mountPrefix_;
  const uint32_t readAhead_;
  EXTENSION_CONTROL_BLOCK ecb_{};
  RequestFacts facts_;
  // Zero-terminated copies of the texts the control block points to.
  std::string method_;
  std::string query_;
  std::string pathInfo_;
  std::string contentType_;
  char pathTranslated_[1] = {'\0'};
  // Body handed out so far by ReadClient, beyond the first cbAvailable bytes.
  const unsigned char* body_ = nullptr;
  uint64_t bodySize_ = 0;
  uint64_t bodyOffset_ = 0;

  std::string output_;
  bool headerSent_ = false;
  bool headerRepeated_ = false;
  size_t headerEnd_ = 0;
  ResponseFraming framing_;
  std::atomic<bool> finished_{true};
};

}  // namespace tallyhand::host
