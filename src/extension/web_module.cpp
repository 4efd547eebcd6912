#include "extension/web_module.h"

#include <algorithm>
#include <strings.h>

#include "clock/envelope.h"
#include "clock/jpeg_check.h"
#include "clock/process_request.h"
#include "clock/upload.h"
#include "data/mainDM.h"
#include "extension/extension_app.h"
#include "extension/picture_store.h"
#include "extension/web_request.h"
#include "log/error_log.h"
#include "platform/exception.h"
#include "platform/operating_figures.h"

namespace tallyhand {
namespace {


constexpr std::string_view TestPage(Build build) {
  return build == Build::Az
             ? "<html><head><title>Tallyhand Application Server</title></head><body>Tallyhand "
               "Application Test page - <b>Powered by Quarrow</b></body></html>"
             : "<html><head><title>Tallyhand Application</title></head><body>Tallyhand "
               "Application Test page</body></html>";
}

TMainDM& CheckedMainDM(ExtensionApp& app) {
  TMainDM* dm = app.MainDM();
  if (dm == nullptr) throw EDatabaseError("The data module could not be created");
  return *dm;
}

}  // namespace

bool PathMatches(std::string_view pathInfo, std::string_view actionPath) {
  if (pathInfo == "/") pathInfo = {};
  return pathInfo.size() == actionPath.size() &&
         strncasecmp(pathInfo.data(), actionPath.data(), pathInfo.size()) == 0;
}

TDispatcherWM::TDispatcherWM(ExtensionApp& app) : app_(app) { WebModuleCreate(); }

void TDispatcherWM::WebModuleCreate() {
  TErrorLog& log = app_.Log();
  log.AddToLog("Web Module Create");
  log.AddToLog("DATA Module Create");
  try {
    bool created = false;
    TMainDM& dm = app_.CreateMainDMOnce(created);
    if (created) dm.LoadConnections();
  } catch (const std::exception& error) {
    // The data module stays; every action's connection check retries the connection.
    log.AddToLog(std::string("Error creating DataModule DMMain: ") + error.what());
  }
  log.AddToLog("Finish Web Module Create");
}

void TDispatcherWM::WebModuleDestroy() {
  app_.Log().AddToLog("Web Module Destroy");
  if (app_.GetBuild() == Build::Az) app_.Log().ClearLog();
  app_.FreeMainDM();
}

TDispatcherWM::Outcome TDispatcherWM::Dispatch(TWebRequest& request, TWebResponse& response) {
  using Action = void (TDispatcherWM::*)(TWebRequest&, TWebResponse&);
  struct Entry {
    std::string_view pathInfo;
    Action handler;
  };
  static constexpr Entry kActions[] = {
      {kTestPathInfo, &TDispatcherWM::DispatcherWMDefaultHandlerAction},
      {kClientRequestPathInfo, &TDispatcherWM::DispatcherWMwaiClientRequestAction},
      {kClientFilePathInfo, &TDispatcherWM::DispatcherWMwaiClientFileAction},
  };
  const std::string pathInfo = request.PathInfo();
  const auto action = std::find_if(std::begin(kActions), std::end(kActions),
                                   [&](const Entry& e) { return PathMatches(pathInfo, e.pathInfo); });
  if (action == std::end(kActions)) return Outcome::NotMatched;
  try {
    (this->*(action->handler))(request, response);
    return Outcome::Served;
  } catch (const std::exception& error) {
    response.StatusCode = 500;
    WebModuleException(error.what(), request, response);
    return Outcome::Answered;
  }
}

void TDispatcherWM::WebModuleException(std::string_view message, TWebRequest& request,
                                       TWebResponse& response) {
  app_.Log().AddToLog(std::string("WebModuleException: ").append(message));
  response.StatusCode = 200;
  response.Content = kBeginMarker;
  const std::string rid = request.QueryFields().Values("RID");
  response.Content += FormatResponse(true, std::string("Error: ").append(message), rid, "", false);
  response.Content += kEndMarker;
}

void TDispatcherWM::DispatcherWMDefaultHandlerAction(TWebRequest&, TWebResponse& response) {
  TErrorLog& log = app_.Log();
  log.AddToLog("Request dispatched to Default Handler Action");
  CheckedMainDM(app_).CheckConnection();
  response.Content = TestPage(app_.GetBuild());
  log.AddToLog("Finish request on Default Handler Action");
}

void TDispatcherWM::DispatcherWMwaiClientRequestAction(TWebRequest& request,
                                                       TWebResponse& response) {
  TErrorLog& log = app_.Log();
  log.AddToLog("Request dispatched to Client Request Action");
  TMainDM& dm = CheckedMainDM(app_);
  dm.CheckConnection();
  response.Content = kBeginMarker;
  // Clients write their JSON with grave accents so that it survives form encoding.
  std::string requestText = request.ContentFields().Text();
  std::replace(requestText.begin(), requestText.end(), '`', '"');
  std::string answer;
  processRequest(dm, requestText, answer, app_.GetBuild());
  response.Content = kBeginMarker;
  response.Content += answer;
  response.Content += kEndMarker;
  log.AddToLog("Finish request on Client Request Action");
}

void TDispatcherWM::DispatcherWMwaiClientFileAction(TWebRequest& request, TWebResponse& response) {
  TErrorLog& log = app_.Log();
  log.AddToLog("Request dispatched to Client File Action");
  TMainDM& dm = CheckedMainDM(app_);
  dm.CheckConnection();
  response.Content = kBeginMarker;
  const FieldList& query = request.QueryFields();
  const std::vector<FileEntry>& files = request.Files();
  if (files.empty()) {
    response.Content += FormatResponse(true, "No files attached", query.Values("RID"), "", false);
    log.AddToLog("No files attached");
  } else {
    const FileEntry& file = files.front();
    std::string name = query.Values("fn");
    if (name.empty()) name = file.fileName;
    // A name that could leave the pictures folder, or hide inside it, is never written.
    if (const std::optional<std::string> refusal = CheckPictureName(name)) {
      throw EInOutError("Invalid file name: " + *refusal);
    }
    const std::string folder = PicturesFolder();
    SavePicture(folder, name, file.bytes);
    Figures().CountUpload(file.bytes.size());
    const std::string path = folder + name;
    // The bytes just written and synced are the file's: judged here, not read back.
    if (IsJPEGData(file.bytes)) {
      const std::string user = query.Values("AuthUser");
      log.AddToLog("AuthUser:" + user + "- FileName:" + path);
      UploadFields fields;
      fields.AuthUser = user;
      fields.AuthPass = query.Values("AuthPass");
      fields.AuthComp = query.Values("AuthComp");
      fields.path = path;
      fields.lat = query.Values("lat");
      fields.lon = query.Values("lon");
      fields.clock_type = query.Values("clock_type");
      fields.clock_date = query.Values("clock_date");
      fields.oclock_date = query.Values("oclock_date");
      fields.pmid = query.Values("pmid");
      fields.e_no = query.Values("e_no");
      if (app_.GetBuild() == Build::Az) {
        fields.tskey = query.Values("tskey");
        fields.devId = query.Values("devId");
      }
      fields.RID = query.Values("RID");
      fields.key = query.Values("key");
      response.Content += processFileReq2(dm, fields, app_.GetBuild());
    }
  }
  response.Content += kEndMarker;
  log.AddToLog("Finish request on Client File Action");
}

}  // namespace tallyhand
