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
  LookUpFigures(file);
  return true;
}

void ExtensionModule::LookUpFigures(const std::string& file) {
  // Checked as a plug-in is: a module built against another layout is not read.
  dlerror();
  const auto* figures = static_cast<const TALLYHAND_FIGURES_EXPORT*>(dlsym(handle_, TALLYHAND_FIGURES_EXPORT_NAME));
  if (figures == nullptr) return;
  if (figures->version != TALLYHAND_FIGURES_VERSION || figures->size != sizeof(TALLYHAND_FIGURES_EXPORT) ||
      figures->figuresSize != sizeof(TALLYHAND_EXTENSION_FIGURES) || figures->ReadFigures == nullptr ||
      figures->CheckReady == nullptr) {
    figuresWarning_ = "module \"" + file + "\" exports " TALLYHAND_FIGURES_EXPORT_NAME " version " +
                      std::to_string(figures->version) + " of size " + std::to_string(figures->size) +
                      ", expected version " + std::to_string(TALLYHAND_FIGURES_VERSION) + " of size " +
                      std::to_string(sizeof(TALLYHAND_FIGURES_EXPORT)) + "; its figures are not read";
    return;
  }
  figures_ = figures;
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
  figures_ = nullptr;
}

}  // namespace tallyhand::host
