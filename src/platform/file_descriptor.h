// A file descriptor closed on every path out of a read or write, and what goes with it.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

namespace tallyhand {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int Get() const { return fd_; }
  // Closes now and reports the result: a delayed write error may surface only here.
  int Close() {
    const int result = ::close(fd_);
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

// Writes every byte, however many calls it takes; 0, or the error number of the write
// that failed.
inline int WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

// A file made for a moment (the first copy of a file that is to replace another): removed
// on every path out, unless it was kept.
class TemporaryPath {
 public:
  explicit TemporaryPath(std::string path) : path_(std::move(path)) {}
  ~TemporaryPath() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TemporaryPath(const TemporaryPath&) = delete;
  TemporaryPath& operator=(const TemporaryPath&) = delete;
  const std::string& Path() const { return path_; }
  void Keep() { path_.clear(); }

 private:
  std::string path_;
};

}  // namespace tallyhand
