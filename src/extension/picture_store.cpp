#include "extension/picture_store.h"
#include "platform/file_descriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/exception.h"
#include "platform/module_path.h"

namespace tallyhand {
namespace {

std::string ErrnoText(int error) { return std::error_code(error, std::generic_category()).message(); }

[[noreturn]] void RaiseInOut(const std::string& what, const std::string& path, int error) {
  throw EInOutError(what + " " + path + ": " + ErrnoText(error));
}

void CreateFolder(const std::string& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) throw EInOutError("Cannot create folder " + folder + ": " + error.message());
}

// Removes the temporary file unless the rename took it over.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
  ~TemporaryFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  const std::string& Path() const { return path_; }
  void Release() { path_.clear(); }

 private:
  std::string path_;
};

// Creates a new file of a name that nobody else uses. The name holds ':', which
// CheckPictureName refuses, so no checked client name can ever collide with it.
std::pair<std::string, int> CreateTemporaryFile(const std::string& folder) {
  static std::atomic<unsigned long> counter{0};
  for (;;) {
    const std::string path = folder + ".upload:" + std::to_string(::getpid()) + ":" +
                             std::to_string(counter.fetch_add(1)) + ".part";
    // 0666 less the umask: the same rights a plainly created file gets.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return {path, fd};
    if (errno != EEXIST && errno != EINTR) RaiseInOut("Cannot create file in", folder, errno);
  }
}

void WriteAll(int fd, std::string_view bytes, const std::string& path) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      RaiseInOut("Cannot write file", path, errno);
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
}

// Makes the rename itself durable. Best effort: the picture is already in place.
void SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

}  // namespace

std::string PicturesFolder() {
  static const std::string folder = [] {
    const std::string& executable = HostExecutablePath();
    // Never fall back to the working folder: pictures would land somewhere unexpected.
    if (executable.empty()) throw EInOutError("Cannot find the host executable's folder");
    return FolderOf(executable) + "mobiletcimages/";
  }();
  return folder;
}

// The reasons reach the client unescaped inside a quoted JSON text, so they hold no
// double quote or backslash.
std::optional<std::string> CheckPictureName(std::string_view name) {
  if (name.empty()) return "the name is empty";
  if (name.size() > kMaxPictureNameBytes) return "the name is longer than 255 bytes";
  if (name == ".") return "the name is '.'";
  if (name.find("..") != std::string_view::npos) return "the name holds '..'";
  if (name.find_first_of("/\\") != std::string_view::npos) return "the name holds a path separator";
  if (name.find(':') != std::string_view::npos) return "the name holds a drive or ':'";
  for (const char c : name) {
    if (IsControl(static_cast<unsigned char>(c))) return "the name holds a control character";
  }
  if (name.front() == ' ' || name.back() == ' ') return "the name begins or ends with a blank";
  return std::nullopt;
}

void SavePicture(const std::string& folder, const std::string& name, std::string_view bytes) {
  CreateFolder(folder);
  const std::string finalPath = folder + name;
  auto [tempPath, fd] = CreateTemporaryFile(folder);
  TemporaryFile temporary(tempPath);
  FileDescriptor file(fd);
  WriteAll(file.Get(), bytes, finalPath);
  if (::fsync(file.Get()) != 0) RaiseInOut("Cannot write file", finalPath, errno);
  if (file.Close() != 0) RaiseInOut("Cannot write file", finalPath, errno);
  if (::rename(temporary.Path().c_str(), finalPath.c_str()) != 0) {
    RaiseInOut("Cannot save file", finalPath, errno);
  }
  temporary.Release();
  SyncFolder(folder);
}

}  // namespace tallyhand
