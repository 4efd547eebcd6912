// The web module: its action table, its handlers, and the exception answer. One
// instance serves one request at a time; all instances share the data module.
#pragma once

#include <exception>
#include <string_view>

#include "clock/BaseGlobConstants.h"
#include "extension/web_response.h"

namespace tallyhand {

// The path infos of the action table (literals, so also terminated C texts).
inline constexpr std::string_view kTestPathInfo = "/test.app";
inline constexpr std::string_view kClientRequestPathInfo = "/tcclientRequest.app";
inline constexpr std::string_view kClientFilePathInfo = "/tcclientData2.app";

class TWebRequest;
class ExtensionApp;

class TDispatcherWM {
 public:
  enum class Outcome {
    Served,      // an action answered without raising
    Answered,    // an action raised and the exception answer was made
    NotMatched,  // no action for the path: nothing is answered
  };

  // Runs WebModuleCreate.
  explicit TDispatcherWM(ExtensionApp& app);
  TDispatcherWM(const TDispatcherWM&) = delete;
  TDispatcherWM& operator=(const TDispatcherWM&) = delete;

  // Dispatches by path info. An exception that escapes is for the host layer's 500 page
  // (the exception answer itself failed).
  Outcome Dispatch(TWebRequest& request, TWebResponse& response);

  void WebModuleDestroy();

 private:
  void WebModuleCreate();
  void DispatcherWMDefaultHandlerAction(TWebRequest& request, TWebResponse& response);
  void DispatcherWMwaiClientRequestAction(TWebRequest& request, TWebResponse& response);
  void DispatcherWMwaiClientFileAction(TWebRequest& request, TWebResponse& response);
  void WebModuleException(std::string_view message, TWebRequest& request, TWebResponse& response);

  ExtensionApp& app_;
};

// True when a path info names the action path: the whole path, letter case ignored,
// "/" counting as empty.
bool PathMatches(std::string_view pathInfo, std::string_view actionPath);

}  // namespace tallyhand
