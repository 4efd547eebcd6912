// The module's entry: the load-time set-up and the three exports. Compiled once per
// build; TALLYHAND_AZ_BUILD chooses which.
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string>
#include <exception>
#include <memory>

#include "extension/extension_app.h"
#include "extension/web_module.h"
#include "isapi/figures_export.h"
#include "platform/module_path.h"

#ifndef TALLYHAND_AZ_BUILD
#error "TALLYHAND_AZ_BUILD must be defined to 1 (az build) or 0 (standard build)"
#endif

namespace {

constexpr tallyhand::Build kThisBuild =
    TALLYHAND_AZ_BUILD ? tallyhand::Build::Az : tallyhand::Build::Standard;

// Made when the module is loaded; null when the set-up failed (data.ini unreadable),
// in which case the module refuses to start.
std::unique_ptr<tallyhand::ExtensionApp> CreateAppAtLoad() {
  try {
    return std::make_unique<tallyhand::ExtensionApp>(kThisBuild, tallyhand::ModulePath());
  } catch (const std::exception& error) {
    // No event log exists yet; the host's error output is the only place to say why.
    std::fprintf(stderr, "Tallyhand: the extension cannot start: %s\n", error.what());
    return nullptr;
  } catch (...) {
    return nullptr;
  }
}

// Destroyed when the module is unloaded, which destroys every web module instance.
std::unique_ptr<tallyhand::ExtensionApp> theApp = CreateAppAtLoad();

}  // namespace

extern "C" {

__attribute__((visibility("default"))) BOOL GetExtensionVersion(HSE_VERSION_INFO* version) {
  try {
    return theApp && theApp->GetExtensionVersion(version) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

__attribute__((visibility("default"))) DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb) {
  if (!theApp || ecb == nullptr) return HSE_STATUS_ERROR;
  return theApp->HttpExtensionProc(ecb);
}

__attribute__((visibility("default"))) BOOL TerminateExtension(DWORD /*flags*/) {
  try {
    if (theApp) theApp->TerminateExtension();
  } catch (...) {
  }
  return 1;
}

namespace {

BOOL ReadFiguresExport(TALLYHAND_EXTENSION_FIGURES* figures) {
  if (!theApp || figures == nullptr) return 0;
  try {
    *figures = TALLYHAND_EXTENSION_FIGURES{};
    theApp->ReadFigures(*figures);
    return 1;
  } catch (...) {
    return 0;
  }
}

BOOL CheckReadyExport(char* reason, DWORD reasonSize) {
  std::string why = "the extension did not start";
  try {
    if (theApp && theApp->CheckReady(why)) return 1;
  } catch (...) {
    why = "unknown error";
  }
  if (reason != nullptr && reasonSize > 0) {
    const std::size_t length = std::min<std::size_t>(why.size(), reasonSize - 1);
    std::memcpy(reason, why.data(), length);
    reason[length] = '\0';
  }
  return 0;
}

// The paths of the web module's action table.
constexpr TALLYHAND_ACTION_PATH kActionPaths[] = {
    {"test", tallyhand::kTestPathInfo.data()},
    {"client_request", tallyhand::kClientRequestPathInfo.data()},
    {"upload", tallyhand::kClientFilePathInfo.data()},
};

}  // namespace

__attribute__((visibility("default"))) extern const TALLYHAND_FIGURES_EXPORT TallyhandFiguresExport;
const TALLYHAND_FIGURES_EXPORT TallyhandFiguresExport = {
    TALLYHAND_FIGURES_VERSION,
    sizeof(TALLYHAND_FIGURES_EXPORT),
    sizeof(TALLYHAND_EXTENSION_FIGURES),
    sizeof kActionPaths / sizeof kActionPaths[0],
    kActionPaths,
    &ReadFiguresExport,
    &CheckReadyExport,
};

}  // extern "C"
