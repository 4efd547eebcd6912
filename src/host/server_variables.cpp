#include "host/server_variables.h"

#include <array>

namespace tallyhand::host {
namespace {

// Beast's own string_view type, as the standard one.
std::string_view View(boost::beast::string_view text) { return {text.data(), text.size()}; }

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

// A header name as it appears after "HTTP_": upper case, '-' as '_'.
bool HeaderMatchesVariable(std::string_view header, std::string_view variableSuffix) {
  if (header.size() != variableSuffix.size()) return false;
  for (size_t i = 0; i < header.size(); ++i) {
    char c = header[i] == '-' ? '_' : Upper(header[i]);
    if (c != Upper(variableSuffix[i])) return false;
  }
  return true;
}

void AppendVariableName(std::string& out, std::string_view header) {
  for (char c : header) out += c == '-' ? '_' : Upper(c);
}

std::string AddressText(const boost::asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6()).to_string();
  }
  return address.to_string();
}

std::string_view HostWithoutPort(std::string_view host) {
  if (!host.empty() && host.front() == '[') {
    size_t close = host.find(']');
    return close == std::string_view::npos ? host : host.substr(0, close + 1);
  }
  return host.substr(0, host.find(':'));
}

enum class Variable {
  RequestMethod, QueryString, PathInfo, ScriptName, Url, ContentType, ContentLength,
  ServerName, ServerPort, ServerProtocol, RemoteAddr, RemoteHost, RemotePort, LocalAddr,
  AllHttp, AllRaw, Https, ServerPortSecure, ServerSoftware, GatewayInterface,
};

struct NamedVariable {
  std::string_view name;
  Variable variable;
};

constexpr std::array kVariables = {
    NamedVariable{"REQUEST_METHOD", Variable::RequestMethod},
    NamedVariable{"QUERY_STRING", Variable::QueryString},
    NamedVariable{"PATH_INFO", Variable::PathInfo},
    NamedVariable{"SCRIPT_NAME", Variable::ScriptName},
    NamedVariable{"URL", Variable::Url},
    NamedVariable{"CONTENT_TYPE", Variable::ContentType},
    NamedVariable{"CONTENT_LENGTH", Variable::ContentLength},
    NamedVariable{"SERVER_NAME", Variable::ServerName},
    NamedVariable{"SERVER_PORT", Variable::ServerPort},
    NamedVariable{"SERVER_PROTOCOL", Variable::ServerProtocol},
    NamedVariable{"REMOTE_ADDR", Variable::RemoteAddr},
    NamedVariable{"REMOTE_HOST", Variable::RemoteHost},
    NamedVariable{"REMOTE_PORT", Variable::RemotePort},
    NamedVariable{"LOCAL_ADDR", Variable::LocalAddr},
    NamedVariable{"ALL_HTTP", Variable::AllHttp},
    NamedVariable{"ALL_RAW", Variable::AllRaw},
    NamedVariable{"HTTPS", Variable::Https},
    NamedVariable{"SERVER_PORT_SECURE", Variable::ServerPortSecure},
    NamedVariable{"SERVER_SOFTWARE", Variable::ServerSoftware},
    NamedVariable{"GATEWAY_INTERFACE", Variable::GatewayInterface},
};

void ComputeVariable(Variable variable, const RequestFacts& facts, std::string& value) {
  const HttpRequest& request = *facts.request;
  switch (variable) {
    case Variable::RequestMethod: value = View(request.method_string()); break;
    case Variable::QueryString: value = facts.query; break;
    case Variable::PathInfo: value = facts.pathInfo; break;
    case Variable::ScriptName: value = facts.mountPrefix; break;
    case Variable::Url: value = facts.path; break;
    case Variable::ContentType: value = View(request[boost::beast::http::field::content_type]); break;
    case Variable::ContentLength: value = std::to_string(facts.contentLength); break;
    case Variable::ServerName: {
      auto host = request.find(boost::beast::http::field::host);
      std::string_view name = host != request.end() ? HostWithoutPort(View(host->value())) : std::string_view();
      value = name.empty() ? AddressText(facts.local.address()) : std::string(name);
      break;
    }
    case Variable::ServerPort: value = std::to_string(facts.local.port()); break;
    case Variable::ServerProtocol:
      value = request.version() == 10 ? "HTTP/1.0" : "HTTP/1.1";
      break;
    case Variable::RemoteAddr:
    case Variable::RemoteHost: value = AddressText(facts.remote.address()); break;
    case Variable::RemotePort: value = std::to_string(facts.remote.port()); break;
    case Variable::LocalAddr: value = AddressText(facts.local.address()); break;
    case Variable::AllHttp:
      value.clear();
      for (const auto& field : request) {
        value += "HTTP_";
        AppendVariableName(value, View(field.name_string()));
        value += ':';
        value += View(field.value());
        value += '\n';
      }
      break;
    case Variable::AllRaw:
      value.clear();
      for (const auto& field : request) {
        value += View(field.name_string());
        value += ": ";
        value += View(field.value());
        value += "\r\n";
      }
      break;
    case Variable::Https: value = facts.secure ? "on" : "off"; break;
    case Variable::ServerPortSecure: value = facts.secure ? "1" : "0"; break;
    case Variable::ServerSoftware: value = "tallyhand-server"; break;
    case Variable::GatewayInterface: value = "CGI/1.1"; break;
  }
}

}  // namespace

bool FindServerVariable(std::string_view name, const RequestFacts& facts, std::string& value) {
  if (facts.request == nullptr) return false;
  for (const NamedVariable& known : kVariables) {
    if (EqualsIgnoringCase(name, known.name)) {
      ComputeVariable(known.variable, facts, value);
      return true;
    }
  }
  constexpr std::string_view kHeaderPrefix = "HTTP_";
  if (name.size() > kHeaderPrefix.size() && EqualsIgnoringCase(name.substr(0, 5), kHeaderPrefix)) {
    std::string_view suffix = name.substr(kHeaderPrefix.size());
    bool found = false;
    for (const auto& field : *facts.request) {
      if (!HeaderMatchesVariable(View(field.name_string()), suffix)) continue;
      if (found) value += ", ";
      else value.clear();
      value += View(field.value());
      found = true;
    }
    return found;
  }
  return false;
}

}  // namespace tallyhand::host
