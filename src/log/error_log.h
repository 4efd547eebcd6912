// The event log: one text file beside the module, one line per event.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tallyhand {

enum class LogStyle {
  // Lines appended only while data.ini switches logging on; trimmed by ClearLog.
  Switched,
  // Every line written; each write rewrites the file to its last 5000 lines.
  AlwaysRewrite,
};

class TErrorLog {
 public:
  // modulePath is the module file; the log is that path with its extension replaced by
  // "Log.txt". Switched style reads the switch from data.ini in the module's folder and
  // raises EFOpenError when data.ini cannot be read.
  TErrorLog(std::string modulePath, LogStyle style);
  // A log that is switched off and has no file: it never writes, and ClearLog does nothing.
  TErrorLog();

  // Both raise EInOutError on a file failure, except when the disk is full (or no
  // descriptor is left): then the line is lost (the trim skipped), the file stays whole,
  // and the loss is reported once on standard error.
  void AddToLog(std::string_view msg);
  void ClearLog();
  bool LogEvents() const { return logEvents_; }
  const std::string& LogFile() const { return logFile_; }

  static constexpr std::size_t kKeptLines = 5000;

 private:
  void WriteLine(std::string_view msg);
  void ReportLostLines(const std::string& cause);

  std::recursive_mutex lock_;
  std::string modulePath_;
  std::string logFile_;
  LogStyle style_;
  bool logEvents_ = false;
  // Set once a line was lost for want of room; guarded by lock_.
  bool linesLost_ = false;
};

// The log file path for a module path: its extension replaced by "Log.txt".
std::string LogFileForModule(std::string_view modulePath);

}  // namespace tallyhand

namespace tallyhand {
// The process-wide event log every subsystem writes to. The extension installs it at
// load; tests install their own. Never null once installed.
TErrorLog& EventLog();
void SetEventLog(TErrorLog* log);
}  // namespace tallyhand
