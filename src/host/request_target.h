// The parts of a request target the extension is given: the raw path (no decoding) and
// the raw query string, and the path info left after the mount prefix.
#pragma once

#include <optional>
#include <string_view>

namespace tallyhand::host {

struct RequestTarget {
  std::string_view path;   // without the query string
  std::string_view query;  // after the first '?', empty when there is none
};

// Splits an origin-form target ("/a/b?x=1"); an absolute-form target
// ("http://host/a?x=1") gives its path and query as well.
RequestTarget SplitRequestTarget(std::string_view target);

// The path after the mount prefix, when the path lies under it: the prefix matches
// without regard to letter case and ends at a path-segment boundary. An empty prefix
// mounts at the root and gives the whole path.
std::optional<std::string_view> PathInfoUnderMount(std::string_view path, std::string_view prefix);

}  // namespace tallyhand::host
