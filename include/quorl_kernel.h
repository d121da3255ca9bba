/* libquorl_kernel: int8 tensor-core proof-of-work mining on NVIDIA GPUs.
 *
 * One context per GPU: qk_init creates it, every other call takes the handle,
 * qk_free releases it. Calls on one context must come one at a time; separate
 * contexts may be driven from separate host threads. 32-byte values (keys,
 * targets, seeds, roots) are eight 32-bit words, word 0 first, each in host
 * (little-endian) order, so byte 4i is the low byte of word i.
 *
 * Results: a status is a CUDA runtime error code (0 = success); a "found"
 * result is -1 when no hash-grid cell met the target, else the grid index
 * R * col_groups + C of one cell that did. A library configured without
 * some builds (a developer's partial build) refuses to create contexts on them.
 *
 * Failures: every call first makes the context's device current and enqueues
 * nothing when it cannot. A status is the first CUDA error of any step of the
 * call: the device selection, a launch or copy the runtime refused on entry
 * (no kernel image for the device, an invalid configuration, too few
 * resources) or the final wait. A call that returns a found result returns -1
 * when any of its steps failed, never an earlier attempt's hit. No call
 * returns or prints an error that an earlier call met. After a sticky error
 * (an illegal address, say) every call on that device fails.
 */
#ifndef QUORL_KERNEL_H
#define QUORL_KERNEL_H

#include <stdint.h>

#if defined(__GNUC__)
#define QK_API __attribute__((visibility("default")))
#else
#define QK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The build a context runs on. */
enum QkVariant {
  QK_VARIANT_SM89 = 0,
  QK_VARIANT_SM120A = 1,
  QK_VARIANT_H100TMA = 2,
  QK_VARIANT_FALLBACK = 3
};

typedef struct QkCtx QkCtx; /* opaque: one build's per-GPU context */

typedef struct QkHandle {
  int32_t variant; /* enum QkVariant, fixed at creation */
  QkCtx* ctx;
} QkHandle;

/* Creates a context on `device` for A (m x k) and B (n rows of k) with a
 * hash grid of row_groups x col_groups cells; row_group[m] and col_group[n]
 * label each product row and column (copied, not kept). Returns null, after
 * one "CUDA cuda/quorl_kernel:<site> <reason>" line on stderr, when the shape
 * is refused (3001: m a positive multiple of 128, n of 256, k of 64, m*k and
 * n*k each 1024 * 2^L bytes, group arrays not null), the labelling is refused
 * (3002: see the README), `device` names no device that can be made current
 * (3003; on a machine with no device at all the first allocation reports
 * instead), an allocation fails (3009..3041) or the labels, tags, streams or
 * events cannot be set up (3042). The build comes from QUORL_KERNEL_VARIANT
 * or the device's compute capability; a forced build the device cannot run
 * is accepted, and then every call that launches a kernel fails. */
QK_API QkHandle* qk_init(int device, int m, int n, int k, int row_groups, int col_groups,
                         const int32_t* row_group, const int32_t* col_group);
/* Releases the context and the handle; null is accepted. */
QK_API void qk_free(QkHandle* h);

/* Job state and readback. */
QK_API int qk_set_job(QkHandle* h, const uint32_t job_key[8], const uint32_t target[8]);
QK_API int qk_get_plain(QkHandle* h, int8_t* a_out, int8_t* b_out);
QK_API int qk_get_hashes(QkHandle* h, uint32_t a_hash_out[8], uint32_t b_hash_out[8]);
QK_API int qk_get_xored(QkHandle* h, uint32_t* out);

/* Single-job search. qk_run repeats the last search of whichever call filled
 * the context (qk_mine, qk_mine_gen, a full or B-only attempt, a B-only
 * bench), under the target installed now; it prints site 3084 when the search
 * could not be launched and 3086 when the wait fails. qk_run_async only
 * queues the search and reports nothing: a search it could not queue is seen
 * by no later call (use qk_run to know). */
QK_API int qk_run(QkHandle* h);
QK_API void qk_run_async(QkHandle* h);
QK_API int qk_mine(QkHandle* h, const int8_t* a, const int8_t* b, const uint32_t search_key[8],
                   const uint32_t target[8]);

/* Full pipeline: generate, commit, derive seeds, add noise, search. */
QK_API int qk_mine_full(QkHandle* h, const uint32_t job_key[8], uint64_t seed_a, uint64_t seed_b,
                        const uint32_t target[8]);
QK_API int qk_mine_full_loaded(QkHandle* h, uint64_t seed_a, uint64_t seed_b);
QK_API int qk_mine_full_profile(QkHandle* h, const uint32_t job_key[8], uint64_t seed_a,
                                uint64_t seed_b, const uint32_t target[8], float times[8]);

/* Generation, commitment and noise. */
QK_API int qk_gen_ab(QkHandle* h, uint64_t seed_a, uint64_t seed_b);
QK_API int qk_commit(QkHandle* h, const uint32_t job_key[8], uint32_t a_hash_out[8],
                     uint32_t b_hash_out[8]);
QK_API int qk_gen_noised(QkHandle* h, const int8_t* a_plain, const int8_t* b_plain,
                         const uint32_t a_seed[8], const uint32_t b_seed[8], int8_t* a_out,
                         int8_t* b_out);
QK_API int qk_mine_gen(QkHandle* h, const int8_t* a_plain, const int8_t* b_plain,
                       const uint32_t a_seed[8], const uint32_t b_seed[8],
                       const uint32_t search_key[8], const uint32_t target[8]);
QK_API int qk_prepare_a(QkHandle* h, const uint32_t job_key[8], const uint32_t target[8],
                        uint64_t seed);

/* B-only mining. The batch writes min(count, 64) outcomes, each -1 unless the
 * whole batch succeeded. The profiles fill their times (8 and 12 values) with
 * 0 when they fail. The benches return the number of attempts that found a
 * cell, or -1 with *elapsed_ms = 0 when they fail (they print site 3090 or
 * 3091 when they cannot set up their scratch). */
QK_API int qk_refresh_bonly_job(QkHandle* h, const uint32_t job_key[8], const uint32_t target[8],
                                uint64_t unused);
QK_API int qk_mine_full_bonly(QkHandle* h, uint64_t nonce);
QK_API void qk_mine_full_bonly_batch(QkHandle* h, uint64_t first_nonce, int count,
                                     int32_t* results_out);
QK_API int qk_mine_full_bonly_profile(QkHandle* h, uint64_t nonce, float times[12]);
QK_API int qk_bench_bonly_pipeline(QkHandle* h, int count, float* elapsed_ms);
QK_API int qk_bench_bonly_batch(QkHandle* h, int count, float* elapsed_ms);

#ifdef __cplusplus
}
#endif

#endif /* QUORL_KERNEL_H */
