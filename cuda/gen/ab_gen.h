// Counter-based generation of the plain matrices: every group of eight
// elements is a pure function of (seed, group index), so any part of a matrix
// can be produced again on its own.
#pragma once

#include <cstdint>

#include "../common/host_device.h"
#include "../common/launch_shape.h"

namespace quorl::gen {

// The SplitMix64 output mix applied to the seeded, group-scrambled word.
QK_HD uint64_t ab_mix(uint64_t seed, uint64_t g) {
  uint64_t x = (seed + 0x9E3779B97F4A7C15ull) ^ (g * 0xD2B74407B1CE6E93ull);
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// Element j of group g is the j-th 7-bit field of the mixed word, minus 64.
QK_HD int8_t ab_lane(uint64_t x, int j) { return int8_t(int((x >> (7 * j)) & 0x7F) - 64); }

// The eight elements 8g .. 8g+7, lane j in byte j.
QK_HD void ab_gen8(uint64_t seed, uint64_t g, int8_t out[8]) {
  const uint64_t x = ab_mix(seed, g);
  QK_UNROLL
  for (int j = 0; j < 8; ++j) out[j] = ab_lane(x, j);
}

// The same eight elements packed little-endian into one word.
QK_HD uint64_t ab_gen8_packed(uint64_t seed, uint64_t g) {
  const uint64_t x = ab_mix(seed, g);
  uint64_t packed = 0;
  QK_UNROLL
  for (int j = 0; j < 8; ++j) packed |= uint64_t(uint8_t(ab_lane(x, j))) << (8 * j);
  return packed;
}

constexpr uint32_t kGenAbBlock = 256;

QK_HD LaunchShape gen_ab_shape(int64_t count) {
  return {uint32_t(((count + 7) / 8 + kGenAbBlock - 1) / kGenAbBlock), kGenAbBlock};
}

// One thread per group of eight; whole groups with one 8-byte store, the
// final partial group byte by byte, never past `count`.
QK_HD void gen_ab_thread(Thread1D t, int8_t* out, int64_t count, uint64_t seed) {
  const uint64_t g = t.global();
  if (8 * g >= uint64_t(count)) return;
  if (8 * g + 7 < uint64_t(count)) {
    store_u64(out + 8 * g, ab_gen8_packed(seed, g));
    return;
  }
  int8_t lanes[8];
  ab_gen8(seed, g, lanes);
  for (uint64_t j = 0; 8 * g + j < uint64_t(count); ++j) out[8 * g + j] = lanes[j];
}

}  // namespace quorl::gen
