// The per-tile digest table and what the GEMM does with it: fold the running
// dot products of a slice into slots, then hash or store each slot's message.
// Plain C++ on the host, so the tests drive a tile through these very
// functions.
#pragma once

#include <cstdint>

#include "../blake3/modes.h"
#include "../common/host_device.h"
#include "fold_schedule.h"

namespace quorl::gemm {

constexpr int kSlots = 256;        // cells one tile can finish: 64 rows x 4 columns
constexpr int kSlotRows = 64;
constexpr int kSlotCols = 4;
constexpr int kTableWords = kSlots * kMessageWords;
constexpr int kBanks = 32;         // shared-memory banks of 4-byte words

// Where word `slice` of slot `slot` lives. Slice-major: the lanes of a warp
// fold neighbouring slots, so their words of one slice are neighbours, one
// per bank. Slot-major (each slot's 16 words together) puts them 16 words
// apart, two banks for 32 lanes: the old order, built by the benchmark only.
enum class TableOrder { kSliceMajor, kSlotMajor };

template <TableOrder order>
QK_HD constexpr int table_word(int slot, int slice) {
  return order == TableOrder::kSliceMajor ? slice * kSlots + slot : slot * kMessageWords + slice;
}

// The 16 words of slot `slot`, gathered for its epilogue.
template <TableOrder order>
QK_HD void read_message(const uint32_t* table, int slot, uint32_t message[kMessageWords]) {
  QK_UNROLL
  for (int s = 0; s < kMessageWords; ++s) message[s] = table[table_word<order>(slot, s)];
}

// A label relative to the tile's base label; -1 marks an excluded row or
// column (negative label).
QK_HD int32_t relative_label(int32_t label, int32_t base) { return label >= 0 ? label - base : -1; }

// Slot of a fold group from its relative labels, or -1 when the group takes
// no part (an excluded or out-of-window label never reaches the table).
QK_HD int labelled_slot(int32_t rho, int32_t gamma) {
  if (rho < 0 || gamma < 0 || rho >= kSlotRows || gamma >= kSlotCols) return -1;
  return kSlotCols * rho + gamma;
}

// Standard grid with atom layout (2, 4, 1): the group of row block g held by
// `thread` belongs to slot 64 g + (thread mod 64).
QK_HD int standard_slot(int group, int thread) { return 64 * group + (thread & 63); }

QK_HD void xor_into(uint32_t* word, uint32_t value) {
#if defined(__CUDA_ARCH__)
  atomicXor(word, value);
#else
  *word ^= value;
#endif
}

// Compare-and-swap from -1: the first cell reported wins.
QK_HD void claim(int32_t* found, int32_t index) {
#if defined(__CUDA_ARCH__)
  atomicCAS(found, -1, index);
#else
  if (*found == -1) *found = index;
#endif
}

// The bound rule, the one every search path uses (label GEMM, Hopper
// engines, bound kernel): the hash, as a little-endian 256-bit number, is at
// most the target. Words are compared from the most significant (7) down.
QK_HD bool meets_target(const uint32_t hash[8], const uint32_t* target) {
  QK_UNROLL
  for (int i = 7; i >= 0; --i) {
    if (hash[i] != target[i]) return hash[i] < target[i];
  }
  return true;
}

// Index of word `slice` of cell (row, col) in the xored planes.
QK_HD int64_t xored_index(int slice, int32_t row, int32_t col, int32_t row_groups,
                          int32_t col_groups) {
  return (int64_t(slice) * row_groups + row) * col_groups + col;
}

QK_HD bool cell_in_grid(int64_t row, int64_t col, int32_t row_groups, int32_t col_groups) {
  return row >= 0 && col >= 0 && row < row_groups && col < col_groups;
}

// Slices that enter a message: min(k_blocks, 16).
QK_HD int message_slices(int k_blocks) { return k_blocks < kMessageWords ? k_blocks : kMessageWords; }

// Hashes the 16-word message under `key` and reports `index` if it meets.
QK_HD void bound_check(const uint32_t message[16], const uint32_t* key, const uint32_t* target,
                       int32_t* found, int32_t index) {
  uint32_t hash[8];
  blake3::hash_keyed_block(key, message, hash);
  if (meets_target(hash, target)) claim(found, index);
}

// Epilogue of slot t, whose cell is (base_row + t/4, base_col + t%4), with
// the slot's 16 words. Cells outside the grid are skipped, so a negative base
// label cannot write before `xored` or report a negative index.
template <bool kFused, bool kStore>
QK_HD void finish_slot(int t, const uint32_t* slot_words, int32_t base_row, int32_t base_col,
                       int k_blocks, int32_t row_groups, int32_t col_groups, uint32_t* xored,
                       const uint32_t* key, const uint32_t* target, int32_t* found) {
  if (!kFused && !kStore) return;
  const int64_t row = int64_t(base_row) + t / kSlotCols;
  const int64_t col = int64_t(base_col) + t % kSlotCols;
  if (!cell_in_grid(row, col, row_groups, col_groups)) return;
  if (kStore) {
    const int slices = message_slices(k_blocks);
    // Every word index fixed at compile time, so a message held in registers
    // stays there.
    QK_UNROLL
    for (int s = 0; s < kMessageWords; ++s) {
      if (s < slices) {
        xored[xored_index(s, int32_t(row), int32_t(col), row_groups, col_groups)] = slot_words[s];
      }
    }
  }
  if (kFused) bound_check(slot_words, key, target, found, int32_t(row * col_groups + col));
}

}  // namespace quorl::gemm
