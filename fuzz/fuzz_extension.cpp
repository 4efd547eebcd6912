// Drives the whole extension through its three exports, as the host does: each built
// module is copied into a site folder of its own, loaded with dlopen and started with
// GetExtensionVersion; every input becomes one request, handed to HttpExtensionProc and
// served on the module's own workers, and both builds serve it. Each request meets the
// site's data as it was made (the database is restored before it).
//
// Input: a line "METHOD PATH[?QUERY]", a line with the Content-Type, then the body.
// "@KEY@" anywhere stands for a live session key of the serving module (the driver signs
// in through the module at start, and again before that key could expire). A body of odd
// length is handed half in the control block and the rest through ReadClient, in pieces
// of at most 1000 bytes, as a host that has not yet read it all would.
//
// Besides a crash or a sanitizer report, a bug is:
// - an answer to a path without action, or no answer (one "200 OK" header with
//   Content-Type text/html and the Content-Length of the body sent) to one with an action;
//   when the exception answer itself fails, the one-line "500 " status and error page;
// - a write, read or request after DONE_WITH_SESSION, or DONE_WITH_SESSION not exactly once;
// - a client answer that is not one envelope between the begin and end markers (an
//   upload that is no JPEG image has none);
// - a test page other than the build's;
// - a file in the pictures folder under a name the picture store refuses, a temporary
//   upload file left behind, or a picture whose bytes are not the first file part's;
// - a transaction left open on the database after the answer.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "clock/BaseGlobConstants.h"
#include "clock/text_edit.h"
#include "extension/multipart.h"
#include "extension/picture_store.h"
#include "fuzz_site.h"
#include "isapi/httpext.h"
#include "platform/ascii_case.h"

#ifndef TALLYHAND_MODULE_DIR
#error "TALLYHAND_MODULE_DIR must name the folder of the built modules"
#endif

namespace {

namespace fs = std::filesystem;
using tallyhand::fuzzing::Check;

constexpr const char* kScratchCopyVariable = "TALLYHAND_FUZZ_HOST_COPY";
constexpr std::string_view kKeyPlaceholder = "@KEY@";
constexpr auto kKeyRenewal = std::chrono::minutes(10);  // keys live for 15
constexpr std::size_t kReadClientPiece = 1000;
constexpr std::string_view kTestPath = "/test.app";
constexpr std::string_view kClientRequestPath = "/tcclientRequest.app";
constexpr std::string_view kClientFilePath = "/tcclientData2.app";
constexpr std::string_view kSignIn =
    "{`AuthUser`:`jsmith`,`AuthPass`:`secret`,`ReqMethod`:`checkLogin`,`AuthComp`:`Acme Builders`}";

// ---- running from a scratch copy -----------------------------------------------------

// The pictures folder lies beside the host's executable and every picture is flushed to
// disk: the driver runs from a copy of itself in a memory-backed scratch folder, so that
// pictures stay in memory and apart from any other run's. The variable holds the pid
// that made the copy and the folder, so that only that process removes it.
void RunFromScratchCopy(char** argv) {
  if (std::getenv(kScratchCopyVariable) != nullptr) return;
  std::string folder = (tallyhand::fuzzing::ScratchBase() / "tallyhand-fuzz-host-XXXXXX").string();
  if (mkdtemp(folder.data()) == nullptr) return;
  const std::string copy = folder + "/fuzz_extension";
  std::error_code error;
  fs::copy_file("/proc/self/exe", copy, error);
  if (error || ::chmod(copy.c_str(), 0755) != 0) return;
  const std::string value = std::to_string(::getpid()) + ":" + folder;
  ::setenv(kScratchCopyVariable, value.c_str(), 1);
  ::execv(copy.c_str(), argv);  // only returns on failure: then run from here
}

void RemoveScratchCopy() {
  const char* value = std::getenv(kScratchCopyVariable);
  if (value == nullptr) return;
  const std::string_view text(value);
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos || text.substr(0, colon) != std::to_string(::getpid())) return;
  std::error_code ignored;
  fs::remove_all(std::string(text.substr(colon + 1)), ignored);
}

// The run's defaults, unless the command line gives them: requests with bodies take more
// than libFuzzer's 4096 bytes, and its entropic schedule costs this target (three
// instrumented modules, many features per input) most of its time: 25 inputs a second
// with it, 200 without, here.
void AddDefaultFlags(int* argc, char*** argv) {
  static std::vector<char*> flags;
  static const char* kDefaults[] = {"-entropic=0", "-max_len=16384"};
  flags.assign(*argv, *argv + *argc);
  for (const char* flag : kDefaults) {
    const std::string_view name(flag, std::strchr(flag, '=') - flag + 1);
    const bool given = std::any_of(flags.begin() + 1, flags.end(),
                                   [&](const char* arg) { return std::string_view(arg).starts_with(name); });
    if (!given) flags.insert(flags.begin() + 1, const_cast<char*>(flag));
  }
  *argc = static_cast<int>(flags.size());
  flags.push_back(nullptr);
  *argv = flags.data();
}

// ---- one request through the control block -------------------------------------------

struct Request {
  std::string method, path, query, contentType, body;
};

Request ReadRequest(std::string_view input) {
  auto line = [&input] {
    const std::size_t end = input.find('\n');
    std::string_view text = input.substr(0, end);
    input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
    if (text.ends_with('\r')) text.remove_suffix(1);
    return text;
  };
  Request request;
  const std::string_view first = line();
  const std::size_t blank = first.find(' ');
  request.method = first.substr(0, blank);
  const std::string_view target = blank == std::string_view::npos ? "" : first.substr(blank + 1);
  const std::size_t question = target.find('?');
  request.path = target.substr(0, question);
  if (question != std::string_view::npos) request.query = target.substr(question + 1);
  request.contentType = line();
  request.body = input;
  // The control block hands these over as C strings: a NUL ends them.
  for (std::string* text : {&request.method, &request.path, &request.query, &request.contentType})
    text->resize(std::min(text->size(), text->find('\0')));
  return request;
}

// The host's side of one request: the control block, the body still to hand out, what
// the extension wrote, and when it said it was done.
class Exchange {
 public:
  explicit Exchange(Request request) : request_(std::move(request)) {
    const std::size_t size = request_.body.size();
    const std::size_t ahead = size % 2 == 1 ? size / 2 : size;
    handedOut_ = ahead;
    ecb_.cbSize = sizeof ecb_;
    ecb_.dwVersion = HSE_MAKE_VERSION(HSE_VERSION_MAJOR, HSE_VERSION_MINOR);
    ecb_.ConnID = this;
    ecb_.dwHttpStatusCode = 200;
    ecb_.lpszMethod = request_.method.data();
    ecb_.lpszQueryString = request_.query.data();
    ecb_.lpszPathInfo = request_.path.data();
    ecb_.lpszPathTranslated = pathTranslated_;
    ecb_.cbTotalBytes = static_cast<DWORD>(size);
    ecb_.cbAvailable = static_cast<DWORD>(ahead);
    ecb_.lpbData = reinterpret_cast<LPBYTE>(request_.body.data());
    ecb_.lpszContentType = request_.contentType.data();
    ecb_.GetServerVariable = &GetServerVariable;
    ecb_.WriteClient = &WriteClient;
    ecb_.ReadClient = &ReadClient;
    ecb_.ServerSupportFunction = &ServerSupportFunction;
  }
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  EXTENSION_CONTROL_BLOCK* ControlBlock() { return &ecb_; }
  void WaitUntilDone() {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return doneCount_ > 0; });
  }

  const Request& Sent() const { return request_; }
  int DoneCount() const { return doneCount_; }
  int HeaderCount() const { return headerCount_; }
  const std::string& Status() const { return status_; }
  const std::string& Headers() const { return headers_; }
  const std::string& Body() const { return body_; }

 private:
  static Exchange& Of(HCONN conn) { return *static_cast<Exchange*>(conn); }
  bool Finished() {
    std::lock_guard lock(mutex_);
    return doneCount_ > 0;
  }

  static BOOL GetServerVariable(HCONN conn, LPSTR, LPVOID, LPDWORD) {
    Check(!Of(conn).Finished(), "nothing is asked after the request is done");
    return 0;  // the host knows none of the names the extension could ask for
  }
  static BOOL WriteClient(HCONN conn, LPVOID buffer, LPDWORD bytes, DWORD) {
    Exchange& self = Of(conn);
    Check(!self.Finished(), "nothing is written after the request is done");
    Check(self.headerCount_ == 1, "the body follows the header");
    Check(bytes != nullptr && (buffer != nullptr || *bytes == 0), "a write names its bytes");
    self.body_.append(static_cast<const char*>(buffer), *bytes);
    return 1;
  }
  static BOOL ReadClient(HCONN conn, LPVOID buffer, LPDWORD size) {
    Exchange& self = Of(conn);
    Check(!self.Finished(), "nothing is read after the request is done");
    Check(size != nullptr && buffer != nullptr, "a read names its buffer");
    const std::size_t count =
        std::min<std::size_t>({*size, kReadClientPiece, self.request_.body.size() - self.handedOut_});
    std::memcpy(buffer, self.request_.body.data() + self.handedOut_, count);
    self.handedOut_ += count;
    *size = static_cast<DWORD>(count);
    return 1;
  }
  static BOOL ServerSupportFunction(HCONN conn, DWORD request, LPVOID buffer, LPDWORD,
                                    LPDWORD dataType) {
    Exchange& self = Of(conn);
    if (request == HSE_REQ_DONE_WITH_SESSION) {
      std::lock_guard lock(self.mutex_);
      ++self.doneCount_;
      self.done_.notify_all();
      return 1;
    }
    Check(!self.Finished(), "nothing is asked after the request is done");
    Check(request == HSE_REQ_SEND_RESPONSE_HEADER, "only the two known requests are made");
    ++self.headerCount_;
    self.status_ = buffer != nullptr ? static_cast<const char*>(buffer) : "";
    self.headers_ = dataType != nullptr ? reinterpret_cast<const char*>(dataType) : "";
    return 1;
  }

  Request request_;
  EXTENSION_CONTROL_BLOCK ecb_{};
  char pathTranslated_[1] = {'\0'};
  std::size_t handedOut_ = 0;
  std::string status_, headers_, body_;
  int headerCount_ = 0;
  std::mutex mutex_;
  std::condition_variable done_;
  int doneCount_ = 0;
};

// ---- one loaded module with its site ---------------------------------------------------

class LoadedModule {
 public:
  LoadedModule(const std::string& name, tallyhand::Build build)
      : build_(build), site_(name, true), pristine_(site_.DatabasePath()) {
    const std::string copy = site_.Folder() + name + ".so";
    fs::copy_file(std::string(TALLYHAND_MODULE_DIR) + "/" + name + ".so", copy);
    logFile_ = site_.Folder() + name + "Log.txt";
    handle_ = ::dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    Check(handle_ != nullptr, "the module loads");
    getVersion_ = reinterpret_cast<PFN_GETEXTENSIONVERSION>(::dlsym(handle_, "GetExtensionVersion"));
    extensionProc_ = reinterpret_cast<PFN_HTTPEXTENSIONPROC>(::dlsym(handle_, "HttpExtensionProc"));
    terminate_ = reinterpret_cast<PFN_TERMINATEEXTENSION>(::dlsym(handle_, "TerminateExtension"));
    Check(getVersion_ && extensionProc_ && terminate_, "the module has its three exports");
    HSE_VERSION_INFO version{};
    Check(getVersion_(&version) == 1, "the module starts");
  }
  ~LoadedModule() {
    terminate_(HSE_TERM_MUST_UNLOAD);
    ::dlclose(handle_);
  }
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;

  tallyhand::Build GetBuild() const { return build_; }

  // Serves one request on the module's workers and waits until it is done.
  std::unique_ptr<Exchange> Serve(Request request) {
    auto exchange = std::make_unique<Exchange>(std::move(request));
    const DWORD status = extensionProc_(exchange->ControlBlock());
    Check(status == HSE_STATUS_PENDING, "requests are served on the module's workers");
    exchange->WaitUntilDone();
    return exchange;
  }

  // The request with "@KEY@" replaced by a live key of this module.
  Request WithKey(Request request) {
    const std::string& key = LiveKey();
    for (std::string* text : {&request.path, &request.query, &request.contentType, &request.body})
      *text = tallyhand::ReplaceAll(*text, kKeyPlaceholder, key);
    return request;
  }

  // Before every input: the data as made, and a short log.
  void Reset() {
    pristine_.Restore();
    ::truncate(logFile_.c_str(), 0);
  }

 private:
  const std::string& LiveKey() {
    const auto now = std::chrono::steady_clock::now();
    if (!key_.empty() && now - keyIssued_ < kKeyRenewal) return key_;
    const std::unique_ptr<Exchange> answer =
        Serve({"POST", std::string(kClientRequestPath), "", "application/x-www-form-urlencoded",
               std::string(kSignIn)});
    constexpr std::string_view kKeyMember = R"("key":")";
    const std::size_t at = answer->Body().find(kKeyMember);
    Check(at != std::string::npos, "signing in gives a key");
    key_ = answer->Body().substr(at + kKeyMember.size(), 32);
    keyIssued_ = now;
    return key_;
  }

  tallyhand::Build build_;
  tallyhand::fuzzing::FuzzSite site_;
  tallyhand::fuzzing::PristineDatabase pristine_;
  std::string logFile_;
  void* handle_ = nullptr;
  PFN_GETEXTENSIONVERSION getVersion_ = nullptr;
  PFN_HTTPEXTENSIONPROC extensionProc_ = nullptr;
  PFN_TERMINATEEXTENSION terminate_ = nullptr;
  std::string key_;
  std::chrono::steady_clock::time_point keyIssued_;
};

std::vector<std::unique_ptr<LoadedModule>>& Modules() {
  static std::vector<std::unique_ptr<LoadedModule>> modules;
  return modules;
}

// ---- the checks ----------------------------------------------------------------------

bool NamesAction(std::string_view pathInfo, std::string_view actionPath) {
  if (pathInfo == "/") pathInfo = {};
  return pathInfo.size() == actionPath.size() && tallyhand::EqualsIgnoringAsciiCase(pathInfo, actionPath);
}

std::string_view TestPage(tallyhand::Build build) {
  return build == tallyhand::Build::Az
             ? "<html><head><title>Tallyhand Application Server</title></head><body>Tallyhand "
               "Application Test page - <b>Powered by Quarrow</b></body></html>"
             : "<html><head><title>Tallyhand Application</title></head><body>Tallyhand "
               "Application Test page</body></html>";
}

void CheckAnswer(const Exchange& exchange, tallyhand::Build build) {
  Check(exchange.DoneCount() == 1, "the request is done exactly once");
  const std::string& path = exchange.Sent().path;
  const bool test = NamesAction(path, kTestPath);
  const bool client = NamesAction(path, kClientRequestPath) || NamesAction(path, kClientFilePath);
  if (!test && !client) {
    Check(exchange.HeaderCount() == 0 && exchange.Body().empty(), "a path without action gets no answer");
    return;
  }
  Check(exchange.HeaderCount() == 1, "an action answers with one header");
  Check(exchange.Headers() == "Content-Type: text/html\r\nContent-Length: " +
                                  std::to_string(exchange.Body().size()) + "\r\n\r\n",
        "the header names text/html and the body's length");
  const std::string_view body = exchange.Body();
  if (exchange.Status() != "200 OK") {
    // The exception answer itself failed (it reads the query's RID, which may not decode).
    const std::string& status = exchange.Status();
    Check(status.starts_with("500 ") && status.find_first_of("\r\n") == std::string::npos,
          "an action answers 200 OK or the one-line 500 status");
    Check(body.starts_with("<html><title>Internal Server Error 500</title>"), "a 500 answer is the error page");
    return;
  }
  if (test) {
    Check(body == TestPage(build), "the test page is the build's");
    return;
  }
  Check(body.starts_with(tallyhand::kBeginMarker) && body.ends_with(tallyhand::kEndMarker),
        "a client answer lies between the markers");
  const std::string_view envelope = body.substr(
      tallyhand::kBeginMarker.size(),
      body.size() - tallyhand::kBeginMarker.size() - tallyhand::kEndMarker.size());
  // A saved file that is no JPEG image is answered with the markers alone.
  if (envelope.empty() && NamesAction(path, kClientFilePath)) return;
  Check(envelope.starts_with(R"({"error":")") && envelope.ends_with(R"(,"eofline":"eof"})"),
        "a client answer is one envelope");
}

std::string FileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every picture saved is the first file part under a name the store accepts; nothing
// else stays. The folder is emptied for the next input.
void CheckPictures(const Request& request) {
  const std::string folder = tallyhand::PicturesFolder();
  std::error_code error;
  if (!fs::is_directory(folder, error)) return;
  std::string expected;
  if (request.contentType.starts_with("multipart/form-data")) {
    const tallyhand::MultipartForm form = tallyhand::ParseMultipart(request.body, request.contentType);
    if (!form.files.empty()) expected = form.files.front().bytes;
  }
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    Check(!name.starts_with(".upload:"), "no temporary upload file stays behind");
    Check(!tallyhand::CheckPictureName(name).has_value(), "a picture's name is one the store accepts");
    Check(FileBytes(entry.path()) == expected, "a picture holds the first file part's bytes");
    fs::remove_all(entry.path(), error);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  AddDefaultFlags(argc, argv);
  RunFromScratchCopy(*argv);
  Modules().push_back(std::make_unique<LoadedModule>("Tallyhand_az", tallyhand::Build::Az));
  Modules().push_back(std::make_unique<LoadedModule>("Tallyhand", tallyhand::Build::Standard));
  // Registered after the modules loaded, so it runs before their own exit handlers: the
  // host stops the workers (TerminateExtension) and unloads a module before it goes.
  std::atexit([] {
    Modules().clear();
    RemoveScratchCopy();
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Request request = ReadRequest(std::string_view(reinterpret_cast<const char*>(data), size));
  for (const std::unique_ptr<LoadedModule>& module : Modules()) {
    module->Reset();
    const Request sent = module->WithKey(request);
    const std::unique_ptr<Exchange> exchange = module->Serve(sent);
    CheckAnswer(*exchange, module->GetBuild());
    CheckPictures(sent);
  }
  return 0;
}
