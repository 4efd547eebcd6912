// Writes a baseline JPEG of exactly the requested size: a noise image, then comment
// segments after the start-of-image marker to pad it out. The benchmark uploads it.
//   bench_make_jpeg OUTPUT [BYTES]   (default 102400)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

namespace {

std::vector<unsigned char> EncodeNoise(int side) {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr jerr{};
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = static_cast<JDIMENSION>(side);
  cinfo.image_height = static_cast<JDIMENSION>(side);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 75, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  std::mt19937 random(7);
  std::vector<unsigned char> row(static_cast<size_t>(side) * 3);
  while (cinfo.next_scanline < cinfo.image_height) {
    for (auto& byte : row) byte = static_cast<unsigned char>(random());
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&cinfo, rows, 1);
  }
  jpeg_finish_compress(&cinfo);
  std::vector<unsigned char> out(buffer, buffer + size);
  jpeg_destroy_compress(&cinfo);
  std::free(buffer);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_make_jpeg OUTPUT [BYTES]\n");
    return 2;
  }
  const size_t target = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 102400;
  // The largest noise square that still leaves room for at least one comment header.
  std::vector<unsigned char> image;
  for (int side = 8; side <= 4096; side += 8) {
    std::vector<unsigned char> next = EncodeNoise(side);
    if (next.size() + 4 > target) break;
    image = std::move(next);
  }
  if (image.empty()) {
    std::fprintf(stderr, "bench_make_jpeg: %zu bytes is too small\n", target);
    return 1;
  }
  std::vector<unsigned char> padding;
  size_t missing = target - image.size();
  while (missing > 0) {
    // A comment segment: marker, two length bytes (counting themselves), payload.
    size_t segment = std::min<size_t>(missing, 65535 + 2);
    if (missing - segment > 0 && missing - segment < 4) segment -= 4;
    if (segment < 4) segment = 4;  // cannot happen for targets padded here
    const size_t length = segment - 2;
    padding.insert(padding.end(), {0xFF, 0xFE, static_cast<unsigned char>(length >> 8),
                                   static_cast<unsigned char>(length & 0xFF)});
    padding.insert(padding.end(), length - 2, 'x');
    missing -= segment;
  }
  image.insert(image.begin() + 2, padding.begin(), padding.end());
  std::ofstream(argv[1], std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  return 0;
}
