#include "quorl_ref/blake3.hpp"

#include <cstring>

namespace quorl::ref {
namespace {

constexpr Cv kIv = {0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A,
                    0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19};

constexpr uint8_t kPermutation[16] = {2, 6, 3, 10, 7, 0, 4, 13, 1, 11, 12, 5, 9, 14, 15, 8};

inline uint32_t rotate_right(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline void mix(uint32_t s[16], int a, int b, int c, int d, uint32_t x, uint32_t y) {
  s[a] += s[b] + x;
  s[d] = rotate_right(s[d] ^ s[a], 16);
  s[c] += s[d];
  s[b] = rotate_right(s[b] ^ s[c], 12);
  s[a] += s[b] + y;
  s[d] = rotate_right(s[d] ^ s[a], 8);
  s[c] += s[d];
  s[b] = rotate_right(s[b] ^ s[c], 7);
}

inline uint32_t load_le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

Cv chunk_through(const Cv& key, const uint8_t* chunk, uint64_t index, int blocks) {
  Cv cv = key;
  for (int b = 0; b < blocks; ++b) {
    uint32_t flags = KEYED_HASH;
    if (b == 0) flags |= CHUNK_START;
    if (b == kChunkLen / kBlockLen - 1) flags |= CHUNK_END;
    cv = compress(cv, block_from_bytes(chunk + b * kBlockLen), index, kBlockLen, flags);
  }
  return cv;
}

}  // namespace

Cv compress(const Cv& cv, const Block& block, uint64_t counter, uint32_t block_len,
            uint32_t flags) {
  uint32_t s[16] = {cv[0],  cv[1],  cv[2],  cv[3],  cv[4],           cv[5],
                    cv[6],  cv[7],  kIv[0], kIv[1], kIv[2],          kIv[3],
                    uint32_t(counter), uint32_t(counter >> 32), block_len, flags};
  Block m = block;
  for (int round = 0; round < 7; ++round) {
    mix(s, 0, 4, 8, 12, m[0], m[1]);
    mix(s, 1, 5, 9, 13, m[2], m[3]);
    mix(s, 2, 6, 10, 14, m[4], m[5]);
    mix(s, 3, 7, 11, 15, m[6], m[7]);
    mix(s, 0, 5, 10, 15, m[8], m[9]);
    mix(s, 1, 6, 11, 12, m[10], m[11]);
    mix(s, 2, 7, 8, 13, m[12], m[13]);
    mix(s, 3, 4, 9, 14, m[14], m[15]);
    Block next;
    for (int i = 0; i < 16; ++i) next[i] = m[kPermutation[i]];
    m = next;
  }
  Cv out;
  for (int i = 0; i < 8; ++i) out[i] = s[i] ^ s[i + 8];
  return out;
}

Block block_from_bytes(const void* bytes64) {
  const auto* p = static_cast<const uint8_t*>(bytes64);
  Block b;
  for (int i = 0; i < 16; ++i) b[i] = load_le32(p + 4 * i);
  return b;
}

Cv cv_from_bytes(const void* bytes32) {
  const auto* p = static_cast<const uint8_t*>(bytes32);
  Cv cv;
  for (int i = 0; i < 8; ++i) cv[i] = load_le32(p + 4 * i);
  return cv;
}

void cv_to_bytes(const Cv& cv, void* bytes32) {
  auto* p = static_cast<uint8_t*>(bytes32);
  for (int i = 0; i < 8; ++i) {
    for (int j = 0; j < 4; ++j) p[4 * i + j] = uint8_t(cv[i] >> (8 * j));
  }
}

Cv iv() { return kIv; }

Cv hash_block(const Block& message) {
  return compress(kIv, message, 0, kBlockLen, CHUNK_START | CHUNK_END | ROOT);
}

Cv keyed_hash_block(const Cv& key, const Block& message) {
  return compress(key, message, 0, kBlockLen, CHUNK_START | CHUNK_END | ROOT | KEYED_HASH);
}

Cv chunk_cv(const Cv& key, const void* chunk, uint64_t chunk_index) {
  return chunk_through(key, static_cast<const uint8_t*>(chunk), chunk_index,
                       kChunkLen / kBlockLen);
}

Cv chunk_prefix_cv(const Cv& key, const void* chunk, uint64_t chunk_index) {
  return chunk_through(key, static_cast<const uint8_t*>(chunk), chunk_index,
                       kChunkLen / kBlockLen - 1);
}

Cv finish_chunk(const Cv& prefix, const void* last_block, uint64_t chunk_index) {
  return compress(prefix, block_from_bytes(last_block), chunk_index, kBlockLen,
                  KEYED_HASH | CHUNK_END);
}

Cv parent_cv(const Cv& key, const Cv& left, const Cv& right, bool root) {
  Block b;
  for (int i = 0; i < 8; ++i) {
    b[i] = left[i];
    b[i + 8] = right[i];
  }
  return compress(key, b, 0, kBlockLen, PARENT | KEYED_HASH | (root ? ROOT : 0u));
}

}  // namespace quorl::ref
