// The blocking test client of http_client.h over TLS (OpenSSL): the handshake runs in
// the constructor, within the timeout; the protocol versions offered, the ALPN list and
// a session to resume are the test's to choose. Verification is the test's choice too:
// either none, or against a trust anchor file and a host name.
#pragma once

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <string>

#include "support/http_client.h"

namespace tallyhand::testsupport {

struct TlsOptions {
  int minVersion = TLS1_2_VERSION;
  int maxVersion = TLS1_3_VERSION;
  // ALPN protocols in wire form ("\x08http/1.1"); empty: none offered.
  std::string alpn = std::string("\x08http/1.1", 9);
  // TLS 1.2 cipher list offered ("DEFAULT" with the security floor lifted when empty).
  std::string ciphers;
  // A session of an earlier connection to offer for resumption; null: none.
  SSL_SESSION* resume = nullptr;
  // PEM file of trusted certificates; empty: the peer is not verified.
  std::string trustFile;
  std::string verifyHost;
};

class TlsConnection : public HttpConnection {
 public:
  explicit TlsConnection(uint16_t port, const TlsOptions& options = {},
                         std::chrono::milliseconds timeout = 10s)
      : HttpConnection(port) {
    if (!Connected()) return;
    context_.reset(SSL_CTX_new(TLS_client_method()));
    if (!context_) {
      Fail();
      return;
    }
    // Old protocol versions must really be offered for the server to be the one refusing
    // them: the system's own floor and security level are lifted.
    SSL_CTX_set_security_level(context_.get(), 0);
    const std::string ciphers = options.ciphers.empty() ? "DEFAULT:@SECLEVEL=0" : options.ciphers + ":@SECLEVEL=0";
    SSL_CTX_set_cipher_list(context_.get(), ciphers.c_str());
    SSL_CTX_set_min_proto_version(context_.get(), options.minVersion);
    SSL_CTX_set_max_proto_version(context_.get(), options.maxVersion);
    if (!options.trustFile.empty()) {
      SSL_CTX_set_verify(context_.get(), SSL_VERIFY_PEER, nullptr);
      if (SSL_CTX_load_verify_locations(context_.get(), options.trustFile.c_str(), nullptr) != 1) {
        Fail();
        return;
      }
    }
    ssl_.reset(SSL_new(context_.get()));
    if (!ssl_) {
      Fail();
      return;
    }
    if (!options.verifyHost.empty()) {
      SSL_set_tlsext_host_name(ssl_.get(), options.verifyHost.c_str());
      SSL_set1_host(ssl_.get(), options.verifyHost.c_str());
    }
    if (!options.alpn.empty()) {
      SSL_set_alpn_protos(ssl_.get(), reinterpret_cast<const unsigned char*>(options.alpn.data()),
                          static_cast<unsigned>(options.alpn.size()));
    }
    if (options.resume != nullptr) SSL_set_session(ssl_.get(), options.resume);
    SSL_set_fd(ssl_.get(), Descriptor());
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      int result = SSL_connect(ssl_.get());
      if (result == 1) break;
      int error = SSL_get_error(ssl_.get(), result);
      short events = error == SSL_ERROR_WANT_READ ? POLLIN : error == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (events == 0 || left.count() <= 0 || !WaitFor(events, left)) {
        handshakeError_ = ERR_error_string(ERR_get_error(), nullptr);
        Fail();
        return;
      }
    }
    handshaken_ = true;
  }
  ~TlsConnection() override {
    // close_notify: a session ended without one may not be resumed.
    if (handshaken_ && Connected()) SSL_shutdown(ssl_.get());
    Close();
  }

  bool Handshaken() const { return handshaken_; }
  // The OpenSSL reason of a failed handshake.
  const std::string& HandshakeError() const { return handshakeError_; }
  std::string Protocol() const { return handshaken_ ? SSL_get_version(ssl_.get()) : ""; }
  std::string Cipher() const { return handshaken_ ? SSL_get_cipher_name(ssl_.get()) : ""; }
  std::string Alpn() const {
    const unsigned char* data = nullptr;
    unsigned length = 0;
    if (handshaken_) SSL_get0_alpn_selected(ssl_.get(), &data, &length);
    return std::string(reinterpret_cast<const char*>(data), data == nullptr ? 0 : length);
  }
  bool Resumed() const { return handshaken_ && SSL_session_reused(ssl_.get()) == 1; }
  // The session to offer on a later connection (owned by the caller: SSL_SESSION_free).
  SSL_SESSION* Session() const { return handshaken_ ? SSL_get1_session(ssl_.get()) : nullptr; }
  // The common name of the certificate the server presented.
  std::string PeerCommonName() const {
    if (!handshaken_) return "";
    X509* peer = SSL_get0_peer_certificate(ssl_.get());
    if (peer == nullptr) return "";
    char name[256] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(peer), NID_commonName, name, sizeof name);
    return name;
  }

 protected:
  ssize_t SendSome(const char* data, size_t size, short& waitFor) override {
    if (!handshaken_) return -1;
    int n = SSL_write(ssl_.get(), data, static_cast<int>(std::min<size_t>(size, 1 << 30)));
    if (n > 0) return n;
    return Blocked(n, waitFor);
  }
  ssize_t ReceiveSome(char* data, size_t size, short& waitFor) override {
    if (!handshaken_) return 0;
    int n = SSL_read(ssl_.get(), data, static_cast<int>(std::min<size_t>(size, 1 << 30)));
    if (n > 0) return n;
    int error = SSL_get_error(ssl_.get(), n);
    // close_notify, or the TCP connection ended (with or without one): the end.
    if (error == SSL_ERROR_ZERO_RETURN || error == SSL_ERROR_SYSCALL || error == SSL_ERROR_SSL) {
      ERR_clear_error();
      return 0;
    }
    return Blocked(n, waitFor);
  }

 private:
  struct FreeContext {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
  };
  struct FreeSsl {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
  };

  ssize_t Blocked(int result, short& waitFor) {
    int error = SSL_get_error(ssl_.get(), result);
    if (error == SSL_ERROR_WANT_READ) waitFor = POLLIN;
    if (error == SSL_ERROR_WANT_WRITE) waitFor = POLLOUT;
    ERR_clear_error();
    return -1;
  }
  void Fail() {
    ERR_clear_error();
    handshaken_ = false;
  }

  std::unique_ptr<SSL_CTX, FreeContext> context_;
  std::unique_ptr<SSL, FreeSsl> ssl_;
  bool handshaken_ = false;
  std::string handshakeError_;
};

// One request on a fresh TLS connection; nullopt when no whole response comes back.
inline std::optional<HttpResponse> TlsExchange(uint16_t port, std::string_view request,
                                               std::chrono::milliseconds timeout = 10s) {
  TlsConnection connection(port);
  if (!connection.Handshaken() || !connection.Send(request)) return std::nullopt;
  return connection.ReadResponse(timeout);
}

}  // namespace tallyhand::testsupport
