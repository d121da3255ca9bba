// The instructions the GEMM engines move their operands with, as the PTX ISA
// defines them, written from the ISA text and not from CuTe's traits: the
// point is to check CuTe's atoms and our configurations against the ISA.
//   cp.async (16 bytes, with zero fill) and its commit/wait groups
//   ldmatrix.sync.aligned.m8n8.x{1,2,4}.shared.b16 (not transposed)
//   mma.sync.aligned.m16n8k32.row.col.s32.s8.s8.s32
//   cp.async.bulk.tensor.2d tile loads with 32/64/128-byte swizzle
//   mbarrier arrive, expect-tx, complete-tx and try_wait.parity
//   wgmma.mma_async m64n256k32 .s32.s8.s8 with K-major shared descriptors
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

#include "../../cuda/gemm/hopper/tma_params.h"
#include "shared_window.h"

namespace quorl::emu {

// ---------------------------------------------------------------- swizzle
// Swizzled shared layouts (TMA and wgmma): in each span of 8 rows of
// `span` bytes (repeating every 8 x span bytes, from an aligned address) the
// 16-byte chunk index, address bits [4, 4 + log2(span / 16)), is XORed with
// the row in the span, address bits [7, ...). No swizzle: span 0.
inline uint32_t swizzle_address(uint32_t address, uint32_t span) {
  if (span == 0) return address;
  const uint32_t chunks = span / 16 - 1;  // mask of the chunk index
  return address ^ (((address >> 7) & chunks) << 4);
}

// ---------------------------------------------------------------- cp.async
// cp.async.cg.shared.global [dst], [src], 16 {, src-size}: 16 bytes from
// global `src` to shared `dst`, both 16-byte aligned; src-size 0 writes
// zeros. commit_group closes the thread's open copies into a group;
// wait_group n returns once all but the n most recent groups are complete.
// A copy may land any time from its issue to that wait: `kAtIssue` and
// `kAtWait` are the two extremes, which expose a read of a stage still being
// copied (write after read) and a read before the copy is waited for.
enum class Landing { kAtIssue, kAtWait };

class AsyncCopies {  // the cp.async state of one thread
 public:
  AsyncCopies(SharedWindow& window, Landing landing) : window_(&window), landing_(landing) {}

  void copy16(const void* src, uint32_t dst, bool zero_fill = false) {
    expect_hw(reinterpret_cast<uintptr_t>(src) % 16 == 0, "cp.async source not 16-byte aligned");
    expect_hw(dst % 16 == 0, "cp.async destination not 16-byte aligned");
    Piece piece{dst, {}};
    if (!zero_fill) std::memcpy(piece.bytes.data(), src, 16);
    if (landing_ == Landing::kAtIssue) {
      land(piece);
    } else {
      open_.push_back(piece);
    }
  }
  void commit() {
    groups_.push_back(std::move(open_));
    open_.clear();
  }
  void wait(int pending) {
    while (int(groups_.size()) > pending) {
      for (const Piece& p : groups_.front()) land(p);
      groups_.pop_front();
    }
  }

 private:
  struct Piece {
    uint32_t dst;
    std::array<uint8_t, 16> bytes;
  };
  void land(const Piece& p) { std::memcpy(window_->at(p.dst, 16), p.bytes.data(), 16); }

  SharedWindow* window_;
  Landing landing_;
  std::vector<Piece> open_;
  std::deque<std::vector<Piece>> groups_;
};

// ---------------------------------------------------------------- ldmatrix
// ldmatrix.sync.aligned.m8n8.x{num}.shared.b16 (no .trans): lanes 8i..8i+7
// hold the row addresses of matrix i, each row 8 b16 elements (16 bytes,
// 16-byte aligned); lane l receives, in its register i, the two elements
// 2(l % 4) and 2(l % 4) + 1 of row l / 4 of matrix i, that is row bytes
// 4(l % 4) .. 4(l % 4) + 3. Addresses of the other lanes are ignored.
inline void ldmatrix(int num, const uint32_t row_address[32], SharedWindow& window,
                     uint32_t regs[32][4]) {
  for (int lane = 0; lane < 32; ++lane) {
    for (int i = 0; i < num; ++i) {
      const uint32_t row = row_address[8 * i + lane / 4];
      expect_hw(row % 16 == 0, "ldmatrix row address not 16-byte aligned");
      std::memcpy(&regs[lane][i], window.at(row + 4 * (lane % 4), 4), 4);
    }
  }
}

// ---------------------------------------------------------------- mma.sync
// mma.sync.aligned.m16n8k32.row.col.s32.s8.s8.s32 d, a, b, c: D = A B + C
// (A 16 x 32, B 32 x 8, int32 wrap-around). Fragments, with
// g = lane >> 2 and t = lane % 4 and element i counted low byte first:
//   A: 4 registers, a_i at row g (+8 when i % 8 >= 4), column 4t + i % 4
//      (+16 when i >= 8);
//   B: 2 registers, b_i at row (k) 4t + i % 4 (+16 when i >= 4), column g;
//   C, D: 4 registers, c_i at row g (+8 when i >= 2), column 2t + i % 2.
struct MmaFragments {
  uint32_t a[32][4];
  uint32_t b[32][2];
  int32_t c[32][4];
};

inline int8_t byte_of(uint32_t reg, int i) { return int8_t(uint8_t(reg >> (8 * i))); }

inline void mma_m16n8k32_s8(MmaFragments& f) {
  int8_t A[16][32], B[32][8];
  int32_t C[16][8];
  for (int lane = 0; lane < 32; ++lane) {
    const int g = lane >> 2, t = lane % 4;
    for (int i = 0; i < 16; ++i) {
      A[g + ((i % 8) >= 4 ? 8 : 0)][4 * t + i % 4 + (i >= 8 ? 16 : 0)] =
          byte_of(f.a[lane][i / 4], i % 4);
    }
    for (int i = 0; i < 8; ++i)
      B[4 * t + i % 4 + (i >= 4 ? 16 : 0)][g] = byte_of(f.b[lane][i / 4], i % 4);
    for (int i = 0; i < 4; ++i) C[g + (i >= 2 ? 8 : 0)][2 * t + i % 2] = f.c[lane][i];
  }
  for (int lane = 0; lane < 32; ++lane) {
    const int g = lane >> 2, t = lane % 4;
    for (int i = 0; i < 4; ++i) {
      const int row = g + (i >= 2 ? 8 : 0), col = 2 * t + i % 2;
      uint32_t sum = uint32_t(C[row][col]);
      for (int kk = 0; kk < 32; ++kk) sum += uint32_t(int32_t(A[row][kk]) * B[kk][col]);
      f.c[lane][i] = int32_t(sum);
    }
  }
}

// ---------------------------------------------------------------- mbarrier
// An mbarrier: the current phase completes when its pending arrivals and
// its transaction count both reach zero; the next phase then starts with the
// arrival count of init. try_wait.parity p succeeds once the phase of parity
// p has completed, i.e. while the current phase's parity differs from p (a
// fresh barrier in phase 0 therefore passes a wait on parity 1).
class Mbarrier {
 public:
  void init(int arrivals) {
    count_ = pending_ = arrivals;
    tx_ = 0;
    phase_ = 0;
  }
  void arrive(int arrivals = 1) {
    pending_ -= arrivals;
    expect_hw(pending_ >= 0, "more arrivals than the barrier counts");
    settle();
  }
  void expect_tx(int64_t bytes) { tx_ += bytes; }
  void complete_tx(int64_t bytes) {
    tx_ -= bytes;
    settle();
  }
  bool try_wait_parity(uint32_t parity) const { return (phase_ & 1) != parity; }
  uint32_t phase() const { return phase_; }

 private:
  void settle() {
    if (pending_ == 0 && tx_ == 0) {
      ++phase_;
      pending_ = count_;
    }
  }
  int count_ = 0, pending_ = 0;
  int64_t tx_ = 0;
  uint32_t phase_ = 0;
};

// ---------------------------------------------------------------- TMA
// cp.async.bulk.tensor.2d.shared::cluster.global.tile.mbarrier::complete_tx
// [dst], [map, {c0, c1}], [mbar]: the box of box[1] rows by box[0] elements
// whose first element is at tensor coordinates (c0, c1), innermost first.
// Row j of the box lands at dst + j box[0] (bytes, 8-bit elements), each
// address then swizzled; elements outside the tensor read as zeros. dst must
// be 128-byte aligned and, swizzled, aligned to the pattern's repeat (8 x
// the span). The bytes count towards the barrier's transactions.
inline uint32_t tma_load_2d(const hopper::TmaParams& map, int32_t c0, int32_t c1, uint32_t dst,
                            SharedWindow& window) {
  expect_hw(dst % 128 == 0, "TMA destination not 128-byte aligned");
  expect_hw(map.swizzle_bytes == 0 || dst % (8 * map.swizzle_bytes) == 0,
            "TMA destination off the swizzle pattern");
  const auto* base = static_cast<const int8_t*>(map.address);
  for (uint32_t j = 0; j < map.box[1]; ++j) {
    for (uint32_t i = 0; i < map.box[0]; ++i) {
      const int64_t x = int64_t(c0) + i, y = int64_t(c1) + j;
      const bool inside =
          x >= 0 && y >= 0 && uint64_t(x) < map.dims[0] && uint64_t(y) < map.dims[1];
      const int8_t value = inside ? base[y * int64_t(map.row_stride) + x] : 0;
      *window.at(swizzle_address(dst + j * map.box[0] + i, map.swizzle_bytes)) = uint8_t(value);
    }
  }
  return map.box[0] * map.box[1];
}

// ---------------------------------------------------------------- wgmma
// Shared matrix descriptor (64 bits): start address >> 4 in bits [0, 14),
// leading-dimension byte offset >> 4 in [16, 30), stride-dimension byte
// offset >> 4 in [32, 46), base offset in [49, 52), swizzle in [62, 64)
// (0 none, 1 128-byte, 2 64-byte, 3 32-byte).
struct MatrixDescriptor {
  uint32_t start, leading, stride, base_offset, swizzle_span;

  explicit MatrixDescriptor(uint64_t d)
      : start(uint32_t(d & 0x3FFF) << 4),
        leading(uint32_t((d >> 16) & 0x3FFF) << 4),
        stride(uint32_t((d >> 32) & 0x3FFF) << 4),
        base_offset(uint32_t((d >> 49) & 0x7)),
        swizzle_span(std::array<uint32_t, 4>{0, 128, 64, 32}[(d >> 62) & 0x3]) {}

  // Address of byte `k` (of one instruction's 32) of row `row` of a K-major
  // operand. Swizzled: the matrix is built of atoms of 8 rows by `span`
  // bytes, rows `span` bytes apart inside an atom, atoms `stride` bytes
  // apart; the leading offset is unused. Not swizzled: 8 x 16-byte core
  // matrices, `stride` bytes apart down the rows and `leading` bytes apart
  // along k.
  uint32_t k_major(int row, int k) const {
    expect_hw(base_offset == 0, "descriptor base offsets are not emulated");
    if (swizzle_span == 0) {
      return start + (row / 8) * stride + (row % 8) * 16 + (k / 16) * leading + k % 16;
    }
    return swizzle_address(start + (row / 8) * stride + (row % 8) * swizzle_span + k, swizzle_span);
  }
};

// wgmma.mma_async.sync.aligned.m64n256k32.s32.s8.s8 d, a-desc, b-desc, 1:
// D += A B^T for A 64 x 32 and B 256 x 32 (both K-major in shared memory).
// D of warp w, lane l (g = l >> 2, t = l % 4): register i holds row
// 16w + g (+8 when i % 4 >= 2), column 8(i / 4) + 2t + i % 2.
inline int wgmma_d_row(int warp, int lane, int i) {
  return 16 * warp + (lane >> 2) + (i % 4 >= 2 ? 8 : 0);
}
inline int wgmma_d_col(int lane, int i) { return 8 * (i / 4) + 2 * (lane % 4) + i % 2; }

// `d[thread][i]` for the warp group's 128 threads.
inline void wgmma_m64n256k32_s8(uint64_t desc_a, uint64_t desc_b, SharedWindow& window,
                                int32_t (*d)[128]) {
  const MatrixDescriptor da(desc_a), db(desc_b);
  int8_t A[64][32], B[256][32];
  for (int r = 0; r < 64; ++r) {
    for (int k = 0; k < 32; ++k) A[r][k] = int8_t(*window.at(da.k_major(r, k)));
  }
  for (int r = 0; r < 256; ++r) {
    for (int k = 0; k < 32; ++k) B[r][k] = int8_t(*window.at(db.k_major(r, k)));
  }
  for (int thread = 0; thread < 128; ++thread) {
    for (int i = 0; i < 128; ++i) {
      const int row = wgmma_d_row(thread / 32, thread % 32, i), col = wgmma_d_col(thread % 32, i);
      uint32_t sum = uint32_t(d[thread][i]);
      for (int k = 0; k < 32; ++k) sum += uint32_t(int32_t(A[row][k]) * B[col][k]);
      d[thread][i] = int32_t(sum);
    }
  }
}

}  // namespace quorl::emu
