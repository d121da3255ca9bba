// A palette image and its PNG file. The writer needs no library: the image
// data goes out as stored (uncompressed) deflate blocks, which every PNG
// reader accepts; one byte per pixel keeps the file small enough for a plot.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace qkmine {

struct Image {
  int width = 0, height = 0;
  std::vector<std::array<uint8_t, 3>> palette;  // at most 256 RGB entries
  std::vector<uint8_t> pixels;                  // palette indices, row by row

  Image(int w, int h, uint8_t background = 0) : width(w), height(h), pixels(size_t(w) * h, background) {}
  void set(int x, int y, uint8_t c) {
    if (x >= 0 && y >= 0 && x < width && y < height) pixels[size_t(y) * width + x] = c;
  }
  void fill(int x0, int y0, int x1, int y1, uint8_t c);  // [x0, x1) x [y0, y1), clipped
};

uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc = 0);
uint32_t adler32(const uint8_t* data, size_t size);

// The PNG file's bytes, and writing them; false when the file cannot be written.
std::vector<uint8_t> encode_png(const Image& image);
bool write_png(const Image& image, const std::string& path);

}  // namespace qkmine
