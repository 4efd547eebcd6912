// Whether a saved upload is a JPEG image, judged by its header alone.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tallyhand {

// True when the file holds no bytes at all, or when libjpeg reads its header (the
// start-of-image marker and every marker up to the first start-of-scan) without error.
// False when the file cannot be read or the header is not a JPEG header. The image data
// after the header is not decoded. Never raises and writes no log line.
bool IsJPEGFile(const std::string& path);

// The same judgement on bytes in memory (at most kJpegCheckMaxBytes of them are looked
// at): an upload is judged by the bytes just saved, without reading its file back.
bool IsJPEGData(std::string_view bytes);

// The most bytes read from the file: a header lies near the start, and this keeps one
// check from holding an unbounded buffer however the file came to be.
inline constexpr std::size_t kJpegCheckMaxBytes = 64u * 1024u * 1024u;

}  // namespace tallyhand
