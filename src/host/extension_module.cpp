#include "host/extension_module.h"

#include <dlfcn.h>

#include <cstring>

namespace tallyhand::host {
namespace {

std::string LastDlError() {
  const char* text = dlerror();
  return text != nullptr ? text : "unknown error";
}

}  // namespace

ExtensionModule::~ExtensionModule() { Unload(); }

bool ExtensionModule::Load(const std::string& path, std::string& error) {
  // dlopen searches the library path for a name without a slash; the host means a file.
  std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  dlerror();
  handle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    error = "dlopen(\"" + file + "\") failed: " + LastDlError();
    return false;
  }
  struct Export {
    const char* name;
    void** slot;
  };
  const Export exports[] = {
      {"GetExtensionVersion", reinterpret_cast<void**>(&getExtensionVersion_)},
      {"HttpExtensionProc", reinterpret_cast<void**>(&httpExtensionProc_)},
      {"TerminateExtension", reinterpret_cast<void**>(&terminateExtension_)},
  };
  std::string missing;
  for (const Export& entry : exports) {
    dlerror();
    *entry.slot = dlsym(handle_, entry.name);
    if (*entry.slot == nullptr) {
      if (!missing.empty()) missing += ", ";
      missing += entry.name;
    }
  }
  if (!missing.empty()) {
    error = "module \"" + file + "\" does not export " + missing;
    Unload();
    return false;
  }
  return true;
}

bool ExtensionModule::Start(std::string& description, std::string& error) {
  HSE_VERSION_INFO info;
  std::memset(&info, 0, sizeof info);
  if (!getExtensionVersion_(&info)) {
    error = "GetExtensionVersion returned FALSE";
    return false;
  }
  started_ = true;
  info.lpszExtensionDesc[HSE_MAX_EXT_DLL_NAME_LEN - 1] = '\0';
  description = info.lpszExtensionDesc;
  return true;
}

void ExtensionModule::Terminate() {
  if (!started_) return;
  started_ = false;
  terminateExtension_(HSE_TERM_MUST_UNLOAD);
}

void ExtensionModule::Unload() {
  if (handle_ == nullptr) return;
  dlclose(handle_);
  handle_ = nullptr;
  getExtensionVersion_ = nullptr;
  httpExtensionProc_ = nullptr;
  terminateExtension_ = nullptr;
}

}  // namespace tallyhand::host
