// Text encodings at the system's edges. Inside, text is UTF-8; requests arrive and
// responses and the log leave in Windows-1252 unless a content type names UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace tallyhand {

// Windows-1252 bytes to UTF-8. The five bytes the code page leaves undefined map to
// the C1 controls of the same value, as the Windows conversion does.
std::string Cp1252ToUtf8(std::string_view bytes);

// UTF-8 to Windows-1252; every character the code page lacks becomes '?'.
// Invalid UTF-8 sequences also become '?'.
std::string Utf8ToCp1252(std::string_view text);

// Replaces every invalid UTF-8 sequence by U+FFFD, as a UTF-8 decoder does.
std::string SanitizeUtf8(std::string_view bytes);

// True when the bytes hold no invalid UTF-8 sequence (SanitizeUtf8 would keep them as
// they are).
bool IsValidUtf8(std::string_view bytes);

// True when the content type names both "CHARSET" and "UTF-8", letter case ignored.
bool ContentTypeMeansUtf8(std::string_view contentType);

// Decodes a request body or value by the code-page rule for its content type.
std::string DecodeByContentType(std::string_view bytes, std::string_view contentType);

// Number of characters (code points) in a UTF-8 text.
size_t Utf8Length(std::string_view text);

// The code points of a UTF-8 text; each invalid sequence gives one U+FFFD.
std::u32string Utf8ToCodePoints(std::string_view text);

// Appends one code point (at most U+10FFFF, no surrogate) as UTF-8.
void AppendUtf8(std::string& out, char32_t codePoint);

}  // namespace tallyhand
