// tallyhand-server: an HTTP/1.1 host that loads one web-server extension module and
// serves every request under its mount prefix through it.
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>
#include <malloc.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <functional>
#include <optional>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/access_log.h"
#include "host/action_table.h"
#include "host/admin_server.h"
#include "host/command_line.h"
#include "host/descriptor_limit.h"
#include "host/extension_module.h"
#include "host/http_session.h"
#include "host/listener.h"
#include "host/server_state.h"
#include "host/service_notice.h"
#include "host/tls_context.h"

namespace net = boost::asio;
namespace beast = boost::beast;
using tcp = net::ip::tcp;

namespace tallyhand::host {
namespace {

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;

void Complain(const std::string& message) {
  std::fprintf(stderr, "tallyhand-server: %s\n", message.c_str());
  std::fflush(stderr);
}

std::string EndpointText(const tcp::endpoint& endpoint) {
  std::string address = endpoint.address().to_string();
  if (endpoint.address().is_v6()) address = "[" + address + "]";
  return address + ":" + std::to_string(endpoint.port());
}

// Runs the network loop; an exception escaping a handler is reported and the loop goes on.
void RunLoop(net::io_context& ioc) {
  for (;;) {
    try {
      ioc.run();
      return;
    } catch (const std::exception& error) {
      Complain(std::string("unexpected error in the network loop: ") + error.what());
    }
  }
}

int Serve(const Settings& settings) {
  std::signal(SIGPIPE, SIG_IGN);
  // Each connection costs a descriptor: take all the system grants before serving.
  rlim_t descriptorLimit = 0;
  std::string limitError;
  if (!RaiseDescriptorLimit(descriptorLimit, limitError)) Complain(limitError);

  ExtensionModule module;
  std::string error;
  if (!module.Load(settings.modulePath, error)) {
    Complain("cannot load extension module: " + error);
    return kExitFailure;
  }
  if (!module.FiguresWarning().empty()) Complain(module.FiguresWarning());
  ActionTable actions;
  if (const TALLYHAND_FIGURES_EXPORT* figures = module.FiguresExport();
      figures != nullptr && !actions.Load(figures->actions, figures->actionCount, error)) {
    Complain("module \"" + settings.modulePath + "\" " + error + "; its requests count under action \"none\"");
  }
  std::string description;
  if (!module.Start(description, error)) {
    Complain("extension module \"" + settings.modulePath + "\" refused to start: " + error);
    return kExitFailure;
  }

  AccessLog accessLog;
  if (!settings.accessLogPath.empty() && !accessLog.Open(settings.accessLogPath, error)) {
    Complain(error);
    module.Terminate();
    return kExitFailure;
  }

  // An HTTPS port starts only with a certificate and key that work.
  std::unique_ptr<TlsCertificates> certificates;
  if (settings.Tls()) {
    certificates = std::make_unique<TlsCertificates>(settings.tlsCertificatePath, settings.tlsKeyPath);
    if (!certificates->Load(error)) {
      Complain(error);
      module.Terminate();
      return kExitFailure;
    }
  }

  beast::error_code addressError;
  net::ip::address address = net::ip::make_address(settings.listenAddress, addressError);
  if (addressError) {
    Complain("invalid listen address \"" + settings.listenAddress + "\": " + addressError.message());
    module.Terminate();
    return kExitFailure;
  }

  net::ip::address adminAddress;
  if (!settings.adminAddress.empty()) {
    adminAddress = net::ip::make_address(settings.adminAddress, addressError);
    if (addressError) {
      Complain("invalid admin listen address \"" + settings.adminAddress + "\": " + addressError.message());
      module.Terminate();
      return kExitFailure;
    }
  }

  int exitCode = 0;
  {
    // The state outlives the loop, whose destruction ends the remaining connections.
    net::io_context* loopToStop = nullptr;
    ServerState state(settings, actions.Size(), [&loopToStop] { loopToStop->stop(); });
    net::io_context ioc(static_cast<int>(settings.ioThreads));
    loopToStop = &ioc;
    AccessLog* openAccessLog = accessLog.IsOpen() ? &accessLog : nullptr;
    HostContext host{settings, state, module, openAccessLog, actions};

    SessionStarter startSession = [&host](tcp::socket&& socket) {
      StartPlainSession(std::move(socket), host);
    };
    if (certificates) {
      startSession = [&host, &certificates](tcp::socket&& socket) {
        StartTlsSession(std::move(socket), host, *certificates);
      };
    }
    auto listener = std::make_shared<Listener>(ioc, state, std::move(startSession));
    if (!listener->Open(tcp::endpoint(address, settings.port), settings.reusePort, error)) {
      Complain("cannot listen on " + EndpointText(tcp::endpoint(address, settings.port)) + ": " + error);
      module.Terminate();
      return kExitFailure;
    }
    std::optional<AdminServer> admin;
    if (!settings.adminAddress.empty()) {
      admin.emplace(settings, FigureSources{state, actions, openAccessLog, module.FiguresExport()});
      const tcp::endpoint adminEndpoint(adminAddress, settings.adminPort);
      if (!admin->Open(adminEndpoint, error)) {
        Complain("cannot listen on " + EndpointText(adminEndpoint) + " for the admin listener: " + error);
        module.Terminate();
        return kExitFailure;
      }
    }

    // logrotate's convention: SIGUSR1 reopens the access log (and never ends the host).
    net::signal_set reopenSignal(ioc, SIGUSR1);
    std::function<void()> awaitReopen = [&] {
      reopenSignal.async_wait([&](beast::error_code ec, int) {
        if (ec) return;
        std::string reopenError;
        if (!accessLog.Reopen(reopenError)) Complain(reopenError);
        awaitReopen();
      });
    };
    awaitReopen();

    net::signal_set signals(ioc, SIGINT, SIGTERM);
    // SIGHUP reads the certificate and key again, for the connections accepted from then
    // on; a plain server has nothing to reload and carries on.
    net::signal_set reloadSignal(ioc, SIGHUP);
    std::function<void()> awaitReload = [&] {
      reloadSignal.async_wait([&](beast::error_code ec, int) {
        if (ec) return;
        if (certificates) {
          NoticeReloading();
          std::string reloadError;
          if (certificates->Load(reloadError)) {
            Complain("reloaded the certificate \"" + certificates->CertificatePath() + "\"");
          } else {
            Complain(reloadError + "; keeping the certificate in use");
          }
          NoticeReloaded();
        }
        awaitReload();
      });
    };
    awaitReload();
    net::steady_timer graceTimer(ioc);
    bool graceExpired = false;
    signals.async_wait([&](beast::error_code ec, int) {
      if (ec) return;
      NoticeStopping();
      reloadSignal.cancel();
      // Stop accepting; the loop ends once the requests in flight have been answered and
      // every connection has closed.
      listener->Stop([&state] { state.BeginStop(); });
      reopenSignal.cancel();
      graceTimer.expires_after(settings.shutdownGrace);
      graceTimer.async_wait([&](beast::error_code waitError) {
        if (waitError) return;
        graceExpired = true;
        ioc.stop();
      });
    });

    listener->Run();
    std::printf("listening on %s\n", EndpointText(listener->LocalEndpoint()).c_str());
    if (admin) {
      admin->Start();
      std::printf("admin listening on %s\n", EndpointText(admin->LocalEndpoint()).c_str());
    }
    std::fflush(stdout);
    NoticeReady();

    std::vector<std::thread> threads;
    threads.reserve(settings.ioThreads - 1);
    for (unsigned i = 1; i < settings.ioThreads; ++i) threads.emplace_back([&ioc] { RunLoop(ioc); });
    RunLoop(ioc);
    for (std::thread& thread : threads) thread.join();
    // The admin thread and its readiness check call into the module: both end first.
    if (admin) admin->Stop();

    if (graceExpired) {
      // The extension still holds requests; unloading it now could pull code from under
      // its threads, so the module stays mapped until the process ends.
      Complain("requests still in flight after " + std::to_string(settings.shutdownGrace.count()) +
               " s; stopping without unloading the extension");
      module.Terminate();
      std::fflush(nullptr);
      std::_Exit(kExitFailure);
    }
    module.Terminate();
    // The sessions left in the loop (idle connections) are destroyed here, before unload.
  }
  module.Unload();
  return exitCode;
}

}  // namespace
}  // namespace tallyhand::host

namespace {

// Every upload allocates and frees a few buffers of its body's size. With glibc's default
// trim threshold each free gave the pages back (madvise) and the next upload faulted them
// in again, zero-filled: on a 100 KB upload that cost more CPU than the body's parsing.
// Free memory up to kKeptFreeBytes stays with its arena for reuse; blocks from
// kOwnMappingBytes on still get mappings of their own, returned when freed.
constexpr int kKeptFreeBytes = 4 * 1024 * 1024;
constexpr int kOwnMappingBytes = 1024 * 1024;

void KeepFreedMemoryForReuse() {
  // Best effort: a sanitizer's allocator ignores these, and the defaults are still sound.
  (void)mallopt(M_MMAP_THRESHOLD, kOwnMappingBytes);
  (void)mallopt(M_TRIM_THRESHOLD, kKeptFreeBytes);
}

}  // namespace

int main(int argc, char** argv) {
  using tallyhand::host::CommandLine;
  KeepFreedMemoryForReuse();
  std::vector<std::string> args(argv + 1, argv + argc);
  CommandLine commandLine = tallyhand::host::ParseCommandLine(args);
  switch (commandLine.outcome) {
    case CommandLine::Outcome::ShowHelp:
      std::fputs(tallyhand::host::UsageText().c_str(), stdout);
      return 0;
    case CommandLine::Outcome::Invalid:
      std::fprintf(stderr, "tallyhand-server: %s\nTry 'tallyhand-server --help'.\n",
                   commandLine.error.c_str());
      return tallyhand::host::kExitUsage;
    case CommandLine::Outcome::Run:
      break;
  }
  try {
    return tallyhand::host::Serve(commandLine.settings);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tallyhand-server: %s\n", error.what());
    return 1;
  }
}
