// The few answers the host gives itself, before or instead of the extension.
#pragma once

#include <string_view>

namespace tallyhand::host {

enum class HostAnswer {
  BadRequest,           // 400: the request could not be parsed
  NotFound,             // 404: the path lies outside the mount prefix
  PayloadTooLarge,      // 413: the body exceeds the body limit
  HeaderTooLarge,       // 431: the header exceeds the header limit
  ServiceUnavailable,   // 503: the bodies held in memory are at their cap
};

// The whole response, status line to body; the connection is closed after it.
std::string_view HostAnswerBytes(HostAnswer answer);
unsigned HostAnswerStatus(HostAnswer answer);

// The interim answer to "Expect: 100-continue".
inline constexpr std::string_view kContinueAnswer = "HTTP/1.1 100 Continue\r\n\r\n";

}  // namespace tallyhand::host
