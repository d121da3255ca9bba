// The undecorated qk_ calls: qk_init picks a build, every other call forwards
// to the build that created the context.
#include <cuda_runtime_api.h>

#include <cstdlib>

#include "../include/quorl_kernel.h"
#include "variant_choice.h"

#include "all_build_calls.inc"

// Forwards `call` to the handle's build; unknown build numbers go to fallback.
#define QK_FORWARD(h, call, ...)                                     \
  switch ((h)->variant) {                                            \
    case QK_VARIANT_SM89:                                            \
      return qk_##call##_sm89((h)->ctx, ##__VA_ARGS__);              \
    case QK_VARIANT_SM120A:                                          \
      return qk_##call##_sm120a((h)->ctx, ##__VA_ARGS__);            \
    case QK_VARIANT_H100TMA:                                         \
      return qk_##call##_h100tma((h)->ctx, ##__VA_ARGS__);           \
    default:                                                         \
      return qk_##call##_fallback((h)->ctx, ##__VA_ARGS__);          \
  }

namespace {

QkCtx* init_variant(int variant, int device, int m, int n, int k, int row_groups, int col_groups,
                    const int32_t* row_group, const int32_t* col_group) {
  switch (variant) {
    case QK_VARIANT_SM89:
      return qk_init_sm89(device, m, n, k, row_groups, col_groups, row_group, col_group);
    case QK_VARIANT_SM120A:
      return qk_init_sm120a(device, m, n, k, row_groups, col_groups, row_group, col_group);
    case QK_VARIANT_H100TMA:
      return qk_init_h100tma(device, m, n, k, row_groups, col_groups, row_group, col_group);
    default:
      return qk_init_fallback(device, m, n, k, row_groups, col_groups, row_group, col_group);
  }
}

void free_variant(int variant, QkCtx* ctx) {
  QkHandle h{variant, ctx};
  QK_FORWARD(&h, free);
}

// The environment is read afresh at every qk_init; the device is asked only
// when the environment names no build.
int device_variant(int device) {
  const char* forced = std::getenv("QUORL_KERNEL_VARIANT");
  const int named = quorl::forced_variant(forced);
  if (named >= 0) return named;
  cudaDeviceProp prop{};
  const bool query_ok = cudaGetDeviceProperties(&prop, device) == cudaSuccess;
  // A failed query only means fallback; its error is no later call's.
  if (!query_ok) (void)cudaGetLastError();
  return quorl::choose_variant(forced, query_ok,
                               query_ok ? prop.major : 0, query_ok ? prop.minor : 0);
}

}  // namespace

extern "C" {

QK_API QkHandle* qk_init(int device, int m, int n, int k, int row_groups, int col_groups,
                         const int32_t* row_group, const int32_t* col_group) {
  const int variant = device_variant(device);
  QkCtx* ctx = init_variant(variant, device, m, n, k, row_groups, col_groups, row_group, col_group);
  if (ctx == nullptr) return nullptr;
  auto* h = static_cast<QkHandle*>(std::calloc(1, sizeof(QkHandle)));
  if (h == nullptr) {
    free_variant(variant, ctx);
    return nullptr;
  }
  h->variant = variant;
  h->ctx = ctx;
  return h;
}

QK_API void qk_free(QkHandle* h) {
  if (h == nullptr) return;
  free_variant(h->variant, h->ctx);
  std::free(h);
}

QK_API int qk_set_job(QkHandle* h, const uint32_t job_key[8], const uint32_t target[8]) {
  QK_FORWARD(h, set_job, job_key, target);
}
QK_API int qk_get_plain(QkHandle* h, int8_t* a_out, int8_t* b_out) {
  QK_FORWARD(h, get_plain, a_out, b_out);
}
QK_API int qk_get_hashes(QkHandle* h, uint32_t a_hash_out[8], uint32_t b_hash_out[8]) {
  QK_FORWARD(h, get_hashes, a_hash_out, b_hash_out);
}
QK_API int qk_get_xored(QkHandle* h, uint32_t* out) { QK_FORWARD(h, get_xored, out); }
QK_API int qk_run(QkHandle* h) { QK_FORWARD(h, run); }
QK_API void qk_run_async(QkHandle* h) { QK_FORWARD(h, run_async); }
QK_API int qk_mine(QkHandle* h, const int8_t* a, const int8_t* b, const uint32_t search_key[8],
                   const uint32_t target[8]) {
  QK_FORWARD(h, mine, a, b, search_key, target);
}
QK_API int qk_mine_full(QkHandle* h, const uint32_t job_key[8], uint64_t seed_a, uint64_t seed_b,
                        const uint32_t target[8]) {
  QK_FORWARD(h, mine_full, job_key, seed_a, seed_b, target);
}
QK_API int qk_mine_full_loaded(QkHandle* h, uint64_t seed_a, uint64_t seed_b) {
  QK_FORWARD(h, mine_full_loaded, seed_a, seed_b);
}
QK_API int qk_mine_full_profile(QkHandle* h, const uint32_t job_key[8], uint64_t seed_a,
                                uint64_t seed_b, const uint32_t target[8], float times[8]) {
  QK_FORWARD(h, mine_full_profile, job_key, seed_a, seed_b, target, times);
}
QK_API int qk_gen_ab(QkHandle* h, uint64_t seed_a, uint64_t seed_b) {
  QK_FORWARD(h, gen_ab, seed_a, seed_b);
}
QK_API int qk_commit(QkHandle* h, const uint32_t job_key[8], uint32_t a_hash_out[8],
                     uint32_t b_hash_out[8]) {
  QK_FORWARD(h, commit, job_key, a_hash_out, b_hash_out);
}
QK_API int qk_gen_noised(QkHandle* h, const int8_t* a_plain, const int8_t* b_plain,
                         const uint32_t a_seed[8], const uint32_t b_seed[8], int8_t* a_out,
                         int8_t* b_out) {
  QK_FORWARD(h, gen_noised, a_plain, b_plain, a_seed, b_seed, a_out, b_out);
}
QK_API int qk_mine_gen(QkHandle* h, const int8_t* a_plain, const int8_t* b_plain,
                       const uint32_t a_seed[8], const uint32_t b_seed[8],
                       const uint32_t search_key[8], const uint32_t target[8]) {
  QK_FORWARD(h, mine_gen, a_plain, b_plain, a_seed, b_seed, search_key, target);
}
QK_API int qk_prepare_a(QkHandle* h, const uint32_t job_key[8], const uint32_t target[8],
                        uint64_t seed) {
  QK_FORWARD(h, prepare_a, job_key, target, seed);
}
QK_API int qk_refresh_bonly_job(QkHandle* h, const uint32_t job_key[8], const uint32_t target[8],
                                uint64_t unused) {
  QK_FORWARD(h, refresh_bonly_job, job_key, target, unused);
}
QK_API int qk_mine_full_bonly(QkHandle* h, uint64_t nonce) {
  QK_FORWARD(h, mine_full_bonly, nonce);
}
QK_API void qk_mine_full_bonly_batch(QkHandle* h, uint64_t first_nonce, int count,
                                     int32_t* results_out) {
  QK_FORWARD(h, mine_full_bonly_batch, first_nonce, count, results_out);
}
QK_API int qk_mine_full_bonly_profile(QkHandle* h, uint64_t nonce, float times[12]) {
  QK_FORWARD(h, mine_full_bonly_profile, nonce, times);
}
QK_API int qk_bench_bonly_pipeline(QkHandle* h, int count, float* elapsed_ms) {
  QK_FORWARD(h, bench_bonly_pipeline, count, elapsed_ms);
}
QK_API int qk_bench_bonly_batch(QkHandle* h, int count, float* elapsed_ms) {
  QK_FORWARD(h, bench_bonly_batch, count, elapsed_ms);
}

}  // extern "C"
