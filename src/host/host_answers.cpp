#include "host/host_answers.h"

#include <array>
#include <string>

namespace tallyhand::host {
namespace {

struct AnswerText {
  unsigned status;
  std::string_view reason;
};

constexpr std::array<AnswerText, 5> kAnswers = {{
    {400, "Bad Request"},
    {404, "Not Found"},
    {413, "Payload Too Large"},
    {431, "Request Header Fields Too Large"},
    {503, "Service Unavailable"},
}};

std::string BuildAnswer(const AnswerText& text) {
  std::string title = std::to_string(text.status) + " " + std::string(text.reason);
  std::string body = "<html><head><title>" + title + "</title></head><body><h1>" + title +
                     "</h1></body></html>";
  return "HTTP/1.1 " + title + "\r\nContent-Type: text/html\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

const std::array<std::string, 5>& Answers() {
  static const std::array<std::string, 5> answers = [] {
    std::array<std::string, 5> built;
    for (size_t i = 0; i < kAnswers.size(); ++i) built[i] = BuildAnswer(kAnswers[i]);
    return built;
  }();
  return answers;
}

}  // namespace

std::string_view HostAnswerBytes(HostAnswer answer) {
  return Answers()[static_cast<size_t>(answer)];
}

unsigned HostAnswerStatus(HostAnswer answer) { return kAnswers[static_cast<size_t>(answer)].status; }

}  // namespace tallyhand::host
