// The bound check kernel of each build.
#pragma once

#include "../common/build_name.h"
#include "bound.h"

extern "C" __global__ void QK_NAME(blake3_bound_kernel)(const uint32_t* xored,
                                                        const uint32_t* key,
                                                        const uint32_t* target, int32_t* found,
                                                        int k_blocks, int row_groups,
                                                        int col_groups) {
  quorl::search::bound_thread(QK_THREAD_1D, xored, key, target, found, k_blocks, row_groups,
                              col_groups);
}

namespace QK_BUILD_NS {

inline void launch_bound(const uint32_t* xored, const uint32_t* key, const uint32_t* target,
                         int32_t* found, int k_blocks, int row_groups, int col_groups,
                         cudaStream_t stream) {
  const quorl::LaunchShape s = quorl::search::bound_shape(row_groups, col_groups);
  QK_NAME(blake3_bound_kernel)<<<s.grid, s.block, 0, stream>>>(xored, key, target, found,
                                                               k_blocks, row_groups, col_groups);
}

}  // namespace QK_BUILD_NS
