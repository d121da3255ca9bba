// What each thread of gemm_g does with its tile's digest table: clear it at
// the tile's start, fold its accumulators into it after every slice, and
// finish its share of the slots in the epilogue. Plain C++ on the host, so
// the tests and the emulation run the kernel's own per-thread steps.
#pragma once

#include <cute/tensor.hpp>

#include <cstdint>

#include "../common/host_device.h"
#include "digest_table.h"
#include "gemm_config.h"
#include "gemm_schedule.h"

namespace quorl::gemm {

// The cell of a tile's slot 0: the labels of its first row and column, or
// sm120a's standard grid.
struct TileBase {
  int32_t row, col;
};

template <class Form>
QK_HD TileBase tile_base(TileCoord tile, const int32_t* row_group, const int32_t* col_group) {
  if constexpr (Form::standard_grid) {
    return {kSlotRows * tile.row, kSlotCols * tile.col};
  } else {
    return {row_group[kTileM * tile.row], col_group[kTileN * tile.col]};
  }
}

// Thread `thread`'s share of starting a tile: the tile's relative labels
// (label-driven grid; the standard grid has none) and a clear table in the
// slots it finishes in the epilogue. Since no thread clears a slot another
// thread reads, a tile's epilogue and the next tile's start need no barrier
// between them.
template <class Form>
QK_HD void start_tile_table(int thread, TileCoord tile, TileBase base, const int32_t* row_group,
                            const int32_t* col_group, uint32_t* table, int32_t* row_labels,
                            int32_t* col_labels) {
  static_assert(kThreads == kTileN && kThreads >= kTileM, "one thread per column label");
  if constexpr (!Form::standard_grid) {
    if (thread < kTileM) {
      row_labels[thread] = relative_label(row_group[kTileM * tile.row + thread], base.row);
    }
    col_labels[thread] = relative_label(col_group[kTileN * tile.col + thread], base.col);
  }
  for (int slot = thread; slot < kSlots; slot += kThreads) {
    QK_UNROLL
    for (int s = 0; s < kMessageWords; ++s) table[table_word<Form::table>(slot, s)] = 0;
  }
}

// The digest-table word that row block `mi` of `thread` folds slice `slice`
// into, or -1 when its group takes no part. `coords` is the thread's
// partition of the tile's identity tensor, (MMA, MMA_M, MMA_N); element
// (0, mi, 0) is the group's representative row and column.
template <class Form, class Coords>
QK_HD int fold_word(const Coords& coords, int mi, int thread, int slice, const int32_t* row_labels,
                    const int32_t* col_labels) {
  int slot;
  if constexpr (Form::standard_grid) {
    slot = standard_slot(mi, thread);
  } else {
    const auto rc = coords(0, mi, 0);
    slot = labelled_slot(row_labels[cute::get<0>(rc)], col_labels[cute::get<1>(rc)]);
  }
  return slot < 0 ? -1 : table_word<Form::table>(slot, slice);
}

// Folds slice `slice` of one thread's accumulators, (MMA, MMA_M, MMA_N),
// into the table: row block mi is one fold group, its word the XOR of the
// block's values.
template <class Form, class Acc, class Coords>
QK_HD void fold_slice(const Acc& acc, const Coords& coords, int thread, int slice,
                      const int32_t* row_labels, const int32_t* col_labels, uint32_t* table) {
  QK_UNROLL
  for (int mi = 0; mi < cute::size<1>(acc); ++mi) {
    uint32_t word = 0;
    QK_UNROLL
    for (int ni = 0; ni < cute::size<2>(acc); ++ni) {
      QK_UNROLL
      for (int v = 0; v < cute::size<0>(acc); ++v) word ^= uint32_t(acc(v, mi, ni));
    }
    const int at = fold_word<Form>(coords, mi, thread, slice, row_labels, col_labels);
    if (at >= 0) xor_into(&table[at], word);
  }
}

// What a tile's epilogue writes to, besides its table.
struct GemmEpilogue {
  uint32_t* xored;
  const uint32_t* key;
  const uint32_t* target;
  int32_t* found;
  int k_blocks, row_groups, col_groups;
};

// Thread `thread`'s share of the epilogue: slots thread, thread + 256, ...
template <class Form, bool kFused, bool kStore>
QK_HD void finish_tile_slots(int thread, const uint32_t* table, TileBase base,
                             const GemmEpilogue& out) {
  for (int slot = thread; slot < kSlots; slot += kThreads) {
    uint32_t message[kMessageWords];
    read_message<Form::table>(table, slot, message);
    finish_slot<kFused, kStore>(slot, message, base.row, base.col, out.k_blocks, out.row_groups,
                                out.col_groups, out.xored, out.key, out.target, out.found);
  }
}

}  // namespace quorl::gemm
