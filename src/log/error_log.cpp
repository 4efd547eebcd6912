#include "log/error_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "platform/codepage.h"
#include "platform/datetime.h"
#include "platform/exception.h"
#include "platform/file_descriptor.h"
#include "platform/operating_figures.h"
#include "platform/text_file.h"

namespace tallyhand {
namespace {

constexpr const char* kLineTimePattern = "mm/dd/yyyy hh:nn:ss";
constexpr const char* kSwitchKey = "DebugLoggingEnabled";
constexpr const char* kReloadFailure = "Cound not load the previous log:";

std::string ModuleFolder(std::string_view modulePath) {
  const std::size_t slash = modulePath.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(modulePath.substr(0, slash + 1));
}

// The switch is on when its value, with A to Z lowered, contains "true" anywhere.
bool SwitchIsOn(std::string value) {
  for (char& c : value) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return value.find("true") != std::string::npos;
}

bool IsBlankPath(std::string_view path) {
  for (char c : path) {
    if (static_cast<unsigned char>(c) > ' ') return false;
  }
  return true;
}

bool FileExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

[[noreturn]] void RaiseFileError(int error) {
  if (IsResourceExhaustion(error)) throw EResourceExhausted(std::strerror(error));
  throw EInOutError(std::strerror(error));
}

// Opens, appends and closes: no handle stays open between lines, so other processes may
// read the file in between. A write that fails part-way is cut off again, so the file
// never ends in half a line.
void AppendToFile(const std::string& path, std::string_view bytes) {
  FileDescriptor file(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
  if (file.Get() < 0) RaiseFileError(errno);
  const off_t end = ::lseek(file.Get(), 0, SEEK_END);
  if (const int error = WriteAll(file.Get(), bytes)) {
    if (end >= 0) (void)::ftruncate(file.Get(), end);
    RaiseFileError(error);
  }
  if (file.Close() != 0) RaiseFileError(errno);
}

// The physical lines a text makes in the file: every CR, LF or CR LF starts a new one.
std::vector<std::string> PhysicalLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      lines.emplace_back(text.substr(start, i - start));
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      start = i + 1;
    }
  }
  lines.emplace_back(text.substr(start));
  return lines;
}

std::string TimeStampedLine(std::string_view msg) {
  std::string line = FormatDateTime(kLineTimePattern, Now());
  line += '\t';
  line += msg;
  return line;
}

// The existing log's lines, or the text of the failure to read them.
struct LoadedLog {
  TextLines text;
  std::optional<std::string> failure;
};

LoadedLog LoadExistingLog(const std::string& path) {
  LoadedLog loaded;
  if (!FileExists(path)) return loaded;
  try {
    loaded.text = ReadTextLines(path);
  } catch (const Exception& e) {
    loaded.failure = e.Message();
  }
  return loaded;
}

void KeepLastLines(std::vector<std::string>& lines, std::size_t count) {
  if (lines.size() > count) lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(count));
}

std::atomic<TErrorLog*> installedLog{nullptr};

}  // namespace

std::string LogFileForModule(std::string_view modulePath) {
  const std::size_t slash = modulePath.rfind('/');
  const std::size_t nameStart = slash == std::string_view::npos ? 0 : slash + 1;
  const std::size_t dot = modulePath.rfind('.');
  if (dot != std::string_view::npos && dot >= nameStart) {
    return std::string(modulePath.substr(0, dot)) + "Log.txt";
  }
  return std::string(modulePath) + "Log.txt";
}

TErrorLog::TErrorLog() : style_(LogStyle::Switched) {}

TErrorLog::TErrorLog(std::string modulePath, LogStyle style)
    : modulePath_(std::move(modulePath)), style_(style) {
  if (style_ == LogStyle::Switched) {
    const TextLines dataIni = ReadTextLines(ModuleFolder(modulePath_) + "data.ini");
    logEvents_ = SwitchIsOn(LastKeyLineValue(dataIni.lines, kSwitchKey));
  } else {
    logEvents_ = true;
  }
  logFile_ = LogFileForModule(modulePath_);
}

void TErrorLog::AddToLog(std::string_view msg) {
  if (!logEvents_) return;
  std::lock_guard lock(lock_);
  if (IsBlankPath(logFile_)) return;
  try {
    WriteLine(msg);
    linesLost_ = false;
  } catch (const EResourceExhausted& e) {
    // A full disk must not turn every answer into an error: the line is lost, the file
    // stays whole, and logging goes on once there is room again.
    Figures().CountEventLogWriteError();
    ReportLostLines(e.Message());
  } catch (...) {
    Figures().CountEventLogWriteError();
    throw;
  }
}

void TErrorLog::WriteLine(std::string_view msg) {
  const std::string line = TimeStampedLine(msg);
  if (style_ == LogStyle::Switched) {
    AppendToFile(logFile_, Utf8ToCp1252(line + "\r\n"));
    return;
  }
  // Every line rewrites the file to its most recent lines.
  LoadedLog log = LoadExistingLog(logFile_);
  if (log.failure) {
    // Rewriting would replace the unreadable log by these lines; add them to it instead.
    AppendToFile(logFile_, Utf8ToCp1252(kReloadFailure + *log.failure + "\r\n" + line + "\r\n"));
    return;
  }
  for (auto& physical : PhysicalLines(line)) log.text.lines.push_back(std::move(physical));
  KeepLastLines(log.text.lines, kKeptLines);
  WriteTextLines(logFile_, log.text.lines, log.text.encoding);
}

void TErrorLog::ClearLog() {
  std::lock_guard lock(lock_);
  if (IsBlankPath(logFile_)) return;
  LoadedLog log = LoadExistingLog(logFile_);
  try {
    if (log.failure) {
      // Writing the list back would replace the whole log by the failure line: keep the
      // log and add the line to it.
      AppendToFile(logFile_, Utf8ToCp1252(kReloadFailure + *log.failure + "\r\n"));
      return;
    }
    KeepLastLines(log.text.lines, kKeptLines);
    WriteTextLines(logFile_, log.text.lines, log.text.encoding);
  } catch (const EResourceExhausted& e) {
    // The log stays as it was, untrimmed, and the unload goes on.
    Figures().CountEventLogWriteError();
    ReportLostLines(e.Message());
  }
}

void TErrorLog::ReportLostLines(const std::string& cause) {
  // The log cannot tell of its own trouble; standard error can, once per episode.
  if (linesLost_) return;
  linesLost_ = true;
  std::fprintf(stderr, "event log %s: lines lost until there is room again: %s\n",
               logFile_.c_str(), cause.c_str());
}

TErrorLog& EventLog() {
  if (TErrorLog* log = installedLog.load(std::memory_order_acquire)) return *log;
  // Switched off: logging before a log is installed, or after it is gone, is harmless.
  static TErrorLog disabled;
  return disabled;
}

void SetEventLog(TErrorLog* log) { installedLog.store(log, std::memory_order_release); }

}  // namespace tallyhand
