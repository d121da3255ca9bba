// Per-thread bodies of the commitment-tree kernels: one thread per output
// node, blocks of 128 threads.
#pragma once

#include <cstdint>

#include "../blake3/modes.h"
#include "../common/launch_shape.h"

namespace quorl::commit {

constexpr uint32_t kTreeBlock = 128;

QK_HD LaunchShape tree_shape(int64_t count) {
  return {uint32_t((count + kTreeBlock - 1) / kTreeBlock), kTreeBlock};
}

// out node i = chaining value of chunk i. The chaining value stays in
// registers through the sixteen blocks and is stored once.
QK_HD void chunk_thread(Thread1D t, const int8_t* data, int64_t chunks, const uint32_t* key,
                        uint32_t* out) {
  const uint64_t i = t.global();
  if (i >= uint64_t(chunks)) return;
  uint32_t cv[8];
  blake3::chunk_cv_through(key, data + i * blake3::kChunkBytes, i, blake3::kBlocksPerChunk, cv);
  blake3::copy_cv(cv, out + 8 * i);
}

// prefix node i = chaining value of chunk i after block 14; chunk node i =
// that value finished with block 15.
QK_HD void chunk_prefix_thread(Thread1D t, const int8_t* data, int64_t chunks,
                               const uint32_t* key, uint32_t* prefix_out, uint32_t* chunk_out) {
  const uint64_t i = t.global();
  if (i >= uint64_t(chunks)) return;
  const int8_t* chunk = data + i * blake3::kChunkBytes;
  uint32_t prefix[8];
  blake3::chunk_cv_through(key, chunk, i, blake3::kBlocksPerChunk - 1, prefix);
  blake3::copy_cv(prefix, prefix_out + 8 * i);
  blake3::chunk_cv_from_prefix(prefix, chunk + blake3::kChunkBytes - blake3::kBlockLen, i,
                               chunk_out + 8 * i);
}

// out node i = parent of in nodes 2i and 2i+1.
QK_HD void parent_thread(Thread1D t, const uint32_t* in, uint32_t* out, int64_t count,
                         const uint32_t* key, int32_t root) {
  const uint64_t i = t.global();
  if (i >= uint64_t(count)) return;
  blake3::parent_cv(key, in + 16 * i, in + 16 * i + 8, root != 0, out + 8 * i);
}

}  // namespace quorl::commit
