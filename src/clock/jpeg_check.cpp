#include "clock/jpeg_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>  // jpeglib.h needs FILE and size_t declared first
#include <optional>
#include <vector>

#include <jpeglib.h>

namespace tallyhand {
namespace {

// Reads at most kJpegCheckMaxBytes of a regular file; nullopt when it cannot be read.
std::optional<std::vector<unsigned char>> ReadFileBounded(const std::string& path) {
  // O_NONBLOCK: a FIFO or device under that name must not stall the request.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  std::optional<std::vector<unsigned char>> result;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    const auto expected = std::min<std::size_t>(static_cast<std::size_t>(info.st_size),
                                                kJpegCheckMaxBytes);
    std::vector<unsigned char> bytes(expected);
    std::size_t filled = 0;
    bool failed = false;
    while (filled < bytes.size()) {
      const ssize_t got = ::read(fd, bytes.data() + filled, bytes.size() - filled);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        failed = true;
        break;
      }
      if (got == 0) break;  // the file shrank since fstat
      filled += static_cast<std::size_t>(got);
    }
    if (!failed) {
      bytes.resize(filled);
      result = std::move(bytes);
    }
  }
  ::close(fd);
  return result;
}

struct SilentErrorManager {
  jpeg_error_mgr base;  // first member: libjpeg hands back a pointer to it
  std::jmp_buf escape;
};

[[noreturn]] void LeaveOnError(j_common_ptr cinfo) {
  auto* manager = reinterpret_cast<SilentErrorManager*>(cinfo->err);
  std::longjmp(manager->escape, 1);
}

// libjpeg would print warnings and traces to stderr; the check reports nothing.
void DiscardMessage(j_common_ptr) {}

// Only plain C objects live in this frame, so leaving libjpeg by longjmp skips no
// destructor.
bool ReadsAsJpegHeader(const unsigned char* data, std::size_t size) {
  jpeg_decompress_struct cinfo{};
  SilentErrorManager errors{};
  cinfo.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = LeaveOnError;
  errors.base.output_message = DiscardMessage;
  if (setjmp(errors.escape) != 0) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
  const int status = jpeg_read_header(&cinfo, TRUE);
  jpeg_destroy_decompress(&cinfo);
  return status == JPEG_HEADER_OK;
}

}  // namespace

bool IsJPEGFile(const std::string& path) {
  try {
    const auto bytes = ReadFileBounded(path);
    if (!bytes) return false;
    return IsJPEGData(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
  } catch (...) {
    return false;  // out of memory for the buffer: not judged a JPEG, and never raised
  }
}

bool IsJPEGData(std::string_view bytes) {
  if (bytes.empty()) return true;
  const std::size_t size = std::min(bytes.size(), kJpegCheckMaxBytes);
  return ReadsAsJpegHeader(reinterpret_cast<const unsigned char*>(bytes.data()), size);
}

}  // namespace tallyhand
