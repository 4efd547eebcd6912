// Where the extension and its host live on disk.
#pragma once

#include <string>

namespace tallyhand {

// Full path of the shared object that holds this code (the extension module), or of
// the executable when the code is linked into one.
std::string ModulePath();

// The module's folder, ending with '/'.
std::string ModuleFolder();

// Full path of the host process's executable, asked of the system once and reused.
const std::string& HostExecutablePath();

// The folder part of a path, ending with '/'; "./" when the path has none.
std::string FolderOf(const std::string& path);

}  // namespace tallyhand
