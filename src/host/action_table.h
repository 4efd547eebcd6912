// Which action serves a path info: the names a module declares in its figures export,
// used as the action label of the request figures. Index 0 is "none", for paths no
// action serves and for modules that declare nothing.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "isapi/figures_export.h"

namespace tallyhand::host {

class ActionTable {
 public:
  ActionTable() : names_{"none"}, paths_{""} {}
  // Takes the module's declarations; false (with the reason) when one is unusable, and
  // then the table keeps "none" alone, so that no label value comes from a bad table.
  bool Load(const TALLYHAND_ACTION_PATH* actions, std::size_t count, std::string& error);

  std::size_t ActionOf(std::string_view pathInfo) const;
  std::size_t Size() const { return names_.size(); }
  const std::string& Name(std::size_t index) const { return names_[index]; }

 private:
  std::vector<std::string> names_;
  std::vector<std::string> paths_;
};

}  // namespace tallyhand::host
