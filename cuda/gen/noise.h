// Per-thread bodies of the seed derivation, noise-table, selector-table and
// fusion kernels, with their launch shapes.
#pragma once

#include <cstdint>

#include "../blake3/modes.h"
#include "../common/launch_shape.h"

namespace quorl::noise {

constexpr int kNoiseWidth = 128;  // values per noise-table row

// BLAKE3(first || second), the unkeyed hash of one 64-byte block.
QK_HD void hash_pair(const uint32_t first[8], const uint32_t second[8], uint32_t out[8]) {
  uint32_t block[16];
  QK_UNROLL
  for (int i = 0; i < 8; ++i) {
    block[i] = first[i];
    block[i + 8] = second[i];
  }
  blake3::hash_plain_block(block, out);
}

// seed_b = BLAKE3(key || root_b), seed_a = BLAKE3(seed_b || root_a).
QK_HD void seed_pair(const uint32_t key[8], const uint32_t root_a[8], const uint32_t root_b[8],
                     uint32_t seed_b[8], uint32_t seed_a[8]) {
  hash_pair(key, root_b, seed_b);
  hash_pair(seed_b, root_a, seed_a);
}

// Eight words through the read-only data path.
QK_HD void load_cv_ro(const uint32_t* src, uint32_t dst[8]) {
  QK_UNROLL
  for (int i = 0; i < 8; ++i) dst[i] = load_ro(src + i);
}

// Only thread 0 of block 0 works.
QK_HD void derive_seeds_thread(Thread1D t, const uint32_t* key, const uint32_t* root_a,
                               const uint32_t* root_b, uint32_t* seed_b_out,
                               uint32_t* seed_a_out) {
  if (t.block_idx != 0 || t.thread_idx != 0) return;
  uint32_t k[8], ra[8], rb[8], seed_b[8], seed_a[8];
  load_cv_ro(key, k);
  load_cv_ro(root_a, ra);
  load_cv_ro(root_b, rb);
  seed_pair(k, ra, rb, seed_b, seed_a);
  blake3::copy_cv(seed_b, seed_b_out);
  blake3::copy_cv(seed_a, seed_a_out);
}

// Keyed BLAKE3 under `seed` of the block (word0, word1, 24 zero bytes, tag).
QK_HD void noise_prf(const uint32_t* seed, const uint32_t* tag, uint32_t word0, uint32_t word1,
                     uint32_t out[8]) {
  uint32_t block[16] = {word0, word1};
  load_cv_ro(tag, block + 8);
  uint32_t key[8];
  load_cv_ro(seed, key);
  blake3::hash_keyed_block(key, block, out);
}

constexpr uint32_t kTableBlock = 128;

QK_HD LaunchShape gen_uniform_shape(int32_t rows) {
  return {uint32_t((4 * int64_t(rows) + kTableBlock - 1) / kTableBlock), kTableBlock};
}

// Each byte b of a hash word becomes the noise value (b & 0x3F) - 32, byte
// lane by byte lane.
QK_HD uint32_t noise_word(uint32_t hash_word) {
  uint32_t packed = 0;
  QK_UNROLL
  for (int b = 0; b < 4; ++b) {
    const uint32_t v = uint32_t(int32_t((hash_word >> (8 * b)) & 0x3F) - 32) & 0xFF;
    packed |= v << (8 * b);
  }
  return packed;
}

// Thread t writes a quarter row: the 32 bytes of hash t+1, each reduced to
// its low six bits minus 32, at row t/4, offset 32*(t%4).
QK_HD void gen_uniform_thread(Thread1D th, int8_t* out, int32_t rows, const uint32_t* tag,
                              const uint32_t* seed) {
  const uint64_t t = th.global();
  if (t >= 4 * uint64_t(int64_t(rows))) return;
  uint32_t h[8];
  noise_prf(seed, tag, uint32_t(t + 1), 0, h);
  int8_t* dst = out + kNoiseWidth * (t / 4) + 32 * (t % 4);
  QK_UNROLL
  for (int w = 0; w < 8; ++w) store_u32(dst + 4 * w, noise_word(h[w]));
}

QK_HD LaunchShape gen_perm_shape(int32_t count) {
  return {uint32_t(((count + 7) / 8 + int32_t(kTableBlock) - 1) / int32_t(kTableBlock)),
          kTableBlock};
}

// p = low bits of the word, q = p XOR d with d in 1 .. width-1, so q != p.
QK_HD uint16_t selector_pair(uint32_t word, int32_t width) {
  const uint32_t p = word & uint32_t(width - 1);
  const uint32_t d = uint32_t((uint64_t(word) * uint32_t(width - 1)) >> 32) + 1;
  return uint16_t((p ^ d) << 8 | p);
}

// Thread i writes entries 8i .. 8i+7 (fewer at the end) from hash (0, i+1).
QK_HD void gen_perm_thread(Thread1D th, uint16_t* out, int32_t count, int32_t width,
                           const uint32_t* tag, const uint32_t* seed) {
  const int32_t i = int32_t(th.block_idx * th.block_dim + th.thread_idx);
  if (i >= (count + 7) / 8 || 8 * i >= count) return;
  uint32_t h[8];
  noise_prf(seed, tag, 0, uint32_t(i + 1), h);
  QK_UNROLL
  for (int j = 0; j < 8; ++j) {
    if (8 * i + j < count) out[8 * i + j] = selector_pair(h[j], width);
  }
}

QK_HD int8_t fuse_value(int8_t x, int8_t plus, int8_t minus) {
  return int8_t(uint8_t(int(x) + int(plus) - int(minus)));
}

constexpr uint32_t kFuseBlock = 256;
constexpr int32_t kFusedK = 2048;  // the k with dedicated fusion kernels

enum class FuseKernel { kGeneral, kEight, kSharedEight };

// The fusion kernel for k; `smem_switch` is consulted only when k = 2048.
template <class SwitchReader>
FuseKernel choose_fuse_kernel(int32_t k, SwitchReader&& smem_switch) {
  if (k != kFusedK) return FuseKernel::kGeneral;
  return smem_switch() ? FuseKernel::kSharedEight : FuseKernel::kEight;
}

// Every fusion kernel takes one row per block: for k = 2048, 256 threads x 8
// elements; the general kernel walks its row 256 columns at a time.
QK_HD LaunchShape fuse_shape(FuseKernel /*kernel*/, int32_t rows, int32_t /*k*/) {
  return {uint32_t(rows), kFuseBlock};
}

// Any k: row = the block, columns tid, tid + 256, ... The row comes from the
// launch and the column from the walk, so no element index is ever divided,
// and the row offset is 64-bit for operands past 4 GiB.
QK_HD void fuse_noise_thread(Thread1D th, const int8_t* src, int8_t* dst, const int8_t* noise,
                             const uint16_t* sel, int32_t rows, int32_t k) {
  if (th.block_idx >= uint32_t(rows)) return;
  const uint64_t base = uint64_t(th.block_idx) * uint32_t(k);
  const int8_t* row_noise = noise + uint64_t(kNoiseWidth) * th.block_idx;
  for (uint32_t c = th.thread_idx; c < uint32_t(k); c += th.block_dim) {
    const uint16_t e = sel[c];
    dst[base + c] = fuse_value(src[base + c], row_noise[e & 0xFF], row_noise[e >> 8]);
  }
}

// Eight consecutive elements of a 2048-wide row, one 8-byte store.
// `row_noise` is the row's noise: global memory, or the block's staged copy.
QK_HD void fuse_eight(const int8_t* src, int8_t* dst, const int8_t* row_noise, const uint16_t* sel,
                      uint64_t r, uint32_t c0, bool noise_is_global) {
  const uint64_t base = uint64_t(kFusedK) * r + c0;
  uint64_t packed = 0;
  QK_UNROLL
  for (int j = 0; j < 8; ++j) {
    const uint16_t e = load_ro(sel + c0 + j);
    const int8_t plus = noise_is_global ? load_ro(row_noise + (e & 0xFF)) : row_noise[e & 0xFF];
    const int8_t minus = noise_is_global ? load_ro(row_noise + (e >> 8)) : row_noise[e >> 8];
    packed |= uint64_t(uint8_t(fuse_value(src[base + j], plus, minus))) << (8 * j);
  }
  store_u64(dst + base, packed);
}

QK_HD void fuse_noise8_k2048_thread(Thread1D th, const int8_t* src, int8_t* dst,
                                    const int8_t* noise, const uint16_t* sel, int32_t rows) {
  const uint64_t t = th.global();
  if (t >= 256 * uint64_t(int64_t(rows))) return;
  const uint64_t r = t >> 8;
  fuse_eight(src, dst, noise + kNoiseWidth * r, sel, r, 8 * uint32_t(t & 255), true);
}

// The shared-memory kernel, one block per row, in two phases split by the
// block's barrier: stage the row's 128 noise values, then fuse from them.
QK_HD void fuse_smem_stage(uint32_t row, uint32_t tid, const int8_t* noise, int8_t* staged) {
  if (tid < kNoiseWidth) staged[tid] = noise[uint64_t(kNoiseWidth) * row + tid];
}

QK_HD void fuse_smem_compute(uint32_t row, uint32_t tid, const int8_t* src, int8_t* dst,
                             const int8_t* staged, const uint16_t* sel) {
  fuse_eight(src, dst, staged, sel, row, 8 * tid, false);
}

}  // namespace quorl::noise
