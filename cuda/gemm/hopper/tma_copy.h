// The fused engine's TMA copy of one operand as CuTe builds it: `rows` x k
// int8 rows of stride k, boxed like one ring stage, with the stage layout's
// swizzle; and the encoder parameters that copy asks for. Host code only; the
// launcher checks the parameters before it builds (tma_descriptor.cuh).
#pragma once

#include <cute/tensor.hpp>
#include <cute/atom/copy_traits_sm90_tma.hpp>

#include <cstdint>

#include "tma_params.h"

namespace quorl::hopper {

// An operand in global memory: `rows` rows of k int8, k bytes apart.
inline auto operand_layout(int rows, int k) {
  return cute::make_layout(cute::make_shape(rows, k), cute::make_stride(k, cute::Int<1>{}));
}

template <class StageLayout>
auto build_stage_tma(const int8_t* matrix, int rows, int k) {
  using namespace cute;
  return make_tma_copy(SM90_TMA_LOAD{}, make_tensor(make_gmem_ptr(matrix), operand_layout(rows, k)),
                       StageLayout{});
}

// A stage is (rows, depth) bytes under Swizzle<B, 4, 3>: boxes of `rows` rows
// by `depth` bytes, swizzled within 2^(B + 4)-byte spans.
template <class StageLayout>
TmaParams stage_tma_params_of(const int8_t* matrix, int rows, int k) {
  using Swizzle = decltype(cute::get_swizzle_portion(StageLayout{}));
  static_assert(Swizzle::num_base == 4 && Swizzle::num_shft == 3,
                "a TMA swizzle of 16-byte pieces");
  return stage_tma_params(matrix, rows, k, int(cute::size<0>(StageLayout{})),
                          int(cute::size<1>(StageLayout{})), 1 << (Swizzle::num_bits + 4));
}

}  // namespace quorl::hopper
