#include "host/command_line.h"

#include <charconv>
#include <cstdint>
#include <functional>
#include <limits>
#include <string_view>

namespace tallyhand::host {
namespace {

// Parses a whole decimal number within [low, high]; anything else is refused.
bool ParseNumber(std::string_view text, uint64_t low, uint64_t high, uint64_t& out) {
  if (text.empty()) return false;
  uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  if (value < low || value > high) return false;
  out = value;
  return true;
}

struct Option {
  std::string_view name;
  std::string_view valueName;  // empty: a flag without a value
  std::string_view help;
  // Stores the value; returns an error text, empty on success.
  std::function<std::string(std::string_view, Settings&)> apply;
  std::function<std::string(const Settings&)> defaultText;
};

std::function<std::string(std::string_view, Settings&)> NumberSetter(
    uint64_t low, uint64_t high, std::function<void(Settings&, uint64_t)> store) {
  return [=](std::string_view text, Settings& s) -> std::string {
    uint64_t value = 0;
    if (!ParseNumber(text, low, high, value)) {
      return "expects a whole number from " + std::to_string(low) + " to " +
             std::to_string(high) + ", got \"" + std::string(text) + "\"";
    }
    store(s, value);
    return {};
  };
}

std::function<std::string(std::string_view, Settings&)> SecondsSetter(
    std::chrono::seconds Settings::*member) {
  return NumberSetter(1, 24 * 3600, [member](Settings& s, uint64_t v) {
    s.*member = std::chrono::seconds(static_cast<int64_t>(v));
  });
}

std::function<std::string(const Settings&)> SecondsDefault(std::chrono::seconds Settings::*member) {
  return [member](const Settings& s) { return std::to_string((s.*member).count()); };
}

const std::vector<Option>& Options() {
  constexpr uint64_t kMax32 = std::numeric_limits<uint32_t>::max();
  static const std::vector<Option> options = {
      {"--module", "PATH", "extension module to load (required)",
       [](std::string_view v, Settings& s) -> std::string {
         if (v.empty()) return "expects a path";
         s.modulePath = std::string(v);
         return {};
       },
       [](const Settings&) { return std::string(); }},
      {"--port", "N", "port to listen on; 0 binds a free port (required)",
       NumberSetter(0, 65535,
                    [](Settings& s, uint64_t v) {
                      s.port = static_cast<uint16_t>(v);
                      s.portGiven = true;
                    }),
       [](const Settings&) { return std::string(); }},
      {"--listen", "ADDR", "address to listen on",
       [](std::string_view v, Settings& s) -> std::string {
         if (v.empty()) return "expects an address";
         s.listenAddress = std::string(v);
         return {};
       },
       [](const Settings& s) { return s.listenAddress; }},
      {"--reuse-port", "", "share the port with other server processes (SO_REUSEPORT)",
       [](std::string_view, Settings& s) -> std::string {
         s.reusePort = true;
         return {};
       },
       [](const Settings&) { return std::string(); }},
      {"--mount", "PREFIX", "URL prefix the module is mounted at (default: the root)",
       [](std::string_view v, Settings& s) -> std::string {
         // "/" and "" both mean the root; a trailing slash would swallow the one
         // that starts the path info.
         while (!v.empty() && v.back() == '/') v.remove_suffix(1);
         if (!v.empty() && v.front() != '/') return "expects a prefix starting with '/'";
         s.mountPrefix = std::string(v);
         return {};
       },
       [](const Settings&) { return std::string(); }},
      {"--io-threads", "N", "threads running the network loop",
       NumberSetter(1, 256, [](Settings& s, uint64_t v) { s.ioThreads = static_cast<unsigned>(v); }),
       [](const Settings& s) { return std::to_string(s.ioThreads); }},
      {"--read-ahead", "N", "body bytes handed to the extension up front",
       NumberSetter(0, kMax32, [](Settings& s, uint64_t v) { s.readAhead = static_cast<uint32_t>(v); }),
       [](const Settings& s) { return std::to_string(s.readAhead); }},
      {"--max-body", "N", "largest request body in bytes (413 beyond)",
       NumberSetter(0, kMax32 - 1, [](Settings& s, uint64_t v) { s.maxBody = v; }),
       [](const Settings& s) { return std::to_string(s.maxBody); }},
      {"--max-buffered", "N", "body bytes held for all connections together (503 beyond)",
       NumberSetter(1, std::numeric_limits<int64_t>::max(),
                    [](Settings& s, uint64_t v) { s.maxBufferedBodies = v; }),
       [](const Settings& s) { return std::to_string(s.maxBufferedBodies); }},
      {"--header-limit", "N", "largest request header in bytes (431 beyond)",
       NumberSetter(256, kMax32, [](Settings& s, uint64_t v) { s.headerLimit = static_cast<uint32_t>(v); }),
       [](const Settings& s) { return std::to_string(s.headerLimit); }},
      {"--header-timeout", "S", "seconds to receive a request header",
       SecondsSetter(&Settings::headerTimeout), SecondsDefault(&Settings::headerTimeout)},
      {"--body-timeout", "S", "seconds allowed between two reads of a request body",
       SecondsSetter(&Settings::bodyTimeout), SecondsDefault(&Settings::bodyTimeout)},
      {"--idle-timeout", "S", "seconds a kept-alive connection waits for its next request",
       SecondsSetter(&Settings::idleTimeout), SecondsDefault(&Settings::idleTimeout)},
      {"--send-timeout", "S", "seconds to write one response",
       SecondsSetter(&Settings::sendTimeout), SecondsDefault(&Settings::sendTimeout)},
      {"--shutdown-grace", "S", "seconds requests in flight may take at shutdown",
       SecondsSetter(&Settings::shutdownGrace), SecondsDefault(&Settings::shutdownGrace)},
      {"--max-connections", "N", "open connections beyond which new ones are closed",
       NumberSetter(1, std::numeric_limits<uint32_t>::max(),
                    [](Settings& s, uint64_t v) { s.maxConnections = v; }),
       [](const Settings& s) { return std::to_string(s.maxConnections); }},
      {"--tls-cert", "PEM", "certificate (and chain) file: the port speaks HTTPS only",
       [](std::string_view v, Settings& s) -> std::string {
         if (v.empty()) return "expects a path";
         s.tlsCertificatePath = std::string(v);
         return {};
       },
       [](const Settings&) { return std::string(); }},
      {"--tls-key", "PEM", "private key file of the --tls-cert certificate",
       [](std::string_view v, Settings& s) -> std::string {
         if (v.empty()) return "expects a path";
         s.tlsKeyPath = std::string(v);
         return {};
       },
       [](const Settings&) { return std::string(); }},
      {"--admin-listen", "ADDR:PORT", "serve /metrics, /healthz and /readyz here (default: off)",
       [](std::string_view v, Settings& s) -> std::string {
         const size_t colon = v.rfind(':');
         if (colon == std::string_view::npos || colon == 0) return "expects ADDR:PORT";
         std::string_view address = v.substr(0, colon);
         // An IPv6 address stands in brackets, as in a URL.
         if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
           address = address.substr(1, address.size() - 2);
         }
         uint64_t port = 0;
         if (address.empty() || !ParseNumber(v.substr(colon + 1), 0, 65535, port)) return "expects ADDR:PORT";
         s.adminAddress = std::string(address);
         s.adminPort = static_cast<uint16_t>(port);
         return {};
       },
       [](const Settings&) { return std::string(); }},
      {"--access-log", "PATH", "append one line per answered request to this file (SIGUSR1 reopens it)",
       [](std::string_view v, Settings& s) -> std::string {
         if (v.empty()) return "expects a path";
         s.accessLogPath = std::string(v);
         return {};
       },
       [](const Settings&) { return std::string(); }},
  };
  return options;
}

const Option* FindOption(std::string_view name) {
  for (const Option& option : Options()) {
    if (option.name == name) return &option;
  }
  return nullptr;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine result;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (arg == "--help" || arg == "-h") {
      result.outcome = CommandLine::Outcome::ShowHelp;
      return result;
    }
    std::string_view name = arg;
    std::string_view value;
    bool hasInlineValue = false;
    if (size_t eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      hasInlineValue = true;
    }
    const Option* option = FindOption(name);
    if (option == nullptr) {
      result.error = "unknown option \"" + std::string(arg) + "\"";
      return result;
    }
    if (option->valueName.empty()) {
      if (hasInlineValue) {
        result.error = std::string(name) + " takes no value";
        return result;
      }
    } else if (!hasInlineValue) {
      if (i + 1 >= args.size()) {
        result.error = std::string(name) + " expects a value";
        return result;
      }
      value = args[++i];
    }
    if (std::string error = option->apply(value, result.settings); !error.empty()) {
      result.error = std::string(name) + " " + error;
      return result;
    }
  }
  if (result.settings.modulePath.empty()) {
    result.error = "--module is required";
    return result;
  }
  if (!result.settings.portGiven) {
    result.error = "--port is required";
    return result;
  }
  if (result.settings.tlsCertificatePath.empty() != result.settings.tlsKeyPath.empty()) {
    result.error = "--tls-cert and --tls-key go together";
    return result;
  }
  result.outcome = CommandLine::Outcome::Run;
  return result;
}

std::string UsageText() {
  std::string text =
      "Usage: tallyhand-server --module PATH --port N [options]\n"
      "Serves HTTP/1.1 through one web-server extension module.\n\nOptions:\n";
  const Settings defaults;
  for (const Option& option : Options()) {
    std::string left = "  " + std::string(option.name);
    if (!option.valueName.empty()) left += " " + std::string(option.valueName);
    if (left.size() < 26) left.resize(26, ' ');
    else left += ' ';
    text += left + std::string(option.help);
    if (std::string value = option.defaultText(defaults); !value.empty()) {
      text += " (default " + value + ")";
    }
    text += '\n';
  }
  text += "  --help                  show this text\n";
  return text;
}

}  // namespace tallyhand::host
