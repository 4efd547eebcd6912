#include "extension/picture_store.h"
#include "platform/file_descriptor.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>
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

constexpr std::string_view kTemporaryPrefix = ".upload:";
constexpr std::string_view kTemporarySuffix = ".part";

bool IsTemporaryName(std::string_view name) {
  return name.size() > kTemporaryPrefix.size() + kTemporarySuffix.size() &&
         name.starts_with(kTemporaryPrefix) && name.ends_with(kTemporarySuffix);
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether path still names the file open on fd.
bool StillNamedBy(int fd, const std::string& path) {
  struct stat open {}, named {};
  return ::fstat(fd, &open) == 0 && ::lstat(path.c_str(), &named) == 0 && SameFile(open, named);
}

int LockWaiting(int fd) {
  int result;
  do {
    result = ::flock(fd, LOCK_EX);
  } while (result != 0 && errno == EINTR);
  return result;
}

// Creates a new file of a name that nobody else uses, locked for as long as this process
// writes it: the start-up sweep removes only temporary files that nobody holds locked.
// The name holds ':', which CheckPictureName refuses, so no checked client name can ever
// collide with it.
std::pair<std::string, int> CreateTemporaryFile(const std::string& folder) {
  static std::atomic<unsigned long> counter{0};
  for (;;) {
    const std::string path = folder + std::string(kTemporaryPrefix) + std::to_string(::getpid()) +
                             ":" + std::to_string(counter.fetch_add(1)) +
                             std::string(kTemporarySuffix);
    // 0666 less the umask: the same rights a plainly created file gets.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno != EEXIST && errno != EINTR) RaiseInOut("Cannot create file in", folder, errno);
      continue;
    }
    if (LockWaiting(fd) != 0) {
      const int error = errno;
      ::close(fd);
      ::unlink(path.c_str());
      RaiseInOut("Cannot lock file", path, error);
    }
    // Between the creation and the lock, a sweep of another process may have taken the
    // still unlocked file for a dead upload's and removed it.
    if (StillNamedBy(fd, path)) return {path, fd};
    ::close(fd);
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
  // Declared first, so the file is closed (and unlocked) before a failed one is removed.
  TemporaryPath temporary(tempPath);
  FileDescriptor file(fd);
  if (const int error = WriteAll(file.Get(), bytes)) {
    RaiseInOut("Cannot write file", finalPath, error);
  }
  // fsync reports every write error still pending, so the close after it has nothing
  // left to report; the file stays open (and locked) until it has its final name.
  if (::fsync(file.Get()) != 0) RaiseInOut("Cannot write file", finalPath, errno);
  if (::rename(temporary.Path().c_str(), finalPath.c_str()) != 0) {
    RaiseInOut("Cannot save file", finalPath, errno);
  }
  temporary.Keep();
  (void)file.Close();
  SyncFolder(folder);
}

std::size_t RemoveUnfinishedUploads(const std::string& folder) {
  DIR* listing = ::opendir(folder.c_str());
  if (listing == nullptr) return 0;
  const int folderFd = ::dirfd(listing);
  std::size_t removed = 0;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (!IsTemporaryName(name)) continue;
    // Write access, as some file systems grant an exclusive lock only with it; never
    // through a link, never blocking on a special file.
    FileDescriptor file(::openat(folderFd, entry->d_name,
                                 O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat open {}, named {};
    if (file.Get() < 0 || ::fstat(file.Get(), &open) != 0 || !S_ISREG(open.st_mode)) continue;
    // Locked: a live process is writing it.
    if (::flock(file.Get(), LOCK_EX | LOCK_NB) != 0) continue;
    // Its writer may have renamed it to its final name in the meantime.
    if (::fstatat(folderFd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !SameFile(open, named)) {
      continue;
    }
    if (::unlinkat(folderFd, entry->d_name, 0) == 0) ++removed;
  }
  ::closedir(listing);
  return removed;
}

}  // namespace tallyhand
