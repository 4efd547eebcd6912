#include "extension/extension_app.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "clock/key_store_settings.h"
#include "clock/session_keys.h"
#include "data/mainDM.h"
#include "extension/isapi_request.h"
#include "extension/picture_store.h"
#include "extension/web_module.h"
#include "extension/web_request.h"
#include "log/error_log.h"
#include "platform/exception.h"
#include "platform/module_path.h"
#include "platform/operating_figures.h"
#include "platform/text_file.h"

namespace tallyhand {
namespace {

bool HostIsHttpdExe() {
  const std::string& exe = HostExecutablePath();
  const auto slash = exe.find_last_of('/');
  const std::string name = slash == std::string::npos ? exe : exe.substr(slash + 1);
  return name.size() == 9 && strncasecmp(name.c_str(), "httpd.exe", 9) == 0;
}

// Uploads cut short by a crash leave their temporary files behind; they are removed
// before this process starts any of its own.
void RemoveUnfinishedUploadsAtStart() {
  try {
    RemoveUnfinishedUploads(PicturesFolder());
  } catch (const std::exception&) {
    // Without a pictures folder there is nothing to clean, and uploads report the cause.
  }
}

void AnswerWithHostErrorPage(EXTENSION_CONTROL_BLOCK* ecb, const std::exception& error) {
  const auto* own = dynamic_cast<const Exception*>(&error);
  SendHostErrorPage(ecb, MakeHostErrorPage(own ? own->ClassName() : "Exception", error.what()));
}

}  // namespace

ExtensionApp::ExtensionApp(Build build, std::string modulePath)
    : build_(build),
      moduleFolder_(FolderOf(modulePath)),
      // Outlives every web module, whose destruction still logs; freed last at unload.
      log_(new TErrorLog(modulePath, build == Build::Az ? LogStyle::Switched
                                                        : LogStyle::AlwaysRewrite)),
      direct_(HostIsHttpdExe()) {
  SetEventLog(log_);
}

ExtensionApp::~ExtensionApp() {
  // Unload: every instance runs its destroy handler; the first one frees the data
  // module. An error stops the destruction there and is swallowed.
  bool everythingDestroyed = false;
  {
    std::lock_guard lock(poolLock_);
    try {
      while (!idleModules_.empty()) {
        std::unique_ptr<TDispatcherWM> module = std::move(idleModules_.back());
        idleModules_.pop_back();
        module->WebModuleDestroy();
      }
      everythingDestroyed = activeModules_ == 0 && !mainDM_;
    } catch (...) {
      // Instances and data module not yet destroyed are left to the end of the process.
      (void)mainDM_.release();
    }
  }
  {
    std::lock_guard lock(workersLock_);
    everythingDestroyed = everythingDestroyed && runningWorkers_ == 0;
  }
  // The module's memory goes with it when it is unloaded; the log would be lost, not
  // kept, so it is freed once nothing that writes to it remains.
  if (everythingDestroyed) {
    SetEventLog(nullptr);
    delete log_;
    log_ = nullptr;
  }
}

bool ExtensionApp::UseConfiguredKeyStore() {
  try {
    const TextLines dataIni = ReadTextLines(moduleFolder_ + "data.ini");
    UseKeyStore(MakeKeyStore(ReadKeyStoreSettings(dataIni.lines)));
    return true;
  } catch (const std::exception& error) {
    // The start fails: a typing error must not leave a site of several servers with
    // keys that only one of them knows.
    const std::string message = std::string("Error configuring the session key store: ") + error.what();
    log_->AddToLog(message);
    std::fprintf(stderr, "%s\n", message.c_str());
    return false;
  }
}

TMainDM& ExtensionApp::CreateMainDMOnce(bool& created) {
  created = false;
  if (!mainDM_) {
    mainDM_ = std::make_unique<TMainDM>(moduleFolder_, *log_, kMaxActiveWebModules);
    created = true;
  }
  return *mainDM_;
}

void ExtensionApp::FreeMainDM() { mainDM_.reset(); }

bool ExtensionApp::GetExtensionVersion(HSE_VERSION_INFO* version) {
  if (version == nullptr) return false;
  if (!UseConfiguredKeyStore()) return false;
  RemoveUnfinishedUploadsAtStart();
  {
    std::lock_guard lock(workersLock_);
    if (!direct_) workerPoolExists_ = true;
  }
  version->dwExtensionVersion = HSE_MAKE_VERSION(HSE_VERSION_MAJOR, HSE_VERSION_MINOR);
  version->lpszExtensionDesc[0] = '\0';  // the application title is never set
  return true;
}

DWORD ExtensionApp::HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb) {
  if (direct_) return ServeRequest(ecb) ? HSE_STATUS_SUCCESS : HSE_STATUS_ERROR;
  try {
    {
      std::lock_guard lock(workersLock_);
      if (!workerPoolExists_) return HSE_STATUS_ERROR;
    }
    StartWorkersOnce();
    Figures().RequestQueued();
    try {
      queue_.Post(ecb);
    } catch (...) {
      Figures().WorkerStarted();
      Figures().WorkerFinished();
      throw;
    }
    return HSE_STATUS_PENDING;
  } catch (...) {
    return HSE_STATUS_ERROR;
  }
}

bool ExtensionApp::CheckReady(std::string& reason) {
  // What the test page does, on the caller's thread: a web module (which makes the data
  // module the first time) and a connection that can be had.
  try {
    std::unique_ptr<TDispatcherWM> module = AcquireWebModule();
    struct GiveBack {
      ExtensionApp& app;
      std::unique_ptr<TDispatcherWM>& module;
      ~GiveBack() { app.ReleaseWebModule(std::move(module)); }
    } giveBack{*this, module};
    TMainDM* dm = MainDM();
    if (dm == nullptr) {
      reason = "The data module could not be created";
      return false;
    }
    dm->CheckConnection();
    return true;
  } catch (const std::exception& error) {
    reason = error.what();
  } catch (...) {
    reason = "unknown error";
  }
  return false;
}

void ExtensionApp::ReadFigures(TALLYHAND_EXTENSION_FIGURES& figures) {
  Figures().Read(figures);
  figures.sessionKeysLive = static_cast<uint64_t>(std::max<int32_t>(0, KeyCount()));
  TMainDM* dm = nullptr;
  {
    // The data module is made under the pool lock and lives until unload.
    std::lock_guard lock(poolLock_);
    dm = mainDM_.get();
  }
  if (dm != nullptr) {
    const TMainDM::PoolCounts pool = dm->Pool();
    figures.dbConnectionsIdle = pool.idle;
    figures.dbConnectionsBusy = pool.busy;
  }
}

bool ExtensionApp::TerminateExtension() {
  std::vector<std::thread> workers;
  {
    std::lock_guard lock(workersLock_);
    if (!workersStarted_) {
      workerPoolExists_ = false;
      return true;
    }
    workers.swap(workers_);
    workersStarted_ = false;
    workerPoolExists_ = false;
  }
  for (size_t i = 0; i < workers.size(); ++i) queue_.PostStop();
  std::unique_lock lock(workersLock_);
  const bool allEnded = workersEnded_.wait_for(
      lock, std::chrono::seconds(kWorkerStopWaitSeconds), [this] { return runningWorkers_ == 0; });
  lock.unlock();
  for (std::thread& worker : workers) {
    if (allEnded) {
      worker.join();
    } else {
      worker.detach();  // a worker stuck in a request past the wait is left behind
    }
  }
  return true;
}

void ExtensionApp::StartWorkersOnce() {
  std::lock_guard lock(workersLock_);
  if (workersStarted_) return;
  workersStarted_ = true;
  workers_.reserve(kWorkerThreadCount);
  for (int i = 0; i < kWorkerThreadCount; ++i) {
    ++runningWorkers_;
    workers_.emplace_back([this] { WorkerLoop(); });
  }
}

void ExtensionApp::WorkerLoop() {
  while (std::optional<EXTENSION_CONTROL_BLOCK*> item = queue_.Take()) {
    EXTENSION_CONTROL_BLOCK* ecb = *item;
    Figures().WorkerStarted();
    ServeRequest(ecb);
    Figures().WorkerFinished();
    ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_DONE_WITH_SESSION, nullptr, nullptr, nullptr);
  }
  std::lock_guard lock(workersLock_);
  --runningWorkers_;
  workersEnded_.notify_all();
}

std::unique_ptr<TDispatcherWM> ExtensionApp::AcquireWebModule() {
  std::lock_guard lock(poolLock_);
  if (activeModules_ >= kMaxActiveWebModules) {
    throw Exception("Maximum number of concurrent connections exceeded.  Please try again later");
  }
  std::unique_ptr<TDispatcherWM> module;
  if (!idleModules_.empty()) {
    module = std::move(idleModules_.back());
    idleModules_.pop_back();
  } else {
    // Created under the lock, so the data module is made exactly once.
    module = std::make_unique<TDispatcherWM>(*this);
  }
  ++activeModules_;
  return module;
}

void ExtensionApp::ReleaseWebModule(std::unique_ptr<TDispatcherWM> module) {
  std::lock_guard lock(poolLock_);
  --activeModules_;
  idleModules_.push_back(std::move(module));
}

bool ExtensionApp::ServeRequest(EXTENSION_CONTROL_BLOCK* ecb) {
  try {
    std::unique_ptr<TDispatcherWM> module = AcquireWebModule();
    IsapiRequestSource source(ecb);
    TWebRequest request(source);
    TWebResponse response;
    TDispatcherWM::Outcome outcome;
    try {
      outcome = module->Dispatch(request, response);
    } catch (...) {
      ReleaseWebModule(std::move(module));
      throw;
    }
    ReleaseWebModule(std::move(module));
    if (outcome != TDispatcherWM::Outcome::NotMatched) SendResponse(ecb, response);
    return outcome == TDispatcherWM::Outcome::Served;
  } catch (const std::exception& error) {
    AnswerWithHostErrorPage(ecb, error);
  } catch (...) {
    AnswerWithHostErrorPage(ecb, Exception("Unknown error"));
  }
  return false;
}

}  // namespace tallyhand
