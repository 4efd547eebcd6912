#include "extension/multipart.h"

#include <algorithm>
#include <functional>

#include "platform/codepage.h"

namespace tallyhand {

namespace {

constexpr std::string_view kLineBreak = "\r\n";
constexpr std::string_view kBlankLine = "\r\n\r\n";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string_view RemoveQuotes(std::string_view value) {
  if (value.empty() || value.front() != '"') return value;
  value.remove_prefix(1);
  const size_t close = value.find('"');
  return close == std::string_view::npos ? value : value.substr(0, close);
}

// Part headers carry no charset of their own: clients send UTF-8 names, older ones the
// ANSI code page. Text that is valid UTF-8 is taken as such, anything else as Windows-1252.
std::string HeaderText(std::string_view bytes) {
  std::string text = SanitizeUtf8(bytes);
  if (text == bytes) return text;
  return Cp1252ToUtf8(bytes);
}

// A name or file name as sent: percent-decoded, or kept as it came when it holds a
// malformed escape (browsers send a literal "%" in file names unescaped).
std::string DecodeDispositionValue(const std::string& value) {
  try {
    return PercentDecode(value);
  } catch (const EUrlDecodeError&) {
    return value;
  }
}

struct PartHeaders {
  std::string contentType;
  std::string disposition;
};

PartHeaders ReadPartHeaders(std::string_view headerBlock) {
  PartHeaders headers;
  bool haveContentType = false;
  bool haveDisposition = false;
  while (!headerBlock.empty()) {
    const size_t lineEnd = headerBlock.find(kLineBreak);
    const std::string_view line = headerBlock.substr(0, lineEnd);
    headerBlock.remove_prefix(lineEnd == std::string_view::npos ? headerBlock.size()
                                                                : lineEnd + kLineBreak.size());
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = TrimBlanks(line.substr(0, colon));
    const std::string_view value = TrimBlanks(line.substr(colon + 1));
    if (!haveContentType && NamesEqualIgnoringCase(name, "Content-Type")) {
      headers.contentType = HeaderText(value);
      haveContentType = true;
    } else if (!haveDisposition && NamesEqualIgnoringCase(name, "Content-Disposition")) {
      headers.disposition = HeaderText(value);
      haveDisposition = true;
    }
  }
  return headers;
}

// One part: the text between two boundary occurrences.
void ReadPart(std::string_view part, MultipartForm& form) {
  if (part.starts_with(kLineBreak)) part.remove_prefix(kLineBreak.size());
  const size_t headerEnd = part.find(kBlankLine);
  if (headerEnd == std::string_view::npos) return;  // no header block: not a usable part
  std::string_view content = part.substr(headerEnd + kBlankLine.size());
  if (content.ends_with(kLineBreak)) content.remove_suffix(kLineBreak.size());

  const PartHeaders headers = ReadPartHeaders(part.substr(0, headerEnd));
  const std::string fieldName =
      DecodeDispositionValue(HeaderParameter(headers.disposition, "name"));
  const std::string fileName =
      DecodeDispositionValue(HeaderParameter(headers.disposition, "filename"));

  if (!fileName.empty()) {
    form.files.push_back(FileEntry{fieldName, fileName, headers.contentType, content});
  } else if (headers.contentType.empty()) {
    form.content.Add(fieldName + "=" + Cp1252ToUtf8(content));
  }
}

std::string BoundaryOf(std::string_view contentType) {
  std::string boundary = HeaderParameter(contentType, "boundary");
  if (boundary.size() > kMaxBoundaryLength) boundary.clear();
  return boundary;
}

}  // namespace

std::string HeaderParameter(std::string_view headerValue, std::string_view name) {
  size_t start = 0;
  bool inQuotes = false;
  for (size_t pos = 0; pos <= headerValue.size(); ++pos) {
    const bool atEnd = pos == headerValue.size();
    if (!atEnd && headerValue[pos] == '"') inQuotes = !inQuotes;
    if (!atEnd && (inQuotes || headerValue[pos] != ';')) continue;

    const std::string_view parameter = TrimBlanks(headerValue.substr(start, pos - start));
    start = pos + 1;
    const size_t equals = parameter.find('=');
    if (equals == std::string_view::npos) continue;
    if (!NamesEqualIgnoringCase(TrimBlanks(parameter.substr(0, equals)), name)) continue;
    return std::string(RemoveQuotes(TrimBlanks(parameter.substr(equals + 1))));
  }
  return {};
}

MultipartForm ParseMultipart(std::string_view body, std::string_view contentType) {
  MultipartForm form;
  const std::string boundary = BoundaryOf(contentType);
  if (boundary.empty()) return form;

  const std::string delimiter = "--" + boundary;
  const std::boyer_moore_horspool_searcher searcher(delimiter.begin(), delimiter.end());
  const auto find = [&](size_t from) {
    const auto found = std::search(body.begin() + static_cast<std::ptrdiff_t>(from),
                                   body.end(), searcher);
    return found == body.end() ? std::string_view::npos
                               : static_cast<size_t>(found - body.begin());
  };

  size_t occurrence = find(0);
  for (size_t parts = 0; occurrence != std::string_view::npos && parts < kMaxMultipartParts;
       ++parts) {
    const size_t partStart = occurrence + delimiter.size();
    const size_t next = find(partStart);
    if (next == std::string_view::npos) break;  // text after the last boundary is no part
    ReadPart(body.substr(partStart, next - partStart), form);
    occurrence = next;
  }
  return form;
}

}  // namespace tallyhand
