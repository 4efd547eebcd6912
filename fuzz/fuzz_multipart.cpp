// Parses arbitrary multipart bodies. The first byte gives the boundary's length, the bytes
// after it the boundary, and the rest is the body.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "extension/multipart.h"
#include "platform/codepage.h"

namespace {

bool IsUtf8(std::string_view text) { return tallyhand::SanitizeUtf8(text) == text; }

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t boundaryLength = std::min<size_t>(input[0] % 80, input.size() - 1);
  const std::string_view boundary = input.substr(1, boundaryLength);
  // The body in a buffer of its own, so the sanitizer sees any read past its end.
  const std::string body(input.substr(1 + boundaryLength));
  const std::string contentType = "multipart/form-data; boundary=" + std::string(boundary);

  const tallyhand::MultipartForm form = tallyhand::ParseMultipart(body, contentType);
  Check(form.content.Count() + form.files.size() <= tallyhand::kMaxMultipartParts);
  for (const std::string& entry : form.content.Entries()) Check(IsUtf8(entry));
  for (const tallyhand::FileEntry& file : form.files) {
    Check(!file.fileName.empty());
    Check(IsUtf8(file.fieldName) && IsUtf8(file.fileName) && IsUtf8(file.contentType));
    Check(file.bytes.data() >= body.data() &&
          file.bytes.data() + file.bytes.size() <= body.data() + body.size());
  }
  return 0;
}
