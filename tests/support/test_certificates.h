// Certificates made by the openssl command for one test, in a folder of its own: a
// self-signed one per name, or a chain (root, intermediate, server) whose server file
// holds the intermediate too. EC P-256 keys: quick to make and to use.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace tallyhand::testsupport {

struct CertificatePair {
  std::string certificate;
  std::string key;
};

class TestCertificates {
 public:
  TestCertificates() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tallyhand-certs-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern + "/";
  }
  ~TestCertificates() {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  TestCertificates(const TestCertificates&) = delete;
  TestCertificates& operator=(const TestCertificates&) = delete;

  const std::string& Folder() const { return folder_; }

  // A self-signed certificate for localhost and 127.0.0.1, with that common name.
  CertificatePair SelfSigned(const std::string& name, const std::string& commonName) {
    Run("openssl req -x509 " + std::string(kNewKey) + " -keyout " + name + ".key -out " + name +
        ".crt -days 2 -subj '/CN=" + commonName +
        "' -addext subjectAltName=DNS:localhost,IP:127.0.0.1");
    return {folder_ + name + ".crt", folder_ + name + ".key"};
  }

  // The server's certificate signed by an intermediate signed by a root; the server's
  // file holds its certificate and then the intermediate's. The root's file is the
  // trust anchor a client needs.
  struct Chain {
    CertificatePair server;
    std::string root;
  };
  Chain SignedChain(const std::string& name) {
    Write(name + "-ca.ext", "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n");
    Write(name + "-leaf.ext", "basicConstraints=CA:FALSE\nsubjectAltName=DNS:localhost,IP:127.0.0.1\n");
    Run("openssl req -x509 " + std::string(kNewKey) + " -keyout " + name + "-root.key -out " + name +
        "-root.crt -days 2 -subj '/CN=Test Root' -addext basicConstraints=critical,CA:TRUE"
        " -addext keyUsage=critical,keyCertSign,cRLSign");
    Run("openssl req -new " + std::string(kNewKey) + " -keyout " + name + "-int.key -out " + name +
        "-int.csr -subj '/CN=Test Intermediate'");
    Run("openssl x509 -req -in " + name + "-int.csr -CA " + name + "-root.crt -CAkey " + name +
        "-root.key -set_serial 2 -days 2 -extfile " + name + "-ca.ext -out " + name + "-int.crt");
    Run("openssl req -new " + std::string(kNewKey) + " -keyout " + name + ".key -out " + name +
        ".csr -subj '/CN=localhost'");
    Run("openssl x509 -req -in " + name + ".csr -CA " + name + "-int.crt -CAkey " + name +
        "-int.key -set_serial 3 -days 2 -extfile " + name + "-leaf.ext -out " + name + "-leaf.crt");
    Run("cat " + name + "-leaf.crt " + name + "-int.crt > " + name + ".crt");
    return {{folder_ + name + ".crt", folder_ + name + ".key"}, folder_ + name + "-root.crt"};
  }

  void Write(const std::string& name, const std::string& text) const {
    std::ofstream(folder_ + name, std::ios::binary) << text;
  }

 private:
  static constexpr const char* kNewKey = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";

  void Run(const std::string& command) const {
    const std::string line = "cd '" + folder_ + "' && (" + command + ") >/dev/null 2>&1";
    if (std::system(line.c_str()) != 0) throw std::runtime_error("failed: " + command);
  }

  std::string folder_;
};

}  // namespace tallyhand::testsupport
