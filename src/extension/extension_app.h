// The loaded extension: its event log, the shared data module, the pool of web module
// instances and the worker threads that serve queued requests.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "clock/BaseGlobConstants.h"
#include "isapi/figures_export.h"
#include "isapi/httpext.h"
#include "log/error_log.h"
#include "platform/work_queue.h"

namespace tallyhand {

class TDispatcherWM;
class TErrorLog;
class TMainDM;

inline constexpr int kWorkerThreadCount = 25;
inline constexpr int kMaxActiveWebModules = 32;
inline constexpr int kWorkerStopWaitSeconds = 120;

class ExtensionApp {
 public:
  // Load-time set-up: the event log from the module folder's data.ini.
  // Raises when data.ini cannot be read (the module then refuses to start).
  ExtensionApp(Build build, std::string modulePath);
  ~ExtensionApp();  // destroys every web module instance (unload)

  Build GetBuild() const { return build_; }
  TErrorLog& Log() { return *log_; }
  const std::string& ModuleFolder() const { return moduleFolder_; }

  // The shared data module; null until the first web module made it.
  TMainDM* MainDM() { return mainDM_.get(); }
  // Called by WebModuleCreate under the pool lock: makes the data module once.
  TMainDM& CreateMainDMOnce(bool& created);
  void FreeMainDM();

  // The three entry points.
  bool GetExtensionVersion(HSE_VERSION_INFO* version);
  DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb);
  bool TerminateExtension();

  // The figures export: what the test page checks, without a worker (false with the
  // reason), and the extension's figures; both callable from any thread.
  bool CheckReady(std::string& reason);
  void ReadFigures(TALLYHAND_EXTENSION_FIGURES& figures);

 private:
  // Installs the key store data.ini's [SessionKeys] names; false (logged and on standard
  // error) when its settings are not usable.
  bool UseConfiguredKeyStore();
  std::unique_ptr<TDispatcherWM> AcquireWebModule();
  void ReleaseWebModule(std::unique_ptr<TDispatcherWM> module);
  // Serves one request with a pooled web module; true when an action served it
  // without raising.
  bool ServeRequest(EXTENSION_CONTROL_BLOCK* ecb);
  void StartWorkersOnce();
  void WorkerLoop();

  Build build_;
  std::string moduleFolder_;
  TErrorLog* log_;  // outlives every web module; freed at unload once nothing uses it
  std::unique_ptr<TMainDM> mainDM_;
  bool direct_;  // the host is "httpd.exe": serve on the calling thread

  std::mutex poolLock_;
  int activeModules_ = 0;
  std::vector<std::unique_ptr<TDispatcherWM>> idleModules_;

  std::mutex workersLock_;
  bool workerPoolExists_ = false;
  bool workersStarted_ = false;
  WorkQueue<EXTENSION_CONTROL_BLOCK*> queue_;
  std::vector<std::thread> workers_;
  std::condition_variable workersEnded_;
  int runningWorkers_ = 0;
};

}  // namespace tallyhand
