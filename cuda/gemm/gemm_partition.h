// One thread's share of a gemm_g tile, in CuTe partitions: the 16-byte pieces
// it copies from global into the shared stages, the shared rows it hands to
// ldmatrix, its register fragments and accumulators. The kernel builds it
// over its shared memory; the host emulation builds one per thread over host
// buffers, so both move the same bytes through the same partitions.
#pragma once

#include <cute/tensor.hpp>
#include <cute/atom/copy_atom.hpp>
#include <cute/atom/mma_atom.hpp>

#include <cstdint>
#include <utility>

#include "../common/host_device.h"

namespace quorl::gemm {

// Row stride of A and B: 64-bit, so tile offsets past 2^31 bytes stay exact.
QK_HD auto row_stride(int k) { return cute::make_stride(int64_t(k), cute::Int<1>{}); }

// The k-tiles of every CTA tile: A's as (BM, BK, tiles_m, k), B's as
// (BN, BK, tiles_n, k), so a persistent CTA partitions them once and picks
// (tile row or column, k-tile) per copy.
template <class TensorA, class Tiler>
QK_HD auto a_tiles(const TensorA& mA, Tiler tiler) {
  return cute::local_tile(mA, tiler, cute::make_coord(cute::_, cute::_, cute::_),
                          cute::Step<cute::_1, cute::X, cute::_1>{});
}
template <class TensorB, class Tiler>
QK_HD auto b_tiles(const TensorB& mB, Tiler tiler) {
  return cute::local_tile(mB, tiler, cute::make_coord(cute::_, cute::_, cute::_),
                          cute::Step<cute::X, cute::_1, cute::_1>{});
}

// The CuTe types a gemm_g instantiation is built from (its parameter types).
template <class Tile_, class SmemLayoutA_, class SmemLayoutB_, class CopyA_, class CopyB_,
          class LoadA_, class LoadB_, class TiledMma_>
struct GemmParts {
  using Tile = Tile_;
  using SmemLayoutA = SmemLayoutA_;
  using SmemLayoutB = SmemLayoutB_;
  using CopyA = CopyA_;  // global to shared (cp.async)
  using CopyB = CopyB_;
  using LoadA = LoadA_;  // shared to registers (ldmatrix atom)
  using LoadB = LoadB_;
  using TiledMma = TiledMma_;
};

// What the launcher builds from a GemmConfig.
template <class Config>
using GemmPartsOf = GemmParts<typename Config::Tile, typename Config::SmemLayoutA,
                              typename Config::SmemLayoutB, typename Config::GlobalToShared,
                              typename Config::GlobalToShared, typename Config::SharedToRegA,
                              typename Config::SharedToRegB, typename Config::TiledMma>;

template <class Parts>
struct GemmThread {
  using Mma = typename Parts::TiledMma;
  using SmemA = decltype(cute::make_tensor(cute::make_smem_ptr(static_cast<int8_t*>(nullptr)),
                                           typename Parts::SmemLayoutA{}));
  using SmemB = decltype(cute::make_tensor(cute::make_smem_ptr(static_cast<int8_t*>(nullptr)),
                                           typename Parts::SmemLayoutB{}));
  using FragA =
      decltype(Mma{}.get_slice(0).partition_fragment_A(std::declval<SmemA>()(cute::_, cute::_, 0)));
  using FragB =
      decltype(Mma{}.get_slice(0).partition_fragment_B(std::declval<SmemB>()(cute::_, cute::_, 0)));
  using Acc =
      decltype(cute::partition_fragment_C(Mma{}, cute::select<0, 1>(typename Parts::Tile{})));

  int thread;
  SmemA sA;      // (BM, BK, stage)
  SmemB sB;      // (BN, BK, stage)
  FragA frag_a;  // (MMA, MMA_M, MMA_K)
  FragB frag_b;  // (MMA, MMA_N, MMA_K)
  Acc acc;       // (MMA, MMA_M, MMA_N)

  QK_HD GemmThread(int thread_index, int8_t* smem_a, int8_t* smem_b)
      : thread(thread_index),
        sA(cute::make_tensor(cute::make_smem_ptr(smem_a), typename Parts::SmemLayoutA{})),
        sB(cute::make_tensor(cute::make_smem_ptr(smem_b), typename Parts::SmemLayoutB{})),
        frag_a(Mma{}.get_slice(thread_index).partition_fragment_A(sA(cute::_, cute::_, 0))),
        frag_b(Mma{}.get_slice(thread_index).partition_fragment_B(sB(cute::_, cute::_, 0))),
        acc(cute::partition_fragment_C(Mma{}, cute::select<0, 1>(typename Parts::Tile{}))) {}

  // Global to shared: the thread's pieces of the k-tiles
  // (CPY, CPY_M, CPY_K, tiles, k) and of the stages (CPY, CPY_M, CPY_K, stage).
  template <class KTiles>
  QK_HD auto copy_source_a(const KTiles& gA) const {
    return typename Parts::CopyA{}.get_slice(thread).partition_S(gA);
  }
  template <class KTiles>
  QK_HD auto copy_source_b(const KTiles& gB) const {
    return typename Parts::CopyB{}.get_slice(thread).partition_S(gB);
  }
  QK_HD auto copy_dest_a() const {
    return typename Parts::CopyA{}.get_slice(thread).partition_D(sA);
  }
  QK_HD auto copy_dest_b() const {
    return typename Parts::CopyB{}.get_slice(thread).partition_D(sB);
  }

  // Shared to registers: the ldmatrix copies, the thread's shared rows
  // (CPY, MMA_M, MMA_K, stage) and the registers (CPY, MMA_M, MMA_K) they fill.
  QK_HD static auto load_copy_a() {
    return cute::make_tiled_copy_A(typename Parts::LoadA{}, Mma{});
  }
  QK_HD static auto load_copy_b() {
    return cute::make_tiled_copy_B(typename Parts::LoadB{}, Mma{});
  }
  QK_HD auto load_source_a() const { return load_copy_a().get_slice(thread).partition_S(sA); }
  QK_HD auto load_source_b() const { return load_copy_b().get_slice(thread).partition_S(sB); }
  QK_HD auto load_dest_a() { return load_copy_a().get_slice(thread).retile_D(frag_a); }
  QK_HD auto load_dest_b() { return load_copy_b().get_slice(thread).retile_D(frag_b); }

  // (row, column) in the tile of each accumulator, shaped like `acc`.
  QK_HD auto acc_coords() const {
    return Mma{}.get_slice(thread).partition_C(
        cute::make_identity_tensor(cute::select<0, 1>(typename Parts::Tile{})));
  }
};

}  // namespace quorl::gemm
