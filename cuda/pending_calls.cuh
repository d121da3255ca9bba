// Calls whose engines this build does not have yet. They keep the interface
// complete: status calls answer cudaErrorNotSupported, searches find nothing.
#pragma once

#include <cuda_runtime.h>

#include "common/build_name.h"
#include "frame/context.cuh"

namespace QK_BUILD_NS {
constexpr int kNotAvailable = cudaErrorNotSupported;
constexpr int kNothingFound = -1;
}  // namespace QK_BUILD_NS

extern "C" int QK_NAME(qk_mine_full)(QkCtx*, const uint32_t*, uint64_t, uint64_t,
                                     const uint32_t*) {
  return QK_BUILD_NS::kNothingFound;
}

extern "C" int QK_NAME(qk_mine_full_loaded)(QkCtx*, uint64_t, uint64_t) {
  return QK_BUILD_NS::kNothingFound;
}

extern "C" int QK_NAME(qk_mine_full_profile)(QkCtx*, const uint32_t*, uint64_t, uint64_t,
                                             const uint32_t*, float*) {
  return QK_BUILD_NS::kNothingFound;
}

extern "C" int QK_NAME(qk_mine_full_bonly)(QkCtx*, uint64_t) {
  return QK_BUILD_NS::kNothingFound;
}

extern "C" void QK_NAME(qk_mine_full_bonly_batch)(QkCtx*, uint64_t, int count,
                                                  int32_t* results_out) {
  for (int i = 0; i < count && i < 64; ++i) results_out[i] = QK_BUILD_NS::kNothingFound;
}

extern "C" int QK_NAME(qk_mine_full_bonly_profile)(QkCtx*, uint64_t, float*) {
  return QK_BUILD_NS::kNothingFound;
}

// The benches report -1 attempts and no elapsed time.
extern "C" int QK_NAME(qk_bench_bonly_pipeline)(QkCtx*, int, float* elapsed_ms) {
  *elapsed_ms = 0.0f;
  return -1;
}

extern "C" int QK_NAME(qk_bench_bonly_batch)(QkCtx*, int, float* elapsed_ms) {
  *elapsed_ms = 0.0f;
  return -1;
}
