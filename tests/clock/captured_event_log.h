// Installs a switched-on event log in a temporary folder for one test and reads back the
// messages it received.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "log/error_log.h"

namespace tallyhand::testing {

class CapturedEventLog {
 public:
  CapturedEventLog() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tallyhand-clock-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
    std::ofstream(folder_ / "data.ini") << "DebugLoggingEnabled=true\r\n";
    log_ = std::make_unique<TErrorLog>((folder_ / "Tallyhand_az.so").string(), LogStyle::Switched);
    SetEventLog(log_.get());
  }
  ~CapturedEventLog() {
    SetEventLog(nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  CapturedEventLog(const CapturedEventLog&) = delete;
  CapturedEventLog& operator=(const CapturedEventLog&) = delete;

  // The messages of the lines written so far, time stamps and TABs removed. A message
  // holding line breaks shows as several entries.
  std::vector<std::string> Messages() const {
    std::ifstream file(log_->LogFile(), std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    std::vector<std::string> messages;
    std::string line;
    std::istringstream lines(content.str());
    while (std::getline(lines, line, '\n')) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      // "mm/dd/yyyy hh:nn:ss" and a TAB open every line that starts a message.
      const bool stamped = line.size() >= 20 && line[2] == '/' && line[19] == '\t';
      messages.push_back(stamped ? line.substr(20) : line);
    }
    return messages;
  }

  const std::filesystem::path& Folder() const { return folder_; }

 private:
  std::filesystem::path folder_;
  std::unique_ptr<TErrorLog> log_;
};

}  // namespace tallyhand::testing
