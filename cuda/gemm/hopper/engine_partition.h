// CuTe partitions of the Hopper engines. A consumer thread's warp-group MMA
// operands are shared-memory descriptors over the stages and its accumulators
// 128 registers; the fused engine's producer addresses each ring stage and
// each k-tile of the operands through the TMA partitions. The kernels build
// these on the device and the host emulation builds the same ones over host
// buffers, so both hand the tensor cores and the TMA the same addresses.
#pragma once

#include <cute/tensor.hpp>
#include <cute/atom/copy_traits_sm90_tma.hpp>
#include <cute/atom/mma_atom.hpp>

#include <cstdint>
#include <utility>

#include "../../common/host_device.h"

namespace quorl::hopper {

// One consumer thread of a `rows` x 256 tile: its descriptors into every
// stage, (MMA, 1, k-blocks, stage), and its accumulators.
template <class TiledMma, class SmemLayoutA, class SmemLayoutB, int rows>
struct GmmaThread {
  using SmemA = decltype(cute::make_tensor(cute::make_smem_ptr(static_cast<int8_t*>(nullptr)),
                                           SmemLayoutA{}));
  using SmemB = decltype(cute::make_tensor(cute::make_smem_ptr(static_cast<int8_t*>(nullptr)),
                                           SmemLayoutB{}));
  using Slice = decltype(TiledMma{}.get_thread_slice(0));
  using FragA = decltype(std::declval<Slice>().make_fragment_A(
      std::declval<Slice>().partition_A(std::declval<SmemA>())));
  using FragB = decltype(std::declval<Slice>().make_fragment_B(
      std::declval<Slice>().partition_B(std::declval<SmemB>())));
  using TileShape = cute::Shape<cute::Int<rows>, cute::Int<256>>;
  using Acc = decltype(cute::partition_fragment_C(TiledMma{}, TileShape{}));

  int thread;    // counted from the first thread of the tiled MMA
  FragA frag_a;  // descriptors of A, (MMA, 1, k-blocks, stage)
  FragB frag_b;  // descriptors of B
  Acc accum;     // (MMA, 1, 1): 128 int32 values

  QK_HD GmmaThread(int thread_index, int8_t* smem_a, int8_t* smem_b)
      : thread(thread_index),
        frag_a(make_frag_a(thread_index, smem_a)),
        frag_b(make_frag_b(thread_index, smem_b)),
        accum(cute::partition_fragment_C(TiledMma{}, TileShape{})) {}

  // (row, column) in the tile of each accumulator, shaped like `accum`.
  QK_HD auto acc_coords() const {
    return TiledMma{}.get_thread_slice(thread).partition_C(cute::make_identity_tensor(TileShape{}));
  }

 private:
  QK_HD static FragA make_frag_a(int thread_index, int8_t* smem_a) {
    auto slice = TiledMma{}.get_thread_slice(thread_index);
    return slice.make_fragment_A(
        slice.partition_A(cute::make_tensor(cute::make_smem_ptr(smem_a), SmemLayoutA{})));
  }
  QK_HD static FragB make_frag_b(int thread_index, int8_t* smem_b) {
    auto slice = TiledMma{}.get_thread_slice(thread_index);
    return slice.make_fragment_B(
        slice.partition_B(cute::make_tensor(cute::make_smem_ptr(smem_b), SmemLayoutB{})));
  }
};

// The fused engine's TMA view of one operand: for `rows` x `depth` boxes of a
// matrix whose global layout is `gmem`, the box coordinates of every
// (tile row, k-tile), (TMA, tiles, k-tiles), and the ring's stages,
// (TMA, stage). k runs over `k_tiles` k-tiles whatever the matrix's k is; the
// descriptor supplies zeros past its end.
template <int rows, int depth, int k_tiles, class Tma, class GmemLayout, class SmemTensor>
QK_HD auto tma_stage_partition(const Tma& tma, const GmemLayout& gmem, const SmemTensor& ring) {
  using namespace cute;
  Tensor coords = tma.get_tma_tensor(make_shape(shape<0>(gmem), Int<k_tiles * depth>{}));
  Tensor boxes = local_tile(coords, Shape<Int<rows>, Int<depth>>{}, make_coord(_, _));
  return tma_partition(tma, Int<0>{}, Layout<_1>{}, group_modes<0, 2>(ring),
                       group_modes<0, 2>(boxes));
}

}  // namespace quorl::hopper
