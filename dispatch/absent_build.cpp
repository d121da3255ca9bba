// Stands in for a build left out of a partial (developer) configuration, so
// the dispatcher still links. Such a build cannot create a context; no other
// call is reachable without one, and each answers as a failed call of a real
// build does. Compiled once per absent build.
#include <cuda_runtime_api.h>

#include <algorithm>

#include "../cuda/frame/diagnostic.h"
#include "build_calls.inc"

extern "C" {

QkCtx* QK_NAME(qk_init)(int, int, int, int, int, int, const int32_t*, const int32_t*) {
  quorl::report(quorl::site::kBuildAbsent, cudaErrorNotSupported);
  return nullptr;
}
void QK_NAME(qk_free)(QkCtx*) {}
int QK_NAME(qk_set_job)(QkCtx*, const uint32_t*, const uint32_t*) { return cudaErrorNotSupported; }
int QK_NAME(qk_get_plain)(QkCtx*, int8_t*, int8_t*) { return cudaErrorNotSupported; }
int QK_NAME(qk_get_hashes)(QkCtx*, uint32_t*, uint32_t*) { return cudaErrorNotSupported; }
int QK_NAME(qk_get_xored)(QkCtx*, uint32_t*) { return cudaErrorNotSupported; }
int QK_NAME(qk_run)(QkCtx*) { return -1; }
void QK_NAME(qk_run_async)(QkCtx*) {}
int QK_NAME(qk_mine)(QkCtx*, const int8_t*, const int8_t*, const uint32_t*, const uint32_t*) {
  return -1;
}
int QK_NAME(qk_mine_full)(QkCtx*, const uint32_t*, uint64_t, uint64_t, const uint32_t*) {
  return -1;
}
int QK_NAME(qk_mine_full_loaded)(QkCtx*, uint64_t, uint64_t) { return -1; }
int QK_NAME(qk_mine_full_profile)(QkCtx*, const uint32_t*, uint64_t, uint64_t, const uint32_t*,
                                  float* times) {
  std::fill(times, times + 8, 0.0f);
  return -1;
}
int QK_NAME(qk_gen_ab)(QkCtx*, uint64_t, uint64_t) { return cudaErrorNotSupported; }
int QK_NAME(qk_commit)(QkCtx*, const uint32_t*, uint32_t*, uint32_t*) {
  return cudaErrorNotSupported;
}
int QK_NAME(qk_gen_noised)(QkCtx*, const int8_t*, const int8_t*, const uint32_t*,
                           const uint32_t*, int8_t*, int8_t*) {
  return cudaErrorNotSupported;
}
int QK_NAME(qk_mine_gen)(QkCtx*, const int8_t*, const int8_t*, const uint32_t*, const uint32_t*,
                         const uint32_t*, const uint32_t*) {
  return -1;
}
int QK_NAME(qk_prepare_a)(QkCtx*, const uint32_t*, const uint32_t*, uint64_t) {
  return cudaErrorNotSupported;
}
int QK_NAME(qk_refresh_bonly_job)(QkCtx*, const uint32_t*, const uint32_t*, uint64_t) {
  return cudaErrorNotSupported;
}
int QK_NAME(qk_mine_full_bonly)(QkCtx*, uint64_t) { return -1; }
void QK_NAME(qk_mine_full_bonly_batch)(QkCtx*, uint64_t, int count, int32_t* results_out) {
  if (count > 0) std::fill(results_out, results_out + std::min(count, 64), -1);
}
int QK_NAME(qk_mine_full_bonly_profile)(QkCtx*, uint64_t, float* times) {
  std::fill(times, times + 12, 0.0f);
  return -1;
}
int QK_NAME(qk_bench_bonly_pipeline)(QkCtx*, int count, float* elapsed_ms) {
  *elapsed_ms = 0.0f;
  return count <= 0 ? 0 : -1;
}
int QK_NAME(qk_bench_bonly_batch)(QkCtx*, int count, float* elapsed_ms) {
  *elapsed_ms = 0.0f;
  return count <= 0 ? 0 : -1;
}

}  // extern "C"
