#include "host/action_table.h"

#include <strings.h>

#include <algorithm>
#include <cstring>

namespace tallyhand::host {
namespace {

bool IsLabelValue(const char* text) {
  const std::size_t length = strnlen(text, TALLYHAND_ACTION_NAME_MAX + 1);
  if (length == 0 || length > TALLYHAND_ACTION_NAME_MAX) return false;
  for (std::size_t i = 0; i < length; ++i) {
    if (!((text[i] >= 'a' && text[i] <= 'z') || text[i] == '_')) return false;
  }
  return true;
}

}  // namespace

bool ActionTable::Load(const TALLYHAND_ACTION_PATH* actions, std::size_t count, std::string& error) {
  if (count > TALLYHAND_ACTIONS_MAX || (count > 0 && actions == nullptr)) {
    error = "declares " + std::to_string(count) + " actions, at most " +
            std::to_string(TALLYHAND_ACTIONS_MAX) + " are taken";
    return false;
  }
  std::vector<std::string> names{"none"};
  std::vector<std::string> paths{""};
  for (std::size_t i = 0; i < count; ++i) {
    const TALLYHAND_ACTION_PATH& action = actions[i];
    if (action.name == nullptr || !IsLabelValue(action.name) || action.pathInfo == nullptr ||
        strnlen(action.pathInfo, TALLYHAND_ACTION_PATH_MAX + 1) > TALLYHAND_ACTION_PATH_MAX) {
      error = "declares an action whose name or path is unusable";
      return false;
    }
    if (std::find(names.begin(), names.end(), action.name) != names.end()) {
      error = std::string("declares the action \"") + action.name + "\" twice";
      return false;
    }
    names.emplace_back(action.name);
    paths.emplace_back(action.pathInfo);
  }
  names_ = std::move(names);
  paths_ = std::move(paths);
  return true;
}

std::size_t ActionTable::ActionOf(std::string_view pathInfo) const {
  // As the web module matches: letter case ignored, "/" counting as empty.
  if (pathInfo == "/") pathInfo = {};
  for (std::size_t i = 1; i < paths_.size(); ++i) {
    const std::string& path = paths_[i];
    if (path.size() == pathInfo.size() && strncasecmp(path.data(), pathInfo.data(), path.size()) == 0) {
      return i;
    }
  }
  return 0;
}

}  // namespace tallyhand::host
