#include "png_image.h"

#include <algorithm>
#include <cstdio>

namespace qkmine {
namespace {

void put_be32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(v >> shift));
}

void put_chunk(std::vector<uint8_t>& out, const char type[4], const std::vector<uint8_t>& data) {
  put_be32(out, uint32_t(data.size()));
  const size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  put_be32(out, crc32(out.data() + start, out.size() - start));
}

// A zlib stream of stored deflate blocks (at most 65535 bytes each).
std::vector<uint8_t> zlib_stored(const std::vector<uint8_t>& raw) {
  std::vector<uint8_t> out = {0x78, 0x01};
  size_t at = 0;
  do {
    const size_t len = std::min<size_t>(65535, raw.size() - at);
    out.push_back(at + len == raw.size() ? 1 : 0);  // BFINAL on the last block, BTYPE 00
    out.push_back(uint8_t(len)), out.push_back(uint8_t(len >> 8));
    out.push_back(uint8_t(~len)), out.push_back(uint8_t(~len >> 8));
    out.insert(out.end(), raw.begin() + long(at), raw.begin() + long(at + len));
    at += len;
  } while (at < raw.size());
  put_be32(out, adler32(raw.data(), raw.size()));
  return out;
}

}  // namespace

void Image::fill(int x0, int y0, int x1, int y1, uint8_t c) {
  x0 = std::max(x0, 0), y0 = std::max(y0, 0), x1 = std::min(x1, width), y1 = std::min(y1, height);
  for (int y = y0; y < y1; ++y) std::fill_n(pixels.begin() + long(size_t(y) * width + x0), std::max(0, x1 - x0), c);
}

uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc) {
  crc = ~crc;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int b = 0; b < 8; ++b) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

uint32_t adler32(const uint8_t* data, size_t size) {
  uint32_t a = 1, b = 0;
  for (size_t i = 0; i < size; ++i) {
    a = (a + data[i]) % 65521;
    b = (b + a) % 65521;
  }
  return (b << 16) | a;
}

std::vector<uint8_t> encode_png(const Image& image) {
  std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<uint8_t> header;
  put_be32(header, uint32_t(image.width));
  put_be32(header, uint32_t(image.height));
  header.insert(header.end(), {8, 3, 0, 0, 0});  // 8-bit palette indices, no interlace
  put_chunk(out, "IHDR", header);
  std::vector<uint8_t> palette;
  for (const auto& rgb : image.palette) palette.insert(palette.end(), rgb.begin(), rgb.end());
  put_chunk(out, "PLTE", palette);
  std::vector<uint8_t> raw;
  raw.reserve(size_t(image.width + 1) * image.height);
  for (int y = 0; y < image.height; ++y) {
    raw.push_back(0);  // filter: none
    const auto row = image.pixels.begin() + long(size_t(y) * image.width);
    raw.insert(raw.end(), row, row + image.width);
  }
  put_chunk(out, "IDAT", zlib_stored(raw));
  put_chunk(out, "IEND", {});
  return out;
}

bool write_png(const Image& image, const std::string& path) {
  const std::vector<uint8_t> bytes = encode_png(image);
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace qkmine
