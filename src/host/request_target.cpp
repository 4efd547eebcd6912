#include "host/request_target.h"

#include <cctype>

namespace tallyhand::host {

RequestTarget SplitRequestTarget(std::string_view target) {
  if (!target.empty() && target.front() != '/') {
    if (size_t scheme = target.find("://"); scheme != std::string_view::npos) {
      size_t pathStart = target.find_first_of("/?", scheme + 3);
      target = pathStart == std::string_view::npos ? std::string_view("/")
                                                   : target.substr(pathStart);
    }
  }
  RequestTarget parts;
  size_t question = target.find('?');
  parts.path = target.substr(0, question);
  if (question != std::string_view::npos) parts.query = target.substr(question + 1);
  return parts;
}

std::optional<std::string_view> PathInfoUnderMount(std::string_view path, std::string_view prefix) {
  if (prefix.empty()) return path;
  if (path.size() < prefix.size()) return std::nullopt;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(path[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i]))) {
      return std::nullopt;
    }
  }
  std::string_view rest = path.substr(prefix.size());
  if (!rest.empty() && rest.front() != '/') return std::nullopt;
  return rest;
}

}  // namespace tallyhand::host
