#include "host/response_header.h"

#include <charconv>

namespace tallyhand::host {
namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
    char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] + 32) : b[i];
    if (x != y) return false;
  }
  return true;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

bool HasCloseToken(std::string_view value) {
  while (!value.empty()) {
    size_t comma = value.find(',');
    if (EqualsIgnoringCase(TrimBlanks(value.substr(0, comma)), "close")) return true;
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return false;
}

}  // namespace

ResponseFraming ReadResponseFraming(std::string_view status, std::string_view headers) {
  ResponseFraming framing;
  unsigned code = 0;
  auto [end, ec] = std::from_chars(status.data(), status.data() + status.size(), code);
  if (ec == std::errc() && end - status.data() == 3 && code >= 100) framing.statusCode = code;

  int lengthFields = 0;
  bool lengthValid = true;
  bool transferEncoding = false;
  while (!headers.empty()) {
    size_t newline = headers.find('\n');
    std::string_view line = headers.substr(0, newline);
    headers.remove_prefix(newline == std::string_view::npos ? headers.size() : newline + 1);
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view name = line.substr(0, colon);
    std::string_view value = TrimBlanks(line.substr(colon + 1));
    if (EqualsIgnoringCase(name, "Content-Length")) {
      ++lengthFields;
      uint64_t length = 0;
      auto [stop, error] = std::from_chars(value.data(), value.data() + value.size(), length);
      if (error != std::errc() || stop != value.data() + value.size() || value.empty()) {
        lengthValid = false;
      }
      framing.contentLength = length;
    } else if (EqualsIgnoringCase(name, "Transfer-Encoding")) {
      transferEncoding = true;
    } else if (EqualsIgnoringCase(name, "Connection")) {
      framing.connectionClose = framing.connectionClose || HasCloseToken(value);
    }
  }
  framing.lengthKnown = lengthFields == 1 && lengthValid && !transferEncoding;
  if (!framing.lengthKnown) framing.contentLength = 0;
  return framing;
}

bool AppendResponseHeader(std::string& out, const char* status, const char* headers,
                          ResponseFraming& framing) {
  std::string_view statusText = status != nullptr && *status != '\0' ? status : "200 OK";
  if (statusText.find_first_of("\r\n") != std::string_view::npos) return false;
  std::string_view block = headers != nullptr ? headers : "";
  framing = ReadResponseFraming(statusText, block);
  out.append("HTTP/1.1 ");
  out.append(statusText);
  out.append("\r\n");
  out.append(block);
  // The block must end with an empty line; a lone line break is an empty block.
  bool complete = block == "\r\n" || block == "\n" || block.ends_with("\n\r\n") ||
                  block.ends_with("\n\n");
  if (!complete) out.append(block.empty() || block.ends_with('\n') ? "\r\n" : "\r\n\r\n");
  return true;
}

}  // namespace tallyhand::host
