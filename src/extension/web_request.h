// The request as the handlers see it: the raw values of the host, and the query fields,
// content fields and files built from them on first use.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "extension/multipart.h"
#include "extension/request_fields.h"

namespace tallyhand {

// What the host hands over of one request. Texts are the raw bytes as received.
class RequestSource {
 public:
  virtual ~RequestSource() = default;

  virtual std::string_view Method() const = 0;
  virtual std::string_view QueryString() const = 0;
  virtual std::string_view PathInfo() const = 0;
  virtual std::string_view ContentType() const = 0;
  // 0 when the request has no Content-Length.
  virtual uint64_t ContentLength() const = 0;
  // The whole body; the source may read what the host has not yet delivered on the first
  // call. The bytes must stay valid and unchanged for the rest of the request.
  virtual std::string_view Body() = 0;
};

// One request's view. Not shared between threads; each view is built at most once, and a
// view whose building raised raises the same exception whenever it is read again.
class TWebRequest {
 public:
  // `source` must outlive this object and every FileEntry read from it.
  explicit TWebRequest(RequestSource& source) : source_(source) {}

  TWebRequest(const TWebRequest&) = delete;
  TWebRequest& operator=(const TWebRequest&) = delete;

  // The raw values of the request, read in the ANSI code page.
  std::string Method() const;
  std::string PathInfo() const;
  std::string ContentType() const;
  const std::string& QueryString();

  const FieldList& QueryFields();
  const FieldList& ContentFields();
  // Empty unless the body is multipart/form-data; never reads a body that is not.
  const std::vector<FileEntry>& Files();

 private:
  // A view built once: its value, or the exception its building raised.
  template <typename T>
  struct LazyView {
    std::optional<T> value;
    std::exception_ptr failure;
  };

  template <typename T, typename Build>
  static const T& Get(LazyView<T>& view, Build build);

  bool IsMultipart() const;
  const MultipartForm& Multipart();

  RequestSource& source_;
  std::optional<std::string> queryString_;
  LazyView<FieldList> queryFields_;
  LazyView<FieldList> urlEncodedContent_;
  LazyView<MultipartForm> multipart_;
};

}  // namespace tallyhand
