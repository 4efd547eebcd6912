// JPEG images made in memory with libjpeg's compressor, for tests that need real files.
#pragma once

#include <cstdio>  // jpeglib.h needs FILE and size_t declared first
#include <cstdlib>
#include <string>
#include <vector>

#include <jpeglib.h>

namespace tallyhand::testing {

// Noisy: a baseline image of random pixels, which hardly compresses (a large file).
enum class JpegKind { Baseline, Progressive, Grayscale, Noisy };

// A small image with a gradient, so the scan data is not trivial.
inline std::string MakeJpeg(JpegKind kind, int width = 32, int height = 24) {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr errors{};
  cinfo.err = jpeg_std_error(&errors);
  jpeg_create_compress(&cinfo);
  unsigned char* out = nullptr;
  unsigned long outSize = 0;
  jpeg_mem_dest(&cinfo, &out, &outSize);

  const bool gray = kind == JpegKind::Grayscale;
  cinfo.image_width = static_cast<JDIMENSION>(width);
  cinfo.image_height = static_cast<JDIMENSION>(height);
  cinfo.input_components = gray ? 1 : 3;
  cinfo.in_color_space = gray ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 85, TRUE);
  if (kind == JpegKind::Progressive) jpeg_simple_progression(&cinfo);
  jpeg_start_compress(&cinfo, TRUE);

  const int components = cinfo.input_components;
  std::vector<unsigned char> row(static_cast<size_t>(width * components));
  unsigned noise = 7;  // a fixed sequence: the same bytes on every run
  while (cinfo.next_scanline < cinfo.image_height) {
    const auto y = static_cast<int>(cinfo.next_scanline);
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < components; ++c) {
        noise = noise * 1103515245u + 12345u;
        row[static_cast<size_t>(x * components + c)] =
            kind == JpegKind::Noisy ? static_cast<unsigned char>(noise >> 16)
                                    : static_cast<unsigned char>((x * 7 + y * 5 + c * 40) & 0xFF);
      }
    }
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&cinfo, rows, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);

  std::string bytes(reinterpret_cast<const char*>(out), outSize);
  std::free(out);
  return bytes;
}

// The offset just past the first start-of-scan segment's header: everything before it is
// the JPEG header, everything from it on is compressed image data. npos when absent.
inline size_t ImageDataOffset(const std::string& jpeg) {
  size_t pos = 2;  // after the start-of-image marker
  while (pos + 4 <= jpeg.size()) {
    if (static_cast<unsigned char>(jpeg[pos]) != 0xFF) return std::string::npos;
    const auto marker = static_cast<unsigned char>(jpeg[pos + 1]);
    const size_t length = (static_cast<unsigned char>(jpeg[pos + 2]) << 8) |
                          static_cast<unsigned char>(jpeg[pos + 3]);
    pos += 2 + length;
    if (marker == 0xDA) return pos;
  }
  return std::string::npos;
}

}  // namespace tallyhand::testing
