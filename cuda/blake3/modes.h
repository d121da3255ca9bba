// The four ways the system calls the compression function: chunk, parent,
// plain single block and keyed single block. Every block is a full 64 bytes.
#pragma once

#include <cstdint>

#include "compress.h"

namespace quorl::blake3 {

constexpr int kChunkBytes = 1024;
constexpr int kBlocksPerChunk = kChunkBytes / kBlockLen;

// Sixteen little-endian words from 64 bytes, assembled byte by byte so the
// matrix data needs no alignment.
QK_HD void load_block(const int8_t* bytes, uint32_t block[16]) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(bytes);
  QK_UNROLL
  for (int w = 0; w < 16; ++w) {
    block[w] = uint32_t(p[4 * w]) | uint32_t(p[4 * w + 1]) << 8 | uint32_t(p[4 * w + 2]) << 16 |
               uint32_t(p[4 * w + 3]) << 24;
  }
}

QK_HD uint32_t chunk_flags(int block_index) {
  return kKeyedHash | (block_index == 0 ? kChunkStart : 0u) |
         (block_index == kBlocksPerChunk - 1 ? kChunkEnd : 0u);
}

QK_HD void copy_cv(const uint32_t* from, uint32_t to[8]) {
  QK_UNROLL
  for (int i = 0; i < 8; ++i) to[i] = from[i];
}

// Chaining value of `chunk` (1024 bytes) after blocks 0 .. end_block-1,
// starting from `key`. end_block = 16 gives the chunk's chaining value,
// 15 its prefix chaining value.
QK_HD void chunk_cv_through(const uint32_t* key, const int8_t* chunk, uint64_t chunk_index,
                            int end_block, uint32_t cv[8]) {
  copy_cv(key, cv);
  for (int b = 0; b < end_block; ++b) {
    uint32_t block[16];
    load_block(chunk + b * kBlockLen, block);
    compress(cv, block, chunk_index, kBlockLen, chunk_flags(b), cv);
  }
}

// Finishes a chunk from its prefix chaining value and its last 64 bytes.
QK_HD void chunk_cv_from_prefix(const uint32_t prefix[8], const int8_t* last_block,
                                uint64_t chunk_index, uint32_t cv[8]) {
  uint32_t block[16];
  load_block(last_block, block);
  compress(prefix, block, chunk_index, kBlockLen, chunk_flags(kBlocksPerChunk - 1), cv);
}

QK_HD void parent_cv(const uint32_t* key, const uint32_t* left, const uint32_t* right, bool root,
                     uint32_t out[8]) {
  uint32_t block[16];
  QK_UNROLL
  for (int i = 0; i < 8; ++i) {
    block[i] = left[i];
    block[i + 8] = right[i];
  }
  compress(key, block, 0, kBlockLen, root ? kFlagsRootParent : kFlagsParent, out);
}

// Standard BLAKE3 hash of one 64-byte message given as sixteen words.
QK_HD void hash_plain_block(const uint32_t block[16], uint32_t out[8]) {
  uint32_t iv[8];
  load_iv(iv);
  compress(iv, block, 0, kBlockLen, kFlagsPlainBlock, out);
}

// Standard BLAKE3 keyed hash of one 64-byte message given as sixteen words.
QK_HD void hash_keyed_block(const uint32_t* key, const uint32_t block[16], uint32_t out[8]) {
  uint32_t k[8];
  copy_cv(key, k);
  compress(k, block, 0, kBlockLen, kFlagsKeyedBlock, out);
}

}  // namespace quorl::blake3
