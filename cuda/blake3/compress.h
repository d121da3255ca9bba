// The BLAKE3 compression function, shared by every kernel that hashes.
// Fully unrolled: the message schedule is resolved at compile time and the
// sixteen state words stay in registers.
#pragma once

#include <cstdint>

#include "../common/host_device.h"

namespace quorl::blake3 {

enum Flag : uint32_t {
  kChunkStart = 1,
  kChunkEnd = 2,
  kParent = 4,
  kRoot = 8,
  kKeyedHash = 16,
};

constexpr uint32_t kBlockLen = 64;

// Calling-mode flag sets.
constexpr uint32_t kFlagsPlainBlock = kChunkStart | kChunkEnd | kRoot;               // 11
constexpr uint32_t kFlagsKeyedBlock = kFlagsPlainBlock | kKeyedHash;                 // 27
constexpr uint32_t kFlagsParent = kParent | kKeyedHash;                              // 20
constexpr uint32_t kFlagsRootParent = kFlagsParent | kRoot;                          // 28

// The BLAKE3 IV (the SHA-256 IV), the chaining value of unkeyed hashing.
QK_HD void load_iv(uint32_t iv[8]) {
  iv[0] = 0x6A09E667u;
  iv[1] = 0xBB67AE85u;
  iv[2] = 0x3C6EF372u;
  iv[3] = 0xA54FF53Au;
  iv[4] = 0x510E527Fu;
  iv[5] = 0x9B05688Cu;
  iv[6] = 0x1F83D9ABu;
  iv[7] = 0x5BE0CD19u;
}

QK_HD uint32_t rotr(uint32_t x, uint32_t n) {
#if defined(__CUDA_ARCH__)
  return __funnelshift_r(x, x, n);
#else
  return (x >> n) | (x << (32 - n));
#endif
}

QK_HD void g(uint32_t* v, int a, int b, int c, int d, uint32_t mx, uint32_t my) {
  v[a] = v[a] + v[b] + mx;
  v[d] = rotr(v[d] ^ v[a], 16);
  v[c] = v[c] + v[d];
  v[b] = rotr(v[b] ^ v[c], 12);
  v[a] = v[a] + v[b] + my;
  v[d] = rotr(v[d] ^ v[a], 8);
  v[c] = v[c] + v[d];
  v[b] = rotr(v[b] ^ v[c], 7);
}

QK_HD void round(uint32_t v[16], const uint32_t m[16]) {
  // Columns, then diagonals.
  g(v, 0, 4, 8, 12, m[0], m[1]);
  g(v, 1, 5, 9, 13, m[2], m[3]);
  g(v, 2, 6, 10, 14, m[4], m[5]);
  g(v, 3, 7, 11, 15, m[6], m[7]);
  g(v, 0, 5, 10, 15, m[8], m[9]);
  g(v, 1, 6, 11, 12, m[10], m[11]);
  g(v, 2, 7, 8, 13, m[12], m[13]);
  g(v, 3, 4, 9, 14, m[14], m[15]);
}

// The message permutation applied between rounds. Once unrolled it is only a
// renaming of registers.
QK_HD void permute(uint32_t m[16]) {
  const uint32_t t[16] = {m[2], m[6], m[3],  m[10], m[7],  m[0],  m[4],  m[13],
                          m[1], m[11], m[12], m[5], m[9], m[14], m[15], m[8]};
  QK_UNROLL
  for (int i = 0; i < 16; ++i) m[i] = t[i];
}

// out = first eight words of the compression of `block` under chaining value
// `cv`. `out` may alias `cv`.
QK_HD void compress(const uint32_t cv[8], const uint32_t block[16], uint64_t counter,
                    uint32_t block_len, uint32_t flags, uint32_t out[8]) {
  uint32_t iv[8];
  load_iv(iv);
  uint32_t v[16] = {cv[0], cv[1], cv[2], cv[3], cv[4],  cv[5],  cv[6],  cv[7],
                    iv[0], iv[1], iv[2], iv[3], uint32_t(counter), uint32_t(counter >> 32),
                    block_len, flags};
  uint32_t m[16];
  QK_UNROLL
  for (int i = 0; i < 16; ++i) m[i] = block[i];
  QK_UNROLL
  for (int r = 0; r < 7; ++r) {
    round(v, m);
    if (r < 6) permute(m);
  }
  QK_UNROLL
  for (int i = 0; i < 8; ++i) out[i] = v[i] ^ v[i + 8];
}

}  // namespace quorl::blake3
