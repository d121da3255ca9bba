// One-dimensional launch shapes. A launcher and the host tests take a kernel's
// shape from the same function, so the tests walk exactly the launched grid.
#pragma once

#include <cstdint>

#include "host_device.h"

namespace quorl {

struct LaunchShape {
  uint32_t grid;   // blocks (grid.x)
  uint32_t block;  // threads per block (block.x)
};

// Where one thread sits in a one-dimensional launch.
struct Thread1D {
  uint32_t block_idx;
  uint32_t block_dim;
  uint32_t thread_idx;

  // blockIdx.x * blockDim.x + threadIdx.x, widened before the multiply.
  QK_HD uint64_t global() const {
    return uint64_t(block_idx) * block_dim + thread_idx;
  }
};

}  // namespace quorl

#if defined(__CUDACC__)
#define QK_THREAD_1D (::quorl::Thread1D{blockIdx.x, blockDim.x, threadIdx.x})
#endif
