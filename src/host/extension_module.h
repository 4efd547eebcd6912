// One extension module loaded into the host: its three entry points, checked at load.
#pragma once

#include <string>

#include "isapi/figures_export.h"
#include "isapi/httpext.h"

namespace tallyhand::host {

class ExtensionModule {
 public:
  ExtensionModule() = default;
  ~ExtensionModule();
  ExtensionModule(const ExtensionModule&) = delete;
  ExtensionModule& operator=(const ExtensionModule&) = delete;

  // Loads the module and resolves its exports (the figures export is optional); on failure returns false and says why,
  // naming the call that failed.
  bool Load(const std::string& path, std::string& error);
  // Calls GetExtensionVersion; false (with the reason) when the module refuses to start.
  bool Start(std::string& description, std::string& error);

  DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb) const { return httpExtensionProc_(ecb); }

  // The module's figures export; null when it has none, or one of another version or
  // size (then FiguresWarning says why).
  const TALLYHAND_FIGURES_EXPORT* FiguresExport() const { return figures_; }
  const std::string& FiguresWarning() const { return figuresWarning_; }

  // Calls TerminateExtension once, if the module was started.
  void Terminate();
  // Unloads the module; every call into it must have returned.
  void Unload();

 private:
  void LookUpFigures(const std::string& file);

  void* handle_ = nullptr;
  bool started_ = false;
  PFN_GETEXTENSIONVERSION getExtensionVersion_ = nullptr;
  PFN_HTTPEXTENSIONPROC httpExtensionProc_ = nullptr;
  PFN_TERMINATEEXTENSION terminateExtension_ = nullptr;
  const TALLYHAND_FIGURES_EXPORT* figures_ = nullptr;
  std::string figuresWarning_;
};

}  // namespace tallyhand::host
