// TMA descriptors of the fused engine: `rows` x k int8 rows of stride k,
// boxed like one ring stage, with the 128-byte swizzle of the stage layout.
#pragma once

#include <cute/tensor.hpp>
#include <cute/atom/copy_traits_sm90_tma.hpp>

#include <cstdint>
#include <cstdlib>

#include "../../common/build_name.h"

namespace QK_BUILD_NS {

// When the driver's encoder cannot be reached or refuses the tensor, CuTe
// prints the descriptor and the error and leaves the descriptor empty (its
// own assert is compiled out in release builds): a search cannot run
// without it, so the process aborts.
template <class StageLayout>
auto make_stage_tma(const int8_t* matrix, int rows, int k) {
  using namespace cute;
  Tensor g =
      make_tensor(make_gmem_ptr(matrix), make_layout(make_shape(rows, k), make_stride(k, _1{})));
  auto tma = make_tma_copy(SM90_TMA_LOAD{}, g, StageLayout{});
  const auto* desc = reinterpret_cast<const unsigned char*>(tma.get_tma_descriptor());
  bool encoded = false;
  for (size_t i = 0; i < sizeof(TmaDescriptor); ++i) encoded |= desc[i] != 0;
  if (!encoded) std::abort();
  return tma;
}

}  // namespace QK_BUILD_NS
