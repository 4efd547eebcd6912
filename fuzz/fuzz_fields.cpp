// Cuts and decodes arbitrary bytes as a query string or form body. Decoding errors of the
// system's own exception class are expected; anything else that escapes is a bug.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "extension/request_fields.h"
#include "platform/codepage.h"

namespace {

bool IsUtf8(std::string_view text) { return tallyhand::SanitizeUtf8(text) == text; }

void Check(bool condition) {
  if (!condition) std::abort();
}

void ParseAndCheck(std::string_view text) {
  for (std::string_view entry : tallyhand::CutIntoEntries(text)) {
    Check(entry.data() >= text.data() && entry.data() + entry.size() <= text.data() + text.size());
  }
  try {
    const tallyhand::FieldList fields = tallyhand::ParseFields(text);
    for (const std::string& entry : fields.Entries()) Check(IsUtf8(entry));
    const std::string joined = fields.Text();
    Check(joined.size() >= 2 * fields.Count());
    // The first named entry is the one its own name finds.
    for (const std::string& entry : fields.Entries()) {
      const size_t equals = entry.find('=');
      if (equals == std::string::npos) continue;
      Check(fields.Values(entry.substr(0, equals)) == entry.substr(equals + 1));
      break;
    }
  } catch (const tallyhand::Exception& error) {
    Check(IsUtf8(error.Message()));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  ParseAndCheck(bytes);                             // malformed UTF-8 straight in
  ParseAndCheck(tallyhand::Cp1252ToUtf8(bytes));    // as a query string arrives
  return 0;
}
