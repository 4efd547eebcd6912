// A small file system of its own for tests of a full disk: a tmpfs mounted on a new
// folder under /tmp, which Fill() fills to the last byte and Free() empties again.
// Mounting needs root (CAP_SYS_ADMIN); where it is refused, Mounted() is false and Why()
// says so, and the test is to fail on it, not pass without having run.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace tallyhand::testsupport {

class SmallTmpfs {
 public:
  // A file system of `bytes` bytes (rounded up to whole pages by the kernel), mounted on
  // `folder` when given (it must exist), else on a new folder of its own.
  explicit SmallTmpfs(std::size_t bytes, std::string folder = {}) {
    if (folder.empty()) {
      char pattern[] = "/tmp/tallyhand-tmpfs-XXXXXX";
      if (::mkdtemp(pattern) == nullptr) {
        why_ = std::string("mkdtemp failed: ") + std::strerror(errno);
        return;
      }
      folder = pattern;
      ownFolder_ = true;
    }
    path_ = folder.back() == '/' ? folder : folder + "/";
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    if (::mount("tmpfs", path_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
      why_ = "cannot mount a tmpfs on " + path_ + " (" + std::strerror(errno) +
             "): the full-disk tests need root, or CAP_SYS_ADMIN, to mount one";
      return;
    }
    mounted_ = true;
  }
  ~SmallTmpfs() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    if (ownFolder_) ::rmdir(path_.c_str());
  }
  SmallTmpfs(const SmallTmpfs&) = delete;
  SmallTmpfs& operator=(const SmallTmpfs&) = delete;

  bool Mounted() const { return mounted_; }
  const std::string& Why() const { return why_; }
  // The mount point, ending with '/'.
  const std::string& Path() const { return path_; }

  // Writes a filler file until the file system has no byte left; true when it is full.
  bool Fill() {
    const int fd = ::open(FillerPath().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const std::string block(4096, 'f');
    bool full = false;
    for (;;) {
      const ssize_t n = ::write(fd, block.data(), block.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        full = errno == ENOSPC;
        break;
      }
      // A short write means the last page is taken; the next write says ENOSPC.
    }
    // The last partial page too.
    while (::write(fd, "f", 1) == 1) {
    }
    ::close(fd);
    return full;
  }
  void Free() { ::unlink(FillerPath().c_str()); }

 private:
  std::string FillerPath() const { return path_ + ".filler"; }

  std::string path_;
  std::string why_;
  bool mounted_ = false;
  bool ownFolder_ = false;
};

}  // namespace tallyhand::testsupport
