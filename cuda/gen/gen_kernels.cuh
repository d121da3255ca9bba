// Seeded generation of the plain matrices.
#pragma once

#include <cuda_runtime.h>

#include "../common/build_name.h"
#include "../frame/call_status.h"
#include "../frame/context.cuh"
#include "ab_gen.h"

extern "C" __global__ void QK_NAME(gen_ab_kernel)(int8_t* out, int64_t count, uint64_t seed) {
  quorl::gen::gen_ab_thread(QK_THREAD_1D, out, count, seed);
}

namespace QK_BUILD_NS {

inline void launch_gen_ab(int8_t* out, int64_t count, uint64_t seed, cudaStream_t stream) {
  const quorl::LaunchShape shape = quorl::gen::gen_ab_shape(count);
  QK_NAME(gen_ab_kernel)<<<shape.grid, shape.block, 0, stream>>>(out, count, seed);
}

}  // namespace QK_BUILD_NS

extern "C" int QK_NAME(qk_gen_ab)(QkCtx* c, uint64_t seed_a, uint64_t seed_b) {
  quorl::CallStatus call(c->device);
  if (call.failed()) return call.error();
  QK_BUILD_NS::launch_gen_ab(c->a_plain, int64_t(c->m) * c->k, seed_a, c->stream);
  QK_BUILD_NS::launch_gen_ab(c->b_plain, int64_t(c->n) * c->k, seed_b, c->stream);
  return call.wait(c->stream);
}
