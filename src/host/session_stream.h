// The kinds of stream a connection speaks HTTP over.
#pragma once

#include "host/beast_http.h"

namespace tallyhand::host {

// HTTP straight over TCP.
using PlainStream = boost::beast::tcp_stream;

}  // namespace tallyhand::host
