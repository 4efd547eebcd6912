// Server variables of one request, looked up by name for GetServerVariable.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "host/beast_http.h"

namespace tallyhand::host {

using HttpRequest = boost::beast::http::request<boost::beast::http::string_body>;

// What a request's variables are made of; every view points into storage that lives as
// long as the request.
struct RequestFacts {
  const HttpRequest* request = nullptr;
  std::string_view path;
  std::string_view pathInfo;
  std::string_view query;
  std::string_view mountPrefix;
  uint64_t contentLength = 0;
  boost::asio::ip::tcp::endpoint local;
  boost::asio::ip::tcp::endpoint remote;
  bool secure = false;  // the connection speaks TLS
};

// Sets value and returns true for a known variable (names compared without regard to
// case); an HTTP_ name gives the request header of that name, '_' standing for '-'.
bool FindServerVariable(std::string_view name, const RequestFacts& facts, std::string& value);

}  // namespace tallyhand::host
