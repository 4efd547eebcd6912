// HTTPS on the --port listener: what is served over it, which protocol versions and
// ciphers it takes, what happens to bytes that are no TLS, the certificate chain, and
// the reload of the certificate on SIGHUP.
#include <gtest/gtest.h>

#include <filesystem>
#include <latch>
#include <memory>
#include <thread>

#include "minimal_server.h"
#include "support/test_certificates.h"
#include "support/tls_client.h"

namespace tallyhand::testsupport {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> TlsArgs(const CertificatePair& pair, std::vector<std::string> more = {}) {
  std::vector<std::string> args = {"--tls-cert", pair.certificate, "--tls-key", pair.key};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

std::string EchoOf(std::initializer_list<const char*> variables) {
  std::string target = "/echo";
  char separator = '?';
  for (const char* name : variables) {
    target += separator + std::string("var=") + name;
    separator = '&';
  }
  return target;
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// Waits until the server's standard error holds that text the given number of times.
bool AwaitStderr(const ServerProcess& process, const std::string& part, size_t times) {
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (Occurrences(process.StderrText(), part) < times) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

TEST(Tls, ServesPagesEchoAndBodiesWithTheVariablesOfASecurePort) {
  TestCertificates certificates;
  MinimalServer server(TlsArgs(certificates.SelfSigned("server", "tallyhand test")));
  ASSERT_TRUE(server.Listening()) << server.process.StderrText();

  TlsConnection connection(server.Port());
  ASSERT_TRUE(connection.Handshaken()) << connection.HandshakeError();
  EXPECT_EQ(connection.Alpn(), "http/1.1");
  // One kept-alive connection: answered on the network thread, from the extension's
  // thread, and a body of several TLS records each way.
  ASSERT_TRUE(connection.Send(Get("/")));
  auto page = connection.ReadResponse();
  ASSERT_TRUE(page);
  EXPECT_EQ(page->raw, ConstantAnswer());
  ASSERT_TRUE(connection.Send(Get("/pending")));
  auto pending = connection.ReadResponse();
  ASSERT_TRUE(pending);
  EXPECT_EQ(pending->raw, ConstantAnswer());

  ASSERT_TRUE(connection.Send(Get(EchoOf({"HTTPS", "SERVER_PORT_SECURE", "SERVER_PORT"}))));
  auto variables = connection.ReadResponse();
  ASSERT_TRUE(variables);
  EchoReport report = ParseEcho(variables->body);
  EXPECT_TRUE(report.Has("HTTPS=on")) << report.fields;
  EXPECT_TRUE(report.Has("SERVER_PORT_SECURE=1")) << report.fields;
  EXPECT_TRUE(report.Has("SERVER_PORT=" + std::to_string(server.Port()))) << report.fields;

  const std::string body = PatternBody(3 * 1000 * 1000 + 7);
  ASSERT_TRUE(connection.Send(Post("/echo", body)));
  auto echoed = connection.ReadResponse(30s);
  ASSERT_TRUE(echoed);
  EXPECT_EQ(echoed->status, 200);
  EXPECT_TRUE(ParseEcho(echoed->body).body == body) << "body lost or changed over TLS";

  // An answer that closes the connection ends with close_notify, seen as the end.
  ASSERT_TRUE(connection.Send(Get("/nolength")));
  auto unframed = connection.ReadResponse();
  ASSERT_TRUE(unframed);
  EXPECT_EQ(unframed->body, kTestPage);

  // An idle TLS connection does not hold up the stop.
  TlsConnection idle(server.Port());
  ASSERT_TRUE(idle.Handshaken());
  ASSERT_TRUE(idle.Send(Get("/")));
  ASSERT_TRUE(idle.ReadResponse());
  EXPECT_EQ(server.process.Stop(10s), 0);
  EXPECT_TRUE(idle.ClosedByPeer(5s));
}

TEST(Tls, TakesOnlyTls12And13WithStrongCiphers) {
  TestCertificates certificates;
  MinimalServer server(TlsArgs(certificates.SelfSigned("server", "tallyhand test")));
  ASSERT_TRUE(server.Listening()) << server.process.StderrText();
  struct Case {
    const char* name;
    int version;
    std::string ciphers;
    bool accepted;
  };
  const Case cases[] = {
      {"TLSv1", TLS1_VERSION, "", false},
      {"TLSv1.1", TLS1_1_VERSION, "", false},
      {"TLSv1.2", TLS1_2_VERSION, "", true},
      {"TLSv1.3", TLS1_3_VERSION, "", true},
      // CBC ciphers, outside the profile: refused even under TLS 1.2.
      {"TLSv1.2", TLS1_2_VERSION, "ECDHE-ECDSA-AES128-SHA", false},
      {"TLSv1.2", TLS1_2_VERSION, "ECDHE-ECDSA-AES128-SHA256", false},
      {"TLSv1.2", TLS1_2_VERSION, "ECDHE-ECDSA-CHACHA20-POLY1305", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + c.ciphers);
    TlsOptions options;
    options.minVersion = options.maxVersion = c.version;
    options.ciphers = c.ciphers;
    TlsConnection connection(server.Port(), options);
    EXPECT_EQ(connection.Handshaken(), c.accepted) << connection.HandshakeError();
    if (!c.accepted || !connection.Handshaken()) continue;
    EXPECT_EQ(connection.Protocol(), c.name);
    if (!c.ciphers.empty()) {
      EXPECT_EQ(connection.Cipher(), c.ciphers);
    }
    ASSERT_TRUE(connection.Send(Get("/")));
    auto response = connection.ReadResponse();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->raw, ConstantAnswer());
  }
  // A client that offers no ALPN, or only another protocol, still speaks HTTP/1.1.
  for (const std::string& alpn : {std::string(), std::string("\x02h2", 3)}) {
    TlsOptions options;
    options.alpn = alpn;
    TlsConnection connection(server.Port(), options);
    ASSERT_TRUE(connection.Handshaken()) << connection.HandshakeError();
    EXPECT_EQ(connection.Alpn(), "");
    ASSERT_TRUE(connection.Send(Get("/")));
    EXPECT_TRUE(connection.ReadResponse());
  }
}

TEST(Tls, ResumesTheSessionOfAnEarlierConnection) {
  TestCertificates certificates;
  MinimalServer server(TlsArgs(certificates.SelfSigned("server", "tallyhand test")));
  ASSERT_TRUE(server.Listening()) << server.process.StderrText();
  for (int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
    SCOPED_TRACE(version);
    TlsOptions options;
    options.minVersion = options.maxVersion = version;
    SSL_SESSION* session = nullptr;
    {
      TlsConnection first(server.Port(), options);
      ASSERT_TRUE(first.Handshaken()) << first.HandshakeError();
      EXPECT_FALSE(first.Resumed());
      // Under TLS 1.3 the session comes after the handshake, with the first answer.
      ASSERT_TRUE(first.Send(Get("/")));
      ASSERT_TRUE(first.ReadResponse());
      session = first.Session();
    }
    ASSERT_NE(session, nullptr);
    options.resume = session;
    TlsConnection second(server.Port(), options);
    SSL_SESSION_free(session);
    ASSERT_TRUE(second.Handshaken()) << second.HandshakeError();
    EXPECT_TRUE(second.Resumed());
    ASSERT_TRUE(second.Send(Get("/")));
    EXPECT_TRUE(second.ReadResponse());
  }
}

TEST(Tls, BytesThatAreNoTlsAreClosedAtOnceAndASilentClientAtTheHeaderTimeout) {
  TestCertificates certificates;
  const CertificatePair pair = certificates.SelfSigned("server", "tallyhand test");
  {
    // The header timeout is far beyond the wait below: "at once" is not the timeout.
    MinimalServer server(TlsArgs(pair, {"--header-timeout", "60"}));
    ASSERT_TRUE(server.Listening()) << server.process.StderrText();
    const std::string cases[] = {
        Get("/"),
        std::string("\x00\x01\x02garbage\r\n\r\n", 14),
        // A handshake record header that announces more than a record may hold.
        std::string("\x16\x03\x01\xff\xff", 5) + std::string(64, 'x'),
    };
    for (const std::string& bytes : cases) {
      SCOPED_TRACE(bytes.substr(0, 8));
      HttpConnection plain(server.Port());
      ASSERT_TRUE(plain.Connected());
      ASSERT_TRUE(plain.Send(bytes));
      EXPECT_TRUE(plain.ClosedByPeer(5s));
      EXPECT_EQ(plain.ReceivedBytes().find("HTTP/"), std::string::npos) << plain.ReceivedBytes();
    }
  }
  MinimalServer server(TlsArgs(pair, {"--header-timeout", "1"}));
  ASSERT_TRUE(server.Listening()) << server.process.StderrText();
  HttpConnection silent(server.Port());
  ASSERT_TRUE(silent.Connected());
  // Served meanwhile: the silent client holds nobody up.
  auto response = TlsExchange(server.Port(), Get("/"));
  ASSERT_TRUE(response);
  EXPECT_EQ(response->raw, ConstantAnswer());
  EXPECT_TRUE(silent.ClosedByPeer(10s));
}

TEST(Tls, CertificateFileCarriesTheChainToTheRoot) {
  TestCertificates certificates;
  const TestCertificates::Chain chain = certificates.SignedChain("site");
  TlsOptions verifying;
  verifying.trustFile = chain.root;
  verifying.verifyHost = "localhost";
  {
    MinimalServer server(TlsArgs(chain.server));
    ASSERT_TRUE(server.Listening()) << server.process.StderrText();
    TlsConnection connection(server.Port(), verifying);
    ASSERT_TRUE(connection.Handshaken()) << connection.HandshakeError();
    ASSERT_TRUE(connection.Send(Get("/")));
    EXPECT_TRUE(connection.ReadResponse());
  }
  // The same server certificate without the intermediate cannot be verified: the
  // chain above is what the file gave.
  MinimalServer alone(TlsArgs({certificates.Folder() + "site-leaf.crt", chain.server.key}));
  ASSERT_TRUE(alone.Listening()) << alone.process.StderrText();
  TlsConnection connection(alone.Port(), verifying);
  EXPECT_FALSE(connection.Handshaken());
}

TEST(Tls, UnusableCertificateOrKeyStopsTheStart) {
  TestCertificates certificates;
  const CertificatePair first = certificates.SelfSigned("first", "first");
  const CertificatePair second = certificates.SelfSigned("second", "second");
  certificates.Write("broken.pem", "-----BEGIN CERTIFICATE-----\nnot base64\n-----END CERTIFICATE-----\n");
  struct Case {
    CertificatePair pair;
    std::string message;
  };
  const Case cases[] = {
      {{certificates.Folder() + "missing.crt", first.key}, "cannot use the certificate"},
      {{certificates.Folder() + "broken.pem", first.key}, "cannot use the certificate"},
      {{first.certificate, certificates.Folder() + "broken.pem"}, "cannot use the key"},
      {{first.certificate, second.key}, "does not belong to the certificate"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    ServerProcess process(MinimalLaunch(TlsArgs(c.pair)));
    EXPECT_FALSE(process.WaitUntilListening(20s));
    EXPECT_EQ(process.WaitForExit(20s), 1);
    EXPECT_NE(process.StderrText().find(c.message), std::string::npos) << process.StderrText();
  }
}

TEST(TlsReload, SighupGivesNewConnectionsTheNewCertificateAndKeepsTheOldOnBrokenFiles) {
  TestCertificates certificates;
  const CertificatePair first = certificates.SelfSigned("first", "first");
  const CertificatePair second = certificates.SelfSigned("second", "second");
  const CertificatePair live{certificates.Folder() + "live.crt", certificates.Folder() + "live.key"};
  const auto install = [](const std::string& from, const std::string& to) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  };
  install(first.certificate, live.certificate);
  install(first.key, live.key);
  MinimalServer server(TlsArgs(live));
  ASSERT_TRUE(server.Listening()) << server.process.StderrText();

  TlsConnection old(server.Port());
  ASSERT_TRUE(old.Handshaken()) << old.HandshakeError();
  EXPECT_EQ(old.PeerCommonName(), "first");
  ASSERT_TRUE(old.Send(Get("/")));
  ASSERT_TRUE(old.ReadResponse());

  const auto newcomerSees = [&] {
    TlsConnection connection(server.Port());
    EXPECT_TRUE(connection.Handshaken()) << connection.HandshakeError();
    EXPECT_TRUE(connection.Send(Get("/")));
    EXPECT_TRUE(connection.ReadResponse());
    return connection.PeerCommonName();
  };

  install(second.certificate, live.certificate);
  install(second.key, live.key);
  server.process.Signal(SIGHUP);
  ASSERT_TRUE(AwaitStderr(server.process, "reloaded the certificate", 1)) << server.process.StderrText();
  EXPECT_EQ(newcomerSees(), "second");
  // The connection made before the reload carries on.
  ASSERT_TRUE(old.Send(Get("/pending")));
  auto answer = old.ReadResponse();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->raw, ConstantAnswer());

  struct Broken {
    std::string certificate;
    std::string key;
    std::string reason;
  };
  certificates.Write("garbage.pem", "garbage\n");
  const Broken brokenCases[] = {
      {certificates.Folder() + "garbage.pem", second.key, "cannot use the certificate"},
      {second.certificate, certificates.Folder() + "garbage.pem", "cannot use the key"},
      {second.certificate, first.key, "does not belong to the certificate"},
  };
  size_t kept = 0;
  for (const Broken& broken : brokenCases) {
    SCOPED_TRACE(broken.reason);
    install(broken.certificate, live.certificate);
    install(broken.key, live.key);
    server.process.Signal(SIGHUP);
    ASSERT_TRUE(AwaitStderr(server.process, "keeping the certificate in use", ++kept))
        << server.process.StderrText();
    EXPECT_NE(server.process.StderrText().find(broken.reason), std::string::npos);
    EXPECT_EQ(newcomerSees(), "second");
  }
  ASSERT_TRUE(old.Send(Get("/")));
  EXPECT_TRUE(old.ReadResponse());
  EXPECT_EQ(server.process.Stop(10s), 0);
}

TEST(TlsConcurrency, TwoHundredConnectionsOpenAtOnceAreEachAnswered) {
  TestCertificates certificates;
  MinimalServer server(TlsArgs(certificates.SelfSigned("server", "tallyhand test")));
  ASSERT_TRUE(server.Listening()) << server.process.StderrText();
  constexpr int kThreads = 8;
  constexpr int kPerThread = 25;
  std::latch allOpen(kThreads);
  std::atomic<int> handshaken{0};
  std::atomic<int> answered{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<std::unique_ptr<TlsConnection>> connections;
      for (int i = 0; i < kPerThread; ++i) {
        connections.push_back(std::make_unique<TlsConnection>(server.Port(), TlsOptions{}, 30s));
        handshaken += connections.back()->Handshaken();
      }
      // Every connection is open before any request goes out.
      allOpen.arrive_and_wait();
      for (int i = 0; i < kPerThread; ++i) {
        // From the network thread and from the extension's, alternately.
        const std::string target = (i + t) % 2 == 0 ? "/" : "/pending";
        if (!connections[i]->Send(Get(target))) continue;
      }
      for (auto& connection : connections) {
        auto response = connection->ReadResponse(30s);
        answered += response && response->raw == ConstantAnswer();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(handshaken.load(), kThreads * kPerThread);
  EXPECT_EQ(answered.load(), kThreads * kPerThread);
}

}  // namespace
}  // namespace tallyhand::testsupport
