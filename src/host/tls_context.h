// The TLS side of an HTTPS listener: the server context made from a certificate (chain)
// and key, and the one new connections get, which a reload replaces whole.
#pragma once

#include <boost/asio/ssl/context.hpp>
#include <memory>
#include <mutex>
#include <string>

namespace tallyhand::host {

using TlsContext = boost::asio::ssl::context;

// TLS 1.2 and 1.3 with forward-secret AEAD ciphers only, ALPN http/1.1, and sessions
// resumable from the server's cache. Null with the reason when a file is missing or
// broken, or the key does not match the certificate.
std::shared_ptr<TlsContext> MakeServerTlsContext(const std::string& certificatePath,
                                                 const std::string& keyPath, std::string& error);

// A connection keeps the context it started with, so a reload never touches the
// handshakes and sessions under way.
class TlsCertificates {
 public:
  TlsCertificates(std::string certificatePath, std::string keyPath)
      : certificatePath_(std::move(certificatePath)), keyPath_(std::move(keyPath)) {}

  // Reads both files again; on failure the pair in use stays, and the reason is returned.
  bool Load(std::string& error);
  std::shared_ptr<TlsContext> Current() const;
  const std::string& CertificatePath() const { return certificatePath_; }

 private:
  const std::string certificatePath_;
  const std::string keyPath_;
  mutable std::mutex mutex_;
  std::shared_ptr<TlsContext> current_;
};

}  // namespace tallyhand::host
