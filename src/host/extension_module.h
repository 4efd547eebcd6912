// One extension module loaded into the host: its three entry points, checked at load.
#pragma once

#include <string>

#include "isapi/httpext.h"

namespace tallyhand::host {

class ExtensionModule {
 public:
  ExtensionModule() = default;
  ~ExtensionModule();
  ExtensionModule(const ExtensionModule&) = delete;
  ExtensionModule& operator=(const ExtensionModule&) = delete;

  // Loads the module and resolves its exports; on failure returns false and says why,
  // naming the call that failed.
  bool Load(const std::string& path, std::string& error);
  // Calls GetExtensionVersion; false (with the reason) when the module refuses to start.
  bool Start(std::string& description, std::string& error);

  DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb) const { return httpExtensionProc_(ecb); }

  // Calls TerminateExtension once, if the module was started.
  void Terminate();
  // Unloads the module; every call into it must have returned.
  void Unload();

 private:
  void* handle_ = nullptr;
  bool started_ = false;
  PFN_GETEXTENSIONVERSION getExtensionVersion_ = nullptr;
  PFN_HTTPEXTENSIONPROC httpExtensionProc_ = nullptr;
  PFN_TERMINATEEXTENSION terminateExtension_ = nullptr;
};

}  // namespace tallyhand::host
