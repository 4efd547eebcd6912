#include "platform/module_path.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <vector>

namespace tallyhand {

std::string ModulePath() {
  Dl_info info{};
  // Any symbol of this module finds the module's own file, not the host's.
  if (dladdr(reinterpret_cast<const void*>(&ModulePath), &info) != 0 && info.dli_fname != nullptr) {
    char resolved[PATH_MAX];
    if (realpath(info.dli_fname, resolved) != nullptr) return resolved;
    return info.dli_fname;
  }
  return HostExecutablePath();
}

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return "./";
  return path.substr(0, slash + 1);
}

std::string ModuleFolder() { return FolderOf(ModulePath()); }

const std::string& HostExecutablePath() {
  static const std::string path = [] {
    std::vector<char> buffer(PATH_MAX + 1);
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    return length > 0 ? std::string(buffer.data(), static_cast<size_t>(length)) : std::string();
  }();
  return path;
}

}  // namespace tallyhand
