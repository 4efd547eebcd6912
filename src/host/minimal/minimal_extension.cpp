// A minimal extension module: a constant answer served on the calling thread (the
// benchmark ceiling), plus a few paths that drive the host the way a real extension
// does, answering later from threads of its own:
//   /anything?size=N  constant page of N bytes (default: the 141-byte test page)
//   /pending          the constant page, from another thread
//   /slow?ms=N[&mark=FILE]  the constant page after N milliseconds, from another
//                     thread; FILE (if given) is created when the request arrives, so
//                     that a test knows the request is in flight
//   /echo[/...]?var=NAME&..  request fields, the named server variables and the whole body
//   /silent           no answer at all
//   /nolength         the constant page without Content-Length
//   /error            HSE_STATUS_ERROR with nothing written
// With TALLYHAND_MINIMAL_REFUSE_START set in the environment, GetExtensionVersion
// returns FALSE, so that tests can see the host refuse to start.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "isapi/httpext.h"

#define MINIMAL_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr std::string_view kPage =
    "<html><head><title>Tallyhand Application Server</title></head><body>Tallyhand Application "
    "Test page - <b>Powered by Quarrow</b></body></html>";
constexpr uint64_t kMaxPageSize = 64ull * 1024 * 1024;
constexpr uint64_t kMaxDelayMs = 60000;

// Threads that answer pending requests; all are joined before the module unloads.
class AnswerThreads {
 public:
  template <typename Work>
  void Launch(Work work) {
    std::lock_guard lock(mutex_);
    ReapFinished();
    auto finished = std::make_shared<std::atomic<bool>>(false);
    threads_.push_back({std::thread([work = std::move(work), finished]() mutable {
                          work();
                          finished->store(true);
                        }),
                        finished});
  }

  void JoinAll() {
    std::list<Entry> threads;
    {
      std::lock_guard lock(mutex_);
      threads.swap(threads_);
    }
    for (Entry& entry : threads) entry.thread.join();
  }

 private:
  struct Entry {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished;
  };

  void ReapFinished() {
    for (auto it = threads_.begin(); it != threads_.end();) {
      if (it->finished->load()) {
        it->thread.join();
        it = threads_.erase(it);
      } else {
        ++it;
      }
    }
  }

  std::mutex mutex_;
  std::list<Entry> threads_;
};

AnswerThreads& Threads() {
  static AnswerThreads threads;
  return threads;
}

// The value of "name=" in a query string, or empty.
std::string_view QueryValue(std::string_view query, std::string_view name) {
  while (!query.empty()) {
    size_t amp = query.find('&');
    std::string_view pair = query.substr(0, amp);
    if (pair.size() > name.size() && pair.starts_with(name) && pair[name.size()] == '=') {
      return pair.substr(name.size() + 1);
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return {};
}

uint64_t QueryNumber(std::string_view query, std::string_view name, uint64_t fallback, uint64_t max) {
  std::string_view text = QueryValue(query, name);
  uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return fallback;
  return std::min(value, max);
}

std::string HeaderBlock(uint64_t length, bool withLength) {
  std::string headers = "Content-Type: text/html\r\n";
  if (withLength) headers += "Content-Length: " + std::to_string(length) + "\r\n";
  headers += "\r\n";
  return headers;
}

bool SendAnswer(EXTENSION_CONTROL_BLOCK* ecb, const std::string& headers, std::string_view body) {
  char status[] = "200 OK";
  if (!ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, status, nullptr,
                                  reinterpret_cast<LPDWORD>(const_cast<char*>(headers.c_str())))) {
    return false;
  }
  DWORD size = static_cast<DWORD>(body.size());
  return ecb->WriteClient(ecb->ConnID, const_cast<char*>(body.data()), &size, HSE_IO_SYNC) != 0;
}

bool SendAnswer(EXTENSION_CONTROL_BLOCK* ecb, std::string_view body) {
  // The constant page is the benchmark ceiling: its header is built once.
  static const std::string pageHeaders = HeaderBlock(kPage.size(), true);
  if (body.size() == kPage.size()) return SendAnswer(ecb, pageHeaders, body);
  return SendAnswer(ecb, HeaderBlock(body.size(), true), body);
}

const std::string& PageOfSize(uint64_t size, std::string& scratch) {
  static const std::string page(kPage);
  if (size == kPage.size()) return page;
  scratch.clear();
  scratch.reserve(size);
  while (scratch.size() < size) {
    scratch.append(kPage.substr(0, std::min<uint64_t>(kPage.size(), size - scratch.size())));
  }
  return scratch;
}

void DoneWithSession(EXTENSION_CONTROL_BLOCK* ecb) {
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_DONE_WITH_SESSION, nullptr, nullptr, nullptr);
}

std::string ServerVariable(EXTENSION_CONTROL_BLOCK* ecb, const std::string& name) {
  std::vector<char> buffer(1);
  DWORD size = 1;
  // The first call learns the size needed, the second fetches the value.
  if (!ecb->GetServerVariable(ecb->ConnID, const_cast<char*>(name.c_str()), buffer.data(), &size)) {
    if (size <= 1) return name + " (unknown)";
    buffer.resize(size);
    if (!ecb->GetServerVariable(ecb->ConnID, const_cast<char*>(name.c_str()), buffer.data(), &size)) {
      return name + " (failed)";
    }
  }
  return name + "=" + std::string(buffer.data(), size - 1);
}

void AnswerEcho(EXTENSION_CONTROL_BLOCK* ecb) {
  std::string text;
  text += "method: " + std::string(ecb->lpszMethod) + "\n";
  text += "path-info: " + std::string(ecb->lpszPathInfo) + "\n";
  text += "query: " + std::string(ecb->lpszQueryString) + "\n";
  text += "content-type: " + std::string(ecb->lpszContentType) + "\n";
  text += "total: " + std::to_string(ecb->cbTotalBytes) + "\n";
  text += "available: " + std::to_string(ecb->cbAvailable) + "\n";
  std::string_view query = ecb->lpszQueryString;
  while (!query.empty()) {
    size_t amp = query.find('&');
    std::string_view pair = query.substr(0, amp);
    if (pair.starts_with("var=")) text += ServerVariable(ecb, std::string(pair.substr(4))) + "\n";
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  text += "\n";
  text.append(reinterpret_cast<const char*>(ecb->lpbData), ecb->cbAvailable);
  char chunk[8192];
  for (;;) {
    DWORD size = sizeof chunk;
    if (!ecb->ReadClient(ecb->ConnID, chunk, &size) || size == 0) break;
    text.append(chunk, size);
  }
  SendAnswer(ecb, text);
}

DWORD AnswerLater(EXTENSION_CONTROL_BLOCK* ecb, void (*answer)(EXTENSION_CONTROL_BLOCK*)) {
  Threads().Launch([ecb, answer] {
    answer(ecb);
    DoneWithSession(ecb);
  });
  return HSE_STATUS_PENDING;
}

}  // namespace

MINIMAL_EXPORT BOOL GetExtensionVersion(HSE_VERSION_INFO* info) {
  if (std::getenv("TALLYHAND_MINIMAL_REFUSE_START") != nullptr) return 0;
  info->dwExtensionVersion = HSE_MAKE_VERSION(HSE_VERSION_MAJOR, HSE_VERSION_MINOR);
  std::strncpy(info->lpszExtensionDesc, "Tallyhand minimal extension", HSE_MAX_EXT_DLL_NAME_LEN - 1);
  return 1;
}

MINIMAL_EXPORT DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb) {
  std::string_view path = ecb->lpszPathInfo;
  if (path == "/pending") {
    return AnswerLater(ecb, [](EXTENSION_CONTROL_BLOCK* e) { SendAnswer(e, kPage); });
  }
  if (path == "/slow") {
    if (std::string mark(QueryValue(ecb->lpszQueryString, "mark")); !mark.empty()) {
      if (std::FILE* file = std::fopen(mark.c_str(), "w")) std::fclose(file);
    }
    return AnswerLater(ecb, [](EXTENSION_CONTROL_BLOCK* e) {
      uint64_t ms = QueryNumber(e->lpszQueryString, "ms", 100, kMaxDelayMs);
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      SendAnswer(e, kPage);
    });
  }
  if (path == "/echo" || path.starts_with("/echo/")) return AnswerLater(ecb, &AnswerEcho);
  if (path == "/silent") return AnswerLater(ecb, [](EXTENSION_CONTROL_BLOCK*) {});
  if (path == "/error") return HSE_STATUS_ERROR;
  if (path == "/nolength") {
    return SendAnswer(ecb, HeaderBlock(0, false), kPage) ? HSE_STATUS_SUCCESS : HSE_STATUS_ERROR;
  }
  std::string scratch;
  uint64_t size = QueryNumber(ecb->lpszQueryString, "size", kPage.size(), kMaxPageSize);
  return SendAnswer(ecb, PageOfSize(size, scratch)) ? HSE_STATUS_SUCCESS : HSE_STATUS_ERROR;
}

MINIMAL_EXPORT BOOL TerminateExtension(DWORD) {
  Threads().JoinAll();
  return 1;
}
