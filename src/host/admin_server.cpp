#include "host/admin_server.h"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <cstdio>
#include <optional>

#include "host/beast_http.h"
#include "host/listener.h"

#include <boost/beast/http/empty_body.hpp>

namespace tallyhand::host {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

namespace {

std::string Response(unsigned status, std::string_view reason, std::string_view contentType,
                     std::string_view body, bool keepAlive, bool withBody = true) {
  std::string text = "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) +
                     "\r\nContent-Type: " + std::string(contentType) +
                     "\r\nContent-Length: " + std::to_string(body.size()) +
                     "\r\nCache-Control: no-store\r\n";
  if (!keepAlive) text += "Connection: close\r\n";
  text += "\r\n";
  if (withBody) text += body;
  return text;
}

// One admin connection: a request at a time, each read and write bounded by the
// host's header and send timeouts.
class AdminSession : public std::enable_shared_from_this<AdminSession> {
 public:
  AdminSession(tcp::socket&& socket, AdminServer& server) : stream_(std::move(socket)), server_(server) {}
  ~AdminSession() { server_.CloseConnection(); }

  void ReadRequest() {
    parser_.emplace();
    parser_->header_limit(AdminServer::kHeaderLimit);
    parser_->body_limit(0);
    stream_.expires_after(server_.HostSettings().headerTimeout);
    http::async_read(stream_, buffer_, *parser_,
                     beast::bind_front_handler(&AdminSession::OnRead, shared_from_this()));
  }

 private:
  void OnRead(beast::error_code ec, std::size_t) {
    if (ec) {
      if (ec.category() == http::make_error_code(http::error::end_of_stream).category() &&
          ec != http::error::end_of_stream && ec != http::error::partial_message) {
        return Send(Response(400, "Bad Request", "text/plain", "bad request\n", false), false);
      }
      return Shut();
    }
    const auto& request = parser_->get();
    const bool keepAlive = request.keep_alive();
    const std::string_view method(request.method_string().data(), request.method_string().size());
    const std::string_view target(request.target().data(), request.target().size());
    server_.Answer(method, target, keepAlive,
                   [self = shared_from_this(), keepAlive](std::string answer) {
                     self->Send(std::move(answer), keepAlive);
                   });
  }

  void Send(std::string answer, bool keepAlive) {
    answer_ = std::move(answer);
    keepAlive_ = keepAlive;
    stream_.expires_after(server_.HostSettings().sendTimeout);
    net::async_write(stream_, net::buffer(answer_),
                     beast::bind_front_handler(&AdminSession::OnWritten, shared_from_this()));
  }

  void OnWritten(beast::error_code ec, std::size_t) {
    if (ec || !keepAlive_) return Shut();
    ReadRequest();
  }

  void Shut() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
  }

  beast::tcp_stream stream_;
  AdminServer& server_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::empty_body>> parser_;
  std::string answer_;
  bool keepAlive_ = false;
};

}  // namespace

AdminServer::AdminServer(const Settings& settings, const FigureSources& sources)
    : settings_(settings),
      state_(sources.state),
      metrics_(sources),
      readiness_(loop_, sources.extension, kReadyCacheInterval) {}

AdminServer::~AdminServer() { Stop(); }

bool AdminServer::Open(const tcp::endpoint& endpoint, std::string& error) {
  return OpenAcceptor(acceptor_, endpoint, /*reusePort=*/false, error);
}

tcp::endpoint AdminServer::LocalEndpoint() const {
  beast::error_code ec;
  return acceptor_.local_endpoint(ec);
}

void AdminServer::Start() {
  Accept();
  thread_ = std::thread([this] {
    for (;;) {
      try {
        loop_.run();
        return;
      } catch (const std::exception& error) {
        std::fprintf(stderr, "tallyhand-server: unexpected error in the admin loop: %s\n", error.what());
      }
    }
  });
}

void AdminServer::Stop() {
  loop_.stop();
  if (thread_.joinable()) thread_.join();
  readiness_.Stop();
}

bool AdminServer::TryOpenConnection() {
  if (connections_ >= kMaxConnections) return false;
  ++connections_;
  return true;
}

void AdminServer::Accept() {
  acceptor_.async_accept(loop_, [this](beast::error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted || !acceptor_.is_open()) return;
    if (!ec && TryOpenConnection()) {
      beast::error_code ignored;
      socket.set_option(tcp::no_delay(true), ignored);
      std::make_shared<AdminSession>(std::move(socket), *this)->ReadRequest();
    }
    if (ec && ec != net::error::connection_aborted) {
      // Out of descriptors: wait a moment rather than spin.
      auto timer = std::make_shared<net::steady_timer>(loop_, std::chrono::milliseconds(100));
      timer->async_wait([this, timer](beast::error_code) { Accept(); });
      return;
    }
    Accept();
  });
}

void AdminServer::Answer(std::string_view method, std::string_view target, bool keepAlive,
                         std::function<void(std::string)> send) {
  const bool head = method == "HEAD";
  if (method != "GET" && !head) {
    return send(Response(405, "Method Not Allowed", "text/plain", "only GET and HEAD\n", keepAlive));
  }
  const std::string_view path = target.substr(0, target.find('?'));
  if (path == "/metrics") {
    return send(Response(200, "OK", kMetricsContentType, metrics_.Render(), keepAlive, !head));
  }
  if (path == "/healthz") return send(Response(200, "OK", "text/plain", "ok\n", keepAlive, !head));
  if (path == "/readyz") {
    if (state_.Stopping()) {
      return send(Response(503, "Service Unavailable", "text/plain", "stopping\n", keepAlive, !head));
    }
    return readiness_.Check([send = std::move(send), keepAlive, head](bool ready, const std::string& reason) {
      if (ready) return send(Response(200, "OK", "text/plain", "ready\n", keepAlive, !head));
      send(Response(503, "Service Unavailable", "text/plain", "not ready: " + reason + "\n", keepAlive, !head));
    });
  }
  send(Response(404, "Not Found", "text/plain", "not found\n", keepAlive, !head));
}

}  // namespace tallyhand::host
