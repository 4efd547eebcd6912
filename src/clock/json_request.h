// The client's request text read as one JSON value whose top-level members are taken
// as text. The parse is lenient: text after the first complete value is ignored, and
// comments and trailing commas are accepted.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tallyhand {

class JsonRequest {
 public:
  // nullopt when no complete JSON value begins the text (after blanks).
  static std::optional<JsonRequest> Parse(std::string_view text);

  // A string member gives its value; a member of another type gives that value written
  // out as JSON text (numbers exactly as the client wrote them); a missing member and
  // null give "". Names match exactly; of repeated names the last one counts.
  // A request that is not an object has no members.
  std::string Member(std::string_view name) const;
  // Member with blanks and control characters removed at both ends.
  std::string TrimmedMember(std::string_view name) const;

 private:
  std::map<std::string, std::string, std::less<>> members_;
};

}  // namespace tallyhand
