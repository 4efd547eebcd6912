#include "host/access_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace tallyhand::host {
namespace {

int OpenForAppending(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

// A client's text inside a quoted field: control characters, quotes and backslashes
// could forge lines or fields, so they are shown escaped, as nginx does ("\x22").
void AppendQuoted(std::string& line, std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  line += '"';
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == '"' || byte == '\\' || byte >= 0x7f) {
      line += "\\x";
      line += kHex[byte >> 4];
      line += kHex[byte & 0xf];
    } else {
      line += c;
    }
  }
  line += '"';
}

void AppendQuotedOrDash(std::string& line, std::string_view text) {
  if (text.empty()) {
    line += "\"-\"";
  } else {
    AppendQuoted(line, text);
  }
}

}  // namespace

std::string FormatAccessLine(const AccessRecord& record, std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char stamp[64];
  std::strftime(stamp, sizeof stamp, "%d/%b/%Y:%H:%M:%S %z", &local);
  std::string line = record.client.to_string();
  line += " - - [";
  line += stamp;
  line += "] ";
  std::string request(record.method);
  request += ' ';
  request += record.target;
  request += " HTTP/" + std::to_string(record.version / 10) + "." + std::to_string(record.version % 10);
  AppendQuoted(line, request);
  line += ' ' + std::to_string(record.status) + ' ';
  line += record.bytes == 0 ? std::string("-") : std::to_string(record.bytes);
  line += ' ';
  AppendQuotedOrDash(line, record.referer);
  line += ' ';
  AppendQuotedOrDash(line, record.userAgent);
  line += ' ' + std::to_string(record.duration.count()) + '\n';
  return line;
}

AccessLog::~AccessLog() {
  if (fd_ >= 0) ::close(fd_);
}

bool AccessLog::Open(const std::string& path, std::string& error) {
  fd_ = OpenForAppending(path);
  if (fd_ < 0) {
    error = "cannot open access log \"" + path + "\": " + std::strerror(errno);
    return false;
  }
  path_ = path;
  return true;
}

void AccessLog::Write(const AccessRecord& record) {
  if (fd_ < 0) return;
  const std::string line = FormatAccessLine(record, std::time(nullptr));
  // O_APPEND puts each write at the end as one piece; a short write (a full disk) would
  // leave half a line, which the next line then follows.
  ssize_t written;
  do {
    written = ::write(fd_, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  if (written != static_cast<ssize_t>(line.size())) writeErrors_.fetch_add(1, std::memory_order_relaxed);
}

bool AccessLog::Reopen(std::string& error) {
  if (fd_ < 0) return true;
  const int fresh = OpenForAppending(path_);
  if (fresh < 0) {
    error = "cannot reopen access log \"" + path_ + "\": " + std::strerror(errno);
    return false;
  }
  // dup3 swaps the file behind the descriptor in one step: a writer's line goes whole
  // to the old file or the new one, never lost, and no lock is needed.
  bool swapped = ::dup3(fresh, fd_, O_CLOEXEC) >= 0;
  if (!swapped) error = "cannot reopen access log \"" + path_ + "\": " + std::strerror(errno);
  ::close(fresh);
  return swapped;
}

}  // namespace tallyhand::host
