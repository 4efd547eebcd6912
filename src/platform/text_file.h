// Text files read as lines: a byte-order mark selects UTF-8 or UTF-16, otherwise the
// ANSI code page (Windows-1252); a line ends at CR, LF or CR LF. Lines are held as UTF-8.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tallyhand {

enum class TextEncoding { Ansi, Utf8Bom, Utf16LE, Utf16BE };

struct TextLines {
  std::vector<std::string> lines;
  TextEncoding encoding = TextEncoding::Ansi;
};

// Raises EFOpenError naming the file and the cause when it cannot be read.
TextLines ReadTextLines(const std::string& path);

// The lines of a file's bytes, by the rules of ReadTextLines.
TextLines DecodeTextLines(std::string_view bytes);

// The bytes WriteTextLines writes: every line followed by CR LF, in the encoding, with
// its byte-order mark.
std::string EncodeTextLines(const std::vector<std::string>& lines, TextEncoding encoding);

// Replaces the file: every line followed by CR LF, in the given encoding (with its
// byte-order mark; characters ANSI lacks become '?'). Raises EInOutError on failure.
void WriteTextLines(const std::string& path, const std::vector<std::string>& lines,
                    TextEncoding encoding);

// The value of the last line that begins, at its first character and with letter case
// significant, with key: the line's characters after key and one more (normally "="),
// at most 255 of them. Empty when no line begins with key. Lines that begin with
// excludedPrefix (when not empty) are passed over.
std::string LastKeyLineValue(const std::vector<std::string>& lines, std::string_view key,
                             std::string_view excludedPrefix = {});

// Characters [from, from+count) of a UTF-8 text, counted in code points.
std::string Utf8Substr(std::string_view text, size_t from, size_t count);

}  // namespace tallyhand
