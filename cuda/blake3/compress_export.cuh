// Each build exports its compression function by name. It exists for device
// code only: called on the host it ends the process.
#pragma once

#include <cstdlib>

#include "../common/build_name.h"
#include "compress.h"

extern "C" __host__ __device__ void QK_NAME(blake3_compress)(const uint32_t* cv,
                                                           const uint32_t* block,
                                                           uint64_t counter, uint32_t block_len,
                                                           uint32_t flags, uint32_t* out) {
#if defined(__CUDA_ARCH__)
  quorl::blake3::compress(cv, block, counter, block_len, flags, out);
#else
  (void)cv, (void)block, (void)counter, (void)block_len, (void)flags, (void)out;
  std::exit(1);
#endif
}
