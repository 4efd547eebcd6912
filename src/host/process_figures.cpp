#include "host/process_figures.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace tallyhand::host {
namespace {

std::optional<std::string> ReadWhole(const char* path) {
  std::ifstream file(path);
  if (!file) return std::nullopt;
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// The boot time in seconds since the epoch (the "btime" line of /proc/stat).
std::optional<double> BootTime() {
  std::ifstream file("/proc/stat");
  std::string line;
  while (std::getline(file, line)) {
    if (line.rfind("btime ", 0) == 0) return std::strtod(line.c_str() + 6, nullptr);
  }
  return std::nullopt;
}

uint64_t CountOpenDescriptors() {
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) return 0;
  uint64_t count = 0;
  while (const dirent* entry = readdir(folder)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(folder);
  // The folder's own descriptor was open while counting.
  return count > 0 ? count - 1 : 0;
}

}  // namespace

std::optional<ProcessFigures> ReadProcessFigures() {
  std::optional<std::string> stat = ReadWhole("/proc/self/stat");
  std::optional<double> bootTime = BootTime();
  if (!stat || !bootTime) return std::nullopt;
  // The command name may hold spaces and parentheses: the fields start after the last ')'.
  const std::size_t close = stat->rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(stat->substr(close + 1));
  // Fields 3 to 24 of proc(5): state, ppid ... starttime, vsize, rss.
  std::string field;
  unsigned long long utime = 0, stime = 0, starttime = 0, vsize = 0;
  long long rss = 0;
  for (int number = 3; number <= 24 && fields >> field; ++number) {
    if (number == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
    if (number == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
    if (number == 22) starttime = std::strtoull(field.c_str(), nullptr, 10);
    if (number == 23) vsize = std::strtoull(field.c_str(), nullptr, 10);
    if (number == 24) rss = std::strtoll(field.c_str(), nullptr, 10);
  }
  const long ticks = sysconf(_SC_CLK_TCK);
  const long pageSize = sysconf(_SC_PAGESIZE);
  if (ticks <= 0 || pageSize <= 0) return std::nullopt;
  ProcessFigures figures;
  figures.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(ticks);
  figures.startTimeSeconds = *bootTime + static_cast<double>(starttime) / static_cast<double>(ticks);
  figures.virtualBytes = vsize;
  figures.residentBytes = rss > 0 ? static_cast<uint64_t>(rss) * static_cast<uint64_t>(pageSize) : 0;
  figures.openDescriptors = CountOpenDescriptors();
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) figures.maxDescriptors = limit.rlim_cur;
  return figures;
}

}  // namespace tallyhand::host
