#include "platform/text_file.h"
#include "platform/file_descriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/codepage.h"
#include "platform/exception.h"

namespace tallyhand {
namespace {

std::string Cause(int error) { return std::strerror(error); }

[[noreturn]] void RaiseWriteFailure(const std::string& what, const std::string& path, int error) {
  std::string message = what + " \"" + path + "\". " + Cause(error);
  if (IsResourceExhaustion(error)) throw EResourceExhausted(std::move(message));
  throw EInOutError(std::move(message));
}

void OverwriteInPlace(FileDescriptor& file, std::string_view content, const std::string& path) {
  if (::ftruncate(file.Get(), 0) != 0) RaiseWriteFailure("Cannot write file", path, errno);
  if (const int error = WriteAll(file.Get(), content)) {
    RaiseWriteFailure("Cannot write file", path, error);
  }
  if (file.Close() != 0) RaiseWriteFailure("Cannot write file", path, errno);
}


std::string ReadWholeFile(const std::string& path) {
  auto openError = [&path](int error) {
    return EFOpenError("Cannot open file \"" + path + "\". " + Cause(error));
  };
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.Get() < 0) throw openError(errno);
  struct stat info {};
  if (::fstat(fd.Get(), &info) != 0) throw openError(errno);
  if (S_ISDIR(info.st_mode)) throw openError(EISDIR);
  std::string content;
  if (S_ISREG(info.st_mode)) content.reserve(static_cast<std::size_t>(info.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd.Get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw openError(errno);
    }
    if (got == 0) break;
    content.append(buffer, static_cast<std::size_t>(got));
  }
  return content;
}

std::string DecodeUtf16(std::string_view bytes, bool bigEndian) {
  std::string out;
  out.reserve(bytes.size());
  auto unitAt = [&](std::size_t i) -> char32_t {
    const auto first = static_cast<unsigned char>(bytes[i]);
    const auto second = static_cast<unsigned char>(bytes[i + 1]);
    return bigEndian ? (char32_t{first} << 8 | second) : (char32_t{second} << 8 | first);
  };
  std::size_t i = 0;
  while (i + 1 < bytes.size()) {
    char32_t unit = unitAt(i);
    i += 2;
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < bytes.size()) {
      const char32_t low = unitAt(i);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    AppendUtf8(out, unit);  // a lone surrogate becomes U+FFFD there
  }
  if (i < bytes.size()) AppendUtf8(out, 0xFFFD);  // an odd last byte
  return out;
}

void AppendUtf16(std::string& out, char32_t cp, bool bigEndian) {
  auto unit = [&](char32_t u) {
    const auto high = static_cast<char>((u >> 8) & 0xFF);
    const auto low = static_cast<char>(u & 0xFF);
    out += bigEndian ? high : low;
    out += bigEndian ? low : high;
  };
  if (cp >= 0x10000) {
    cp -= 0x10000;
    unit(0xD800 + (cp >> 10));
    unit(0xDC00 + (cp & 0x3FF));
  } else {
    unit(cp);
  }
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '\r' || text[i] == '\n') {
      lines.emplace_back(text.substr(start, i - start));
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      start = ++i;
    } else {
      ++i;
    }
  }
  // A last line without a line break still counts; a final line break opens no line.
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

}  // namespace

std::string EncodeTextLines(const std::vector<std::string>& lines, TextEncoding encoding) {
  std::string out;
  switch (encoding) {
    case TextEncoding::Ansi:
      for (const auto& line : lines) {
        out += Utf8ToCp1252(line);
        out += "\r\n";
      }
      break;
    case TextEncoding::Utf8Bom:
      out = "\xEF\xBB\xBF";
      for (const auto& line : lines) {
        out += SanitizeUtf8(line);
        out += "\r\n";
      }
      break;
    case TextEncoding::Utf16LE:
    case TextEncoding::Utf16BE: {
      const bool bigEndian = encoding == TextEncoding::Utf16BE;
      AppendUtf16(out, 0xFEFF, bigEndian);
      for (const auto& line : lines) {
        for (char32_t cp : Utf8ToCodePoints(line)) AppendUtf16(out, cp, bigEndian);
        AppendUtf16(out, '\r', bigEndian);
        AppendUtf16(out, '\n', bigEndian);
      }
      break;
    }
  }
  return out;
}

TextLines ReadTextLines(const std::string& path) { return DecodeTextLines(ReadWholeFile(path)); }

TextLines DecodeTextLines(std::string_view bytes) {
  TextLines result;
  if (bytes.starts_with("\xEF\xBB\xBF")) {
    result.encoding = TextEncoding::Utf8Bom;
    result.lines = SplitLines(SanitizeUtf8(bytes.substr(3)));
  } else if (bytes.starts_with("\xFF\xFE")) {
    result.encoding = TextEncoding::Utf16LE;
    result.lines = SplitLines(DecodeUtf16(bytes.substr(2), false));
  } else if (bytes.starts_with("\xFE\xFF")) {
    result.encoding = TextEncoding::Utf16BE;
    result.lines = SplitLines(DecodeUtf16(bytes.substr(2), true));
  } else {
    result.encoding = TextEncoding::Ansi;
    result.lines = SplitLines(Cp1252ToUtf8(bytes));
  }
  return result;
}

void WriteTextLines(const std::string& path, const std::vector<std::string>& lines,
                    TextEncoding encoding) {
  const std::string content = EncodeTextLines(lines, encoding);
  // Opened first as before, so that a file this process may not write is still refused.
  FileDescriptor existing(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
  if (existing.Get() < 0) RaiseWriteFailure("Cannot create file", path, errno);
  struct stat named {};
  const bool isLink = ::lstat(path.c_str(), &named) == 0 && S_ISLNK(named.st_mode);
  // The new text goes to a file of its own beside the old one, which it then replaces:
  // a failure part-way (a full disk) leaves the old text whole instead of cut short.
  std::string temporaryPath = path + ".new-XXXXXX";
  FileDescriptor temporary(isLink ? -1 : ::mkostemp(temporaryPath.data(), O_CLOEXEC));
  if (temporary.Get() < 0) {
    if (!isLink && IsResourceExhaustion(errno)) RaiseWriteFailure("Cannot write file", path, errno);
    // A link is written through, and a folder that takes no new file leaves only the
    // rewrite in place.
    return OverwriteInPlace(existing, content, path);
  }
  TemporaryPath removal(temporaryPath);
  struct stat old {};
  if (::fstat(existing.Get(), &old) == 0) {
    // The replacement keeps the rights of the file it replaces, and its owner where the
    // process may give it (as root).
    (void)::fchmod(temporary.Get(), old.st_mode & 07777);
    (void)::fchown(temporary.Get(), old.st_uid, old.st_gid);
  }
  if (const int error = WriteAll(temporary.Get(), content)) {
    RaiseWriteFailure("Cannot write file", path, error);
  }
  if (temporary.Close() != 0) RaiseWriteFailure("Cannot write file", path, errno);
  if (::rename(temporaryPath.c_str(), path.c_str()) != 0) {
    RaiseWriteFailure("Cannot write file", path, errno);
  }
  removal.Keep();
}

std::string Utf8Substr(std::string_view text, size_t from, size_t count) {
  auto isStart = [&](std::size_t i) { return (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80; };
  std::size_t i = 0;
  std::size_t seen = 0;
  // Skip `from` characters; a character starts at every byte that is not a continuation.
  while (i < text.size()) {
    if (isStart(i)) {
      if (seen == from) break;
      ++seen;
    }
    ++i;
  }
  const std::size_t begin = i;
  std::size_t taken = 0;
  while (i < text.size()) {
    if (isStart(i)) {
      if (taken == count) break;
      ++taken;
    }
    ++i;
  }
  return std::string(text.substr(begin, i - begin));
}

std::string LastKeyLineValue(const std::vector<std::string>& lines, std::string_view key,
                             std::string_view excludedPrefix) {
  constexpr std::size_t kMaxValueLength = 255;
  const std::string* last = nullptr;
  for (const auto& line : lines) {
    if (!excludedPrefix.empty() && line.starts_with(excludedPrefix)) continue;
    if (line.starts_with(key)) last = &line;
  }
  if (last == nullptr) return {};
  return Utf8Substr(*last, Utf8Length(key) + 1, kMaxValueLength);
}

}  // namespace tallyhand
