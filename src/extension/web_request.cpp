#include "extension/web_request.h"

#include "platform/codepage.h"

namespace tallyhand {

namespace {

constexpr std::string_view kMultipartFormData = "multipart/form-data";

}  // namespace

template <typename T, typename Build>
const T& TWebRequest::Get(LazyView<T>& view, Build build) {
  if (view.value) return *view.value;
  if (view.failure) std::rethrow_exception(view.failure);
  try {
    view.value.emplace(build());
  } catch (...) {
    view.failure = std::current_exception();
    throw;
  }
  return *view.value;
}

std::string TWebRequest::Method() const { return Cp1252ToUtf8(source_.Method()); }

std::string TWebRequest::PathInfo() const { return Cp1252ToUtf8(source_.PathInfo()); }

std::string TWebRequest::ContentType() const { return Cp1252ToUtf8(source_.ContentType()); }

const std::string& TWebRequest::QueryString() {
  if (!queryString_) queryString_ = Cp1252ToUtf8(source_.QueryString());
  return *queryString_;
}

const FieldList& TWebRequest::QueryFields() {
  return Get(queryFields_, [this] { return ParseFields(QueryString()); });
}

bool TWebRequest::IsMultipart() const {
  // Only the exact lower-case media type counts, as the clients send it.
  return source_.ContentType().starts_with(kMultipartFormData);
}

const MultipartForm& TWebRequest::Multipart() {
  return Get(multipart_, [this] { return ParseMultipart(source_.Body(), source_.ContentType()); });
}

const FieldList& TWebRequest::ContentFields() {
  if (IsMultipart()) {
    return Multipart().content;
  }
  return Get(urlEncodedContent_, [this] {
    if (source_.ContentLength() == 0) return FieldList();
    return ParseFields(DecodeByContentType(source_.Body(), source_.ContentType()));
  });
}

const std::vector<FileEntry>& TWebRequest::Files() {
  static const std::vector<FileEntry> kNoFiles;
  if (!IsMultipart()) return kNoFiles;
  return Multipart().files;
}

}  // namespace tallyhand
