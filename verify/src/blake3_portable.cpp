// One chunk or parent at a time: the fallback for any x86-64 (or other) CPU,
// and the tail of the wide kernels.
#include <cstring>

#include "blake3_kernels.h"

namespace quorl::verify::blake3 {

const uint32_t kIv[8] = {0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A,
                         0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19};

namespace {

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline void g(uint32_t* s, int a, int b, int c, int d, uint32_t x, uint32_t y) {
  s[a] += s[b] + x;
  s[d] = rotr(s[d] ^ s[a], 16);
  s[c] += s[d];
  s[b] = rotr(s[b] ^ s[c], 12);
  s[a] += s[b] + y;
  s[d] = rotr(s[d] ^ s[a], 8);
  s[c] += s[d];
  s[b] = rotr(s[b] ^ s[c], 7);
}

inline uint32_t load_le(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void chunks_portable(const uint32_t key[8], const uint8_t* data, size_t count,
                     uint64_t first_chunk, uint32_t* out) {
  for (size_t i = 0; i < count; ++i) {
    uint32_t cv[8];
    std::memcpy(cv, key, sizeof cv);
    const uint8_t* chunk = data + i * kChunkLen;
    for (size_t b = 0; b < kChunkLen / kBlockLen; ++b) {
      uint32_t block[16];
      for (int w = 0; w < 16; ++w) block[w] = load_le(chunk + b * kBlockLen + 4 * w);
      const uint32_t flags = kKeyedHash | (b == 0 ? kChunkStart : 0) |
                             (b == kChunkLen / kBlockLen - 1 ? kChunkEnd : 0);
      compress(cv, block, first_chunk + i, flags, cv);
    }
    std::memcpy(out + 8 * i, cv, sizeof cv);
  }
}

void parents_portable(const uint32_t key[8], const uint32_t* in, size_t count,
                      uint32_t extra_flags, uint32_t* out) {
  for (size_t i = 0; i < count; ++i) {
    compress(key, in + 16 * i, 0, kParent | kKeyedHash | extra_flags, out + 8 * i);
  }
}

}  // namespace

void compress(const uint32_t cv[8], const uint32_t block[16], uint64_t counter, uint32_t flags,
              uint32_t out[8]) {
  uint32_t s[16] = {cv[0],  cv[1],  cv[2],  cv[3],  cv[4],  cv[5],  cv[6],  cv[7],
                    kIv[0], kIv[1], kIv[2], kIv[3], uint32_t(counter), uint32_t(counter >> 32),
                    uint32_t(kBlockLen), flags};
  for (const uint8_t* m : kSchedule) {
    g(s, 0, 4, 8, 12, block[m[0]], block[m[1]]);
    g(s, 1, 5, 9, 13, block[m[2]], block[m[3]]);
    g(s, 2, 6, 10, 14, block[m[4]], block[m[5]]);
    g(s, 3, 7, 11, 15, block[m[6]], block[m[7]]);
    g(s, 0, 5, 10, 15, block[m[8]], block[m[9]]);
    g(s, 1, 6, 11, 12, block[m[10]], block[m[11]]);
    g(s, 2, 7, 8, 13, block[m[12]], block[m[13]]);
    g(s, 3, 4, 9, 14, block[m[14]], block[m[15]]);
  }
  for (int i = 0; i < 8; ++i) out[i] = s[i] ^ s[i + 8];
}

const Kernels& portable_kernels() {
  static const Kernels k{"portable", 1, chunks_portable, parents_portable};
  return k;
}

std::vector<const Kernels*> supported_kernels() {
  std::vector<const Kernels*> sets;
  for (const Kernels* k : {avx512_kernels(), avx2_kernels()}) {
    if (k != nullptr) sets.push_back(k);
  }
  sets.push_back(&portable_kernels());
  return sets;
}

const Kernels& best_kernels() {
  static const Kernels& k = *supported_kernels().front();
  return k;
}

}  // namespace quorl::verify::blake3
