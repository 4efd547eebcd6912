// One client connection: reads each request whole, hands it to the extension, and writes
// what the extension answered. Every step runs on the connection's strand, except the
// answer to a request the extension finished on its own thread: that thread sends it
// and starts reading the next request, while the connection has nothing else pending.
//
// The session speaks HTTP over either kind of stream (session_stream.h). The few steps
// that differ between them (how a connection begins, how an answer is sent without
// waiting, how the stream is ended) are specialised per stream in a file of their own.
#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include "host/access_log.h"
#include "host/action_table.h"
#include "host/beast_http.h"
#include "host/connection_registry.h"
#include "host/extension_module.h"
#include "host/extension_request.h"
#include "host/host_answers.h"
#include "host/request_target.h"
#include "host/server_state.h"
#include "host/session_stream.h"
#include "host/settings.h"

namespace tallyhand::host {

// What every connection shares with the server; outlives every connection.
struct HostContext {
  const Settings& settings;
  ServerState& state;
  const ExtensionModule& module;
  AccessLog* accessLog;  // null: no access log
  const ActionTable& actions;
};

template <class Stream>
class HttpSession final : public std::enable_shared_from_this<HttpSession<Stream>>,
                          private ExtensionRequest::Owner,
                          private ConnectionRegistry::Connection {
 public:
  // The stream's executor must be a strand; the connection was already counted open.
  HttpSession(Stream&& stream, const HostContext& host);
  ~HttpSession();
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  void Start();

 private:
  using RequestParser = boost::beast::http::request_parser<boost::beast::http::string_body>;

  void CloseIfIdle() override;
  void OnServerStop();
  // Waiting for a request of which nothing has arrived.
  bool Idle();
  // Per stream: what comes before the first request (then ReadRequest).
  void Begin();
  // TLS only: the handshake has ended.
  void OnHandshake(boost::beast::error_code ec);
  void ReadRequest();
  void ReadHeader();
  void OnHeaderRead(boost::beast::error_code ec, std::size_t bytes);
  void OnHeader();
  void SendContinue();
  void OnContinueSent(boost::beast::error_code ec, std::size_t bytes);
  void ReadBody();
  void OnBodyRead(boost::beast::error_code ec, std::size_t bytes);
  void OnReadFailed(boost::beast::error_code ec);
  bool ReserveBody(uint64_t bytes);

  void CallExtension();
  void OnDoneWithSession() override;
  void SendExtensionOutput();
  // Per stream: sends what the connection takes at once; the count of bytes sent.
  std::size_t SendWithoutWaiting(std::string_view bytes);
  void OnResponseWritten(boost::beast::error_code ec, std::size_t bytes);

  void SendHostAnswer(HostAnswer answer);
  void OnHostAnswerWritten(boost::beast::error_code ec, std::size_t bytes);
  void LingeringClose();
  // Closes a connection whose stream is sound, ending its framing first.
  void Close();
  void CloseAfterFailure();
  // Per stream: ends the stream's own framing, then drains the input (linger) or
  // shuts the sending side of the socket (otherwise).
  void EndStream(bool linger);
  bool ShutdownSend();
  void DrainInput();
  void ReadLingering();
  void OnLingeringRead(boost::beast::error_code ec, std::size_t bytes);

  // Counts the answer in the request figures and writes its access log line.
  void RecordAnswer(unsigned status, uint64_t bytes);
  void MarkRequestStart();
  // A timeout or failure of the stream, counted when it cut a request short.
  void OnStreamFailed(boost::beast::error_code ec);
  void ReleaseBody();
  void FinishRequest();

  boost::beast::tcp_stream& TcpLayer() { return boost::beast::get_lowest_layer(stream_); }
  // A completion handler calling that member; it keeps the session alive until it runs.
  template <class Member>
  auto Handler(Member member) {
    return boost::beast::bind_front_handler(member, this->shared_from_this());
  }

  const HostContext host_;
  Stream stream_;
  const boost::asio::any_io_executor executor_;
  boost::beast::flat_buffer buffer_;
  std::optional<RequestParser> parser_;
  RequestTarget target_;
  std::string_view pathInfo_;
  ExtensionRequest call_;
  // Keeps the connection alive while the extension holds its control block.
  std::shared_ptr<HttpSession> pendingSelf_;
  std::chrono::steady_clock::time_point requestStart_;
  // The action serving the current request's path (0: none).
  std::size_t action_ = 0;
  bool requestStarted_ = false;
  // The header was read whole but refused for the body it declared.
  bool headerRefused_ = false;
  uint64_t reservedBody_ = 0;
  uint64_t lingeringBytes_ = 0;
  bool requestActive_ = false;
  bool firstRequest_ = true;
  bool awaitingFirstByte_ = false;
  // Waiting for the first bytes of a request (the read may have taken some already).
  bool waitingForRequest_ = false;
  bool extensionFailed_ = false;
  bool keepAlive_ = false;
};

template <>
void HttpSession<PlainStream>::Begin();
template <>
std::size_t HttpSession<PlainStream>::SendWithoutWaiting(std::string_view bytes);
template <>
void HttpSession<PlainStream>::EndStream(bool linger);

template <>
void HttpSession<TlsStream>::Begin();
template <>
void HttpSession<TlsStream>::OnHandshake(boost::beast::error_code ec);
template <>
std::size_t HttpSession<TlsStream>::SendWithoutWaiting(std::string_view bytes);
template <>
void HttpSession<TlsStream>::EndStream(bool linger);

extern template class HttpSession<PlainStream>;
extern template class HttpSession<TlsStream>;

// Gives an accepted connection a plain HTTP session.
void StartPlainSession(boost::asio::ip::tcp::socket&& socket, const HostContext& host);
// Gives an accepted connection an HTTPS session on the certificates' current context.
void StartTlsSession(boost::asio::ip::tcp::socket&& socket, const HostContext& host,
                     const TlsCertificates& certificates);

}  // namespace tallyhand::host
