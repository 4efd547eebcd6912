// multipart/form-data bodies: cut into parts at the boundary, plain parts become content
// fields and parts with a file name become file entries that point into the body.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "extension/request_fields.h"

namespace tallyhand {

// Parts read from one body; the rest of the body is ignored. Bounds the entries and the
// work a hostile body of thousands of tiny parts can cause.
inline constexpr size_t kMaxMultipartParts = 10000;

// The longest boundary accepted (the limit of RFC 2046). A longer one counts as absent,
// which keeps the boundary search linear in the body size.
inline constexpr size_t kMaxBoundaryLength = 70;

struct FileEntry {
  std::string fieldName;
  std::string fileName;
  std::string contentType;
  // A slice of the body the form was parsed from; valid as long as that body is.
  std::string_view bytes;
};

struct MultipartForm {
  FieldList content;
  std::vector<FileEntry> files;
};

// The value of parameter `name` (letter case ignored) of a header value such as
// `form-data; name="x"`: parameters are separated by ";" outside double quotes, blanks
// around them are skipped, and surrounding double quotes are removed. "" when absent.
std::string HeaderParameter(std::string_view headerValue, std::string_view name);

// Cuts a multipart body at every occurrence of "--" and the Content-Type's boundary.
// A content type without a usable boundary gives an empty form.
MultipartForm ParseMultipart(std::string_view body, std::string_view contentType);

}  // namespace tallyhand
