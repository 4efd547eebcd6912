#include "host/tls_context.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstring>

namespace tallyhand::host {

namespace ssl = boost::asio::ssl;

namespace {

// The "intermediate" profile of the common server-side TLS guidance: ECDHE or DHE key
// exchange, AES-GCM or ChaCha20-Poly1305; TLS 1.3 keeps OpenSSL's own (equal) list.
constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
    "DHE-RSA-AES128-GCM-SHA256:DHE-RSA-AES256-GCM-SHA384:DHE-RSA-CHACHA20-POLY1305";
constexpr const char* kTls13Ciphers =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";
constexpr const char* kGroups = "X25519:prime256v1:secp384r1";
constexpr unsigned char kSessionContext[] = "tallyhand";
constexpr long kSessionLifetimeSeconds = 24 * 3600;
constexpr long kSessionCacheEntries = 20480;

// ALPN: HTTP/1.1 when the client offers it; a client offering only other protocols
// gets no ALPN answer and may still speak HTTP/1.1.
int SelectHttp11(SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* in,
                 unsigned int inLength, void*) {
  static constexpr unsigned char kHttp11[] = "http/1.1";
  constexpr unsigned int kLength = sizeof kHttp11 - 1;
  for (unsigned int at = 0; at < inLength;) {
    const unsigned int length = in[at];
    if (length > inLength - at - 1) break;
    if (length == kLength && std::memcmp(in + at + 1, kHttp11, kLength) == 0) {
      *out = in + at + 1;
      *outLength = static_cast<unsigned char>(length);
      return SSL_TLSEXT_ERR_OK;
    }
    at += 1 + length;
  }
  return SSL_TLSEXT_ERR_NOACK;
}

// The reason OpenSSL queued last, or the error code's own text.
std::string Reason(const boost::system::error_code& ec) {
  std::string text = ec.message();
  ERR_clear_error();
  return text;
}

}  // namespace

std::shared_ptr<TlsContext> MakeServerTlsContext(const std::string& certificatePath,
                                                 const std::string& keyPath, std::string& error) {
  auto context = std::make_shared<TlsContext>(ssl::context::tls_server);
  SSL_CTX* native = context->native_handle();
  boost::system::error_code ec;
  context->use_certificate_chain_file(certificatePath, ec);
  if (ec) {
    error = "cannot use the certificate \"" + certificatePath + "\": " + Reason(ec);
    return nullptr;
  }
  context->use_private_key_file(keyPath, ssl::context::pem, ec);
  if (ec && ec.category() == boost::asio::error::get_ssl_category() &&
      ERR_GET_REASON(static_cast<unsigned long>(ec.value())) == X509_R_KEY_VALUES_MISMATCH) {
    ERR_clear_error();
    error = "the key \"" + keyPath + "\" does not belong to the certificate \"" + certificatePath + "\"";
    return nullptr;
  }
  if (ec) {
    error = "cannot use the key \"" + keyPath + "\": " + Reason(ec);
    return nullptr;
  }
  if (SSL_CTX_check_private_key(native) != 1) {
    ERR_clear_error();
    error = "the key \"" + keyPath + "\" does not belong to the certificate \"" + certificatePath + "\"";
    return nullptr;
  }
  const bool configured =
      SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION) == 1 &&
      SSL_CTX_set_max_proto_version(native, TLS1_3_VERSION) == 1 &&
      SSL_CTX_set_cipher_list(native, kTls12Ciphers) == 1 &&
      SSL_CTX_set_ciphersuites(native, kTls13Ciphers) == 1 &&
      SSL_CTX_set1_groups_list(native, kGroups) == 1 && SSL_CTX_set_dh_auto(native, 1) == 1 &&
      SSL_CTX_set_session_id_context(native, kSessionContext, sizeof kSessionContext - 1) == 1;
  if (!configured) {
    ERR_clear_error();
    error = "the TLS library refused the protocol or cipher settings";
    return nullptr;
  }
  // No compression (CRIME), no renegotiation (a client could make the server redo the
  // costly part of the handshake at will), and the client's cipher order, all of the
  // list being strong. Tickets off: resumption comes from the server's own bounded cache
  // (stateful tickets under TLS 1.3), so no long-lived ticket key needs rotating.
  SSL_CTX_set_options(native, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_TICKET);
  SSL_CTX_clear_options(native, SSL_OP_CIPHER_SERVER_PREFERENCE);
  SSL_CTX_set_session_cache_mode(native, SSL_SESS_CACHE_SERVER);
  SSL_CTX_sess_set_cache_size(native, kSessionCacheEntries);
  SSL_CTX_set_timeout(native, kSessionLifetimeSeconds);
  SSL_CTX_set_alpn_select_cb(native, &SelectHttp11, nullptr);
  return context;
}

bool TlsCertificates::Load(std::string& error) {
  std::shared_ptr<TlsContext> context = MakeServerTlsContext(certificatePath_, keyPath_, error);
  if (!context) return false;
  std::lock_guard lock(mutex_);
  current_ = std::move(context);
  return true;
}

std::shared_ptr<TlsContext> TlsCertificates::Current() const {
  std::lock_guard lock(mutex_);
  return current_;
}

}  // namespace tallyhand::host
