#include "host/http_session.h"

#include <algorithm>
#include <charconv>
#include <type_traits>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

namespace tallyhand::host {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

namespace {

constexpr std::size_t kLingeringChunk = 4096;
// Beast reads no more than the read buffer's free room, at least 512 bytes; a buffer
// sized for a header would take a large body half a kilobyte at a time, a read, a
// timer reset and a handler each. A body read gets up to this much room.
constexpr std::size_t kBodyReadRoom = 64 * 1024;
// The status a request closed without an answer is counted and logged under.
constexpr unsigned kUnansweredStatus = 444;

std::string_view View(beast::string_view text) { return {text.data(), text.size()}; }

bool IsExpectContinue(std::string_view value) {
  constexpr std::string_view kContinue = "100-continue";
  if (value.size() != kContinue.size()) return false;
  for (size_t i = 0; i < value.size(); ++i) {
    char c = value[i] >= 'A' && value[i] <= 'Z' ? static_cast<char>(value[i] + 32) : value[i];
    if (c != kContinue[i]) return false;
  }
  return true;
}

// The Content-Length of a request that is not chunked (0 when absent); the parser has
// already refused a malformed one.
uint64_t DeclaredBodyLength(const HttpRequest& request) {
  std::string_view text = View(request[http::field::content_length]);
  uint64_t length = 0;
  std::from_chars(text.data(), text.data() + text.size(), length);
  return length;
}

const boost::system::error_category& HttpErrorCategory() {
  return http::make_error_code(http::error::end_of_stream).category();
}

}  // namespace

template <class Stream>
HttpSession<Stream>::HttpSession(Stream&& stream, const HostContext& host)
    : host_(host),
      stream_(std::move(stream)),
      executor_(stream_.get_executor()),
      call_(*this, host.settings.mountPrefix, host.settings.readAhead) {
  beast::error_code ec;
  tcp::endpoint local = TcpLayer().socket().local_endpoint(ec);
  tcp::endpoint remote = TcpLayer().socket().remote_endpoint(ec);
  call_.SetEndpoints(local, remote, std::is_same_v<Stream, TlsStream>);
  // Responses leave in one write; waiting to coalesce them only adds latency.
  TcpLayer().socket().set_option(tcp::no_delay(true), ec);
}

template <class Stream>
HttpSession<Stream>::~HttpSession() {
  FinishRequest();
  host_.state.Connections().Remove(this);
  host_.state.CloseConnection();
}

template <class Stream>
void HttpSession<Stream>::Start() {
  // The aliasing form shares ownership with the session while pointing at its base.
  std::shared_ptr<ConnectionRegistry::Connection> registered(this->shared_from_this(), this);
  host_.state.Connections().Add(this, registered);
  net::dispatch(executor_, Handler(&HttpSession::Begin));
}

template <class Stream>
void HttpSession<Stream>::CloseIfIdle() {
  net::post(executor_, [self = this->shared_from_this()] { self->OnServerStop(); });
}

template <class Stream>
bool HttpSession<Stream>::Idle() {
  beast::error_code ec;
  // Bytes already received are a request that crossed the stop: it is answered.
  return waitingForRequest_ && buffer_.size() == 0 && TcpLayer().socket().available(ec) == 0;
}

template <class Stream>
void HttpSession<Stream>::OnServerStop() {
  if (!Idle()) return;
  // The pending read ends and, with it, the connection.
  if (!firstRequest_) return TcpLayer().cancel();
  // A new connection's first request may still be on its way.
  auto grace = std::make_shared<net::steady_timer>(executor_, host_.settings.firstRequestGraceAtStop);
  grace->async_wait([self = this->shared_from_this(), grace](beast::error_code ec) {
    if (!ec && self->Idle()) self->TcpLayer().cancel();
  });
}

template <class Stream>
void HttpSession<Stream>::ReadRequest() {
  // During a stop a kept-alive connection closes after its answer, unless the client
  // has already sent its next request.
  if (!firstRequest_ && buffer_.size() == 0 && host_.state.Stopping()) return Close();
  waitingForRequest_ = buffer_.size() == 0;
  // The room a body read widened goes back while the connection waits (no read is
  // pending here); bytes of a pipelined request stay.
  if (buffer_.capacity() > kBodyReadRoom / 2) buffer_.shrink_to_fit();
  action_ = 0;
  requestStarted_ = false;
  headerRefused_ = false;
  // The next request's bytes are here already (pipelined): it starts now.
  if (buffer_.size() > 0) MarkRequestStart();
  // A new parser per message: its limits and state start afresh.
  parser_.emplace();
  parser_->header_limit(host_.settings.headerLimit);
  parser_->body_limit(host_.settings.maxBody);
  awaitingFirstByte_ = buffer_.size() == 0;
  // A kept-alive connection may wait for its next request up to the idle timeout; once
  // a request has begun (and for a connection's first request) the header timeout holds.
  TcpLayer().expires_after(firstRequest_ || !awaitingFirstByte_ ? host_.settings.headerTimeout
                                                                : host_.settings.idleTimeout);
  ReadHeader();
}

template <class Stream>
void HttpSession<Stream>::ReadHeader() {
  http::async_read_some(stream_, buffer_, *parser_, Handler(&HttpSession::OnHeaderRead));
}

template <class Stream>
void HttpSession<Stream>::OnHeaderRead(beast::error_code ec, std::size_t) {
  waitingForRequest_ = false;
  if (ec) return OnReadFailed(ec);
  MarkRequestStart();
  if (!parser_->is_header_done()) {
    if (awaitingFirstByte_) {
      awaitingFirstByte_ = false;
      TcpLayer().expires_after(host_.settings.headerTimeout);
    }
    return ReadHeader();
  }
  OnHeader();
}

template <class Stream>
void HttpSession<Stream>::OnHeader() {
  host_.state.BeginRequest();
  requestActive_ = true;
  const auto& request = parser_->get();
  target_ = SplitRequestTarget(View(request.target()));
  std::optional<std::string_view> pathInfo = PathInfoUnderMount(target_.path, host_.settings.mountPrefix);
  if (!pathInfo) return SendHostAnswer(HostAnswer::NotFound);
  pathInfo_ = *pathInfo;
  action_ = host_.actions.ActionOf(pathInfo_);
  // A declared length is reserved whole, since the body storage is sized to it at once.
  if (!parser_->chunked() && !ReserveBody(DeclaredBodyLength(request))) {
    host_.state.Figures().CountRefusal(Refusal::BodyBufferFull);
    return SendHostAnswer(HostAnswer::ServiceUnavailable);
  }
  if (parser_->is_done()) return CallExtension();
  parser_->eager(true);
  if (request.version() >= 11 && IsExpectContinue(View(request[http::field::expect]))) {
    return SendContinue();
  }
  ReadBody();
}

template <class Stream>
void HttpSession<Stream>::SendContinue() {
  TcpLayer().expires_after(host_.settings.sendTimeout);
  net::async_write(stream_, net::buffer(kContinueAnswer.data(), kContinueAnswer.size()),
                   Handler(&HttpSession::OnContinueSent));
}

template <class Stream>
void HttpSession<Stream>::OnContinueSent(beast::error_code ec, std::size_t) {
  if (ec) return OnStreamFailed(ec);
  ReadBody();
}

template <class Stream>
void HttpSession<Stream>::ReadBody() {
  // The body timeout bounds the wait between two reads, not the whole upload.
  TcpLayer().expires_after(host_.settings.bodyTimeout);
  if (const auto remaining = parser_->content_length_remaining()) {
    const std::size_t room =
        static_cast<std::size_t>(std::min<uint64_t>(*remaining, kBodyReadRoom));
    if (buffer_.capacity() - buffer_.size() < room) buffer_.reserve(buffer_.size() + room);
  }
  http::async_read_some(stream_, buffer_, *parser_, Handler(&HttpSession::OnBodyRead));
}

template <class Stream>
void HttpSession<Stream>::OnBodyRead(beast::error_code ec, std::size_t) {
  if (ec) return OnReadFailed(ec);
  if (parser_->chunked()) {
    // A chunked body has no declared size: its bytes are reserved as they arrive.
    uint64_t held = parser_->get().body().size();
    if (held > reservedBody_ && !ReserveBody(held - reservedBody_)) {
      host_.state.Figures().CountRefusal(Refusal::BodyBufferFull);
      return SendHostAnswer(HostAnswer::ServiceUnavailable);
    }
  }
  if (!parser_->is_done()) return ReadBody();
  CallExtension();
}

template <class Stream>
void HttpSession<Stream>::OnReadFailed(beast::error_code ec) {
  if (ec == http::error::header_limit) {
    host_.state.Figures().CountRefusal(Refusal::HeaderTooLarge);
    return SendHostAnswer(HostAnswer::HeaderTooLarge);
  }
  if (ec == http::error::body_limit) {
    // Refused once the header declared too long a body, its fields all read: counted
    // and logged under the action its path names.
    headerRefused_ = true;
    const RequestTarget target = SplitRequestTarget(View(parser_->get().target()));
    if (auto pathInfo = PathInfoUnderMount(target.path, host_.settings.mountPrefix)) {
      action_ = host_.actions.ActionOf(*pathInfo);
    }
    host_.state.Figures().CountRefusal(Refusal::BodyTooLarge);
    return SendHostAnswer(HostAnswer::PayloadTooLarge);
  }
  if (ec.category() == HttpErrorCategory() && ec != http::error::end_of_stream &&
      ec != http::error::partial_message) {
    host_.state.Figures().CountRefusal(Refusal::BadRequest);
    return SendHostAnswer(HostAnswer::BadRequest);
  }
  // The client ended the connection between or within requests (over TLS, perhaps
  // without close_notify, which many clients leave out)...
  if (ec == http::error::end_of_stream || ec == http::error::partial_message ||
      ec == net::ssl::error::stream_truncated) {
    return Close();
  }
  // ...or went silent past a timeout, or the network failed.
  OnStreamFailed(ec);
}

template <class Stream>
void HttpSession<Stream>::OnStreamFailed(beast::error_code ec) {
  // A kept-alive connection whose client sent nothing more is simply done; any other
  // timeout cut a request (or a connection's first one) short.
  const bool idleEnded = awaitingFirstByte_ && !firstRequest_ && !requestActive_;
  if (ec == beast::error::timeout && !idleEnded) host_.state.Figures().CountRefusal(Refusal::Timeout);
  CloseAfterFailure();
}

template <class Stream>
bool HttpSession<Stream>::ReserveBody(uint64_t bytes) {
  if (!host_.state.TryReserveBody(bytes)) return false;
  reservedBody_ += bytes;
  return true;
}

template <class Stream>
void HttpSession<Stream>::CallExtension() {
  call_.Prepare(parser_->get(), target_.path, pathInfo_, target_.query);
  extensionFailed_ = false;
  pendingSelf_ = this->shared_from_this();
  DWORD status = HSE_STATUS_ERROR;
  try {
    status = host_.module.HttpExtensionProc(call_.ControlBlock());
  } catch (...) {
    // An exception must not cross the C boundary; one that does means the request was
    // not taken, so it ends unanswered.
    status = HSE_STATUS_ERROR;
  }
  if (status == HSE_STATUS_PENDING) return;
  // Answered on this thread. Should the extension also have reported the request done,
  // that report already queued the output on the strand.
  if (!call_.ClaimFinish()) return;
  pendingSelf_.reset();
  extensionFailed_ = status != HSE_STATUS_SUCCESS && status != HSE_STATUS_SUCCESS_AND_KEEP_CONN;
  SendExtensionOutput();
}

template <class Stream>
void HttpSession<Stream>::OnDoneWithSession() {
  // Runs on the extension's thread, which must never wait for the network. Nothing else
  // touches the connection until its answer is on the way: the request was read whole
  // before the extension was called, and no operation of the connection is pending. So
  // the answer is sent from here, without waking the network loop; only what the socket
  // cannot take at once is left to it.
  std::shared_ptr<HttpSession> self = std::move(pendingSelf_);
  self->SendExtensionOutput();
}

template <class Stream>
void HttpSession<Stream>::SendExtensionOutput() {
  // The extension is done with the body: its memory goes back before the answer leaves,
  // so a client that sends its next body at once finds the room free.
  ReleaseBody();
  std::string& output = call_.Output();
  if (output.empty()) {
    // An unanswered request: the connection closes without a byte. Counted and logged
    // as nginx logs a connection it closes unanswered.
    RecordAnswer(kUnansweredStatus, 0);
    FinishRequest();
    return Close();
  }
  const auto& request = parser_->get();
  const ResponseFraming& framing = call_.Framing();
  bool isHead = request.method() == http::verb::head;
  if (isHead && call_.HeaderSent()) output.resize(call_.HeaderEnd());
  // Another request may follow only when the client can find where this answer ends.
  bool framed = call_.HeaderSent() && !call_.HeaderRepeated() && framing.lengthKnown &&
                (isHead || output.size() - call_.HeaderEnd() == framing.contentLength);
  keepAlive_ = framed && !framing.connectionClose && request.keep_alive() && !extensionFailed_ &&
               !host_.state.Stopping();
  RecordAnswer(call_.HeaderSent() ? framing.statusCode : call_.ControlBlock()->dwHttpStatusCode,
               output.size());
  const std::size_t sent = SendWithoutWaiting(output);
  if (sent == output.size()) return OnResponseWritten({}, sent);
  // The rest waits for the socket; a failed send is reported by the write itself.
  TcpLayer().expires_after(host_.settings.sendTimeout);
  net::async_write(stream_, net::buffer(output.data() + sent, output.size() - sent),
                   Handler(&HttpSession::OnResponseWritten));
}

template <class Stream>
void HttpSession<Stream>::OnResponseWritten(beast::error_code ec, std::size_t) {
  FinishRequest();
  if (ec) return OnStreamFailed(ec);
  if (!keepAlive_) return Close();
  firstRequest_ = false;
  ReadRequest();
}

template <class Stream>
void HttpSession<Stream>::SendHostAnswer(HostAnswer answer) {
  keepAlive_ = false;
  ReleaseBody();
  std::string_view bytes = HostAnswerBytes(answer);
  RecordAnswer(HostAnswerStatus(answer), bytes.size());
  TcpLayer().expires_after(host_.settings.sendTimeout);
  net::async_write(stream_, net::buffer(bytes.data(), bytes.size()),
                   Handler(&HttpSession::OnHostAnswerWritten));
}

template <class Stream>
void HttpSession<Stream>::OnHostAnswerWritten(beast::error_code ec, std::size_t) {
  FinishRequest();
  if (ec) return OnStreamFailed(ec);
  LingeringClose();
}

template <class Stream>
void HttpSession<Stream>::LingeringClose() {
  // Closing with unread input would reset the connection and could destroy the answer
  // before the client reads it; so the host stops sending and drains the input briefly.
  EndStream(true);
}

template <class Stream>
void HttpSession<Stream>::Close() {
  EndStream(false);
}

template <class Stream>
void HttpSession<Stream>::CloseAfterFailure() {
  // The stream broke or timed out: nothing more is written to it.
  ShutdownSend();
}

template <class Stream>
bool HttpSession<Stream>::ShutdownSend() {
  // The socket itself closes when the last handler lets go of the session.
  beast::error_code ec;
  TcpLayer().socket().shutdown(tcp::socket::shutdown_send, ec);
  return !ec;
}

template <class Stream>
void HttpSession<Stream>::DrainInput() {
  if (!ShutdownSend()) return;
  buffer_.consume(buffer_.size());
  lingeringBytes_ = 0;
  TcpLayer().expires_after(host_.settings.lingerTimeout);
  ReadLingering();
}

template <class Stream>
void HttpSession<Stream>::ReadLingering() {
  // Below any stream framing: these bytes are discarded unread.
  TcpLayer().async_read_some(buffer_.prepare(kLingeringChunk),
                             Handler(&HttpSession::OnLingeringRead));
}

template <class Stream>
void HttpSession<Stream>::OnLingeringRead(beast::error_code ec, std::size_t bytes) {
  if (ec) return;
  lingeringBytes_ += bytes;
  if (lingeringBytes_ > host_.settings.lingerMaxBytes) return;
  ReadLingering();
}

template <class Stream>
void HttpSession<Stream>::MarkRequestStart() {
  if (requestStarted_) return;
  requestStarted_ = true;
  requestStart_ = std::chrono::steady_clock::now();
}

template <class Stream>
void HttpSession<Stream>::RecordAnswer(unsigned status, uint64_t bytes) {
  const auto took = requestStarted_ ? std::chrono::steady_clock::now() - requestStart_
                                    : std::chrono::steady_clock::duration::zero();
  host_.state.Figures().CountAnswer(action_, status, took);
  if (host_.accessLog == nullptr || !parser_ || !(parser_->is_header_done() || headerRefused_)) return;
  const auto& request = parser_->get();
  AccessRecord record;
  record.client = call_.RemoteAddress();
  record.method = View(request.method_string());
  record.target = View(request.target());
  record.version = request.version();
  record.status = status;
  record.bytes = bytes;
  record.referer = View(request[http::field::referer]);
  record.userAgent = View(request[http::field::user_agent]);
  record.duration = std::chrono::duration_cast<std::chrono::microseconds>(took);
  host_.accessLog->Write(record);
}

template <class Stream>
void HttpSession<Stream>::ReleaseBody() {
  if (parser_) std::string().swap(parser_->get().body());
  if (reservedBody_ > 0) {
    host_.state.ReleaseBody(reservedBody_);
    reservedBody_ = 0;
  }
}

template <class Stream>
void HttpSession<Stream>::FinishRequest() {
  call_.Clear();
  ReleaseBody();
  parser_.reset();
  if (requestActive_) {
    requestActive_ = false;
    host_.state.EndRequest();
  }
}

template class HttpSession<PlainStream>;
template class HttpSession<TlsStream>;

}  // namespace tallyhand::host
