// Whole attempts from a job and two seeds: generate, commit, derive seeds,
// add noise, search.
#pragma once

#include <cuda_runtime.h>

#include <algorithm>

#include "../commit/commit_calls.cuh"
#include "../common/build_name.h"
#include "../frame/call_status.h"
#include "../frame/context.cuh"
#include "../gen/gen_kernels.cuh"
#include "../gen/noise_pipeline.cuh"
#include "../search/search_pass.cuh"
#include "attempt.cuh"

namespace QK_BUILD_NS {

inline void queue_job_upload(QkCtx* c, const uint32_t* job_key, const uint32_t* target) {
  cudaMemcpyAsync(c->job_key, job_key, 32, cudaMemcpyHostToDevice, c->stream);
  cudaMemcpyAsync(c->target, target, 32, cudaMemcpyHostToDevice, c->stream);
}

inline void launch_generate(QkCtx* c, uint64_t seed_a, uint64_t seed_b, cudaStream_t sa,
                            cudaStream_t sb) {
  launch_gen_ab(c->a_plain, int64_t(c->m) * c->k, seed_a, sa);
  launch_gen_ab(c->b_plain, int64_t(c->n) * c->k, seed_b, sb);
}

inline void launch_commit_both(QkCtx* c, cudaStream_t sa, cudaStream_t sb) {
  launch_commit(c->a_plain, c->m, c->k, c->job_key, c->a_tree0, c->a_tree1, c->a_hash, sa);
  launch_commit(c->b_plain, c->n, c->k, c->job_key, c->b_tree0, c->b_tree1, c->b_hash, sb);
}

// Seeds from the job key and both roots; A's seed keys the search.
inline void launch_derive_and_key(QkCtx* c, cudaStream_t s) {
  launch_derive_seeds(c, s);
  cudaMemcpyAsync(c->search_key, c->a_seed, 32, cudaMemcpyDeviceToDevice, s);
}

// Generation and commitment of A on stream_a and of B on stream_b, joined
// back into `stream`. With `fork`, the side streams first wait for what
// `stream` already holds (the job uploads).
inline void launch_sides(QkCtx* c, uint64_t seed_a, uint64_t seed_b, bool fork) {
  if (fork) {
    cudaEventRecord(c->ev_fork, c->stream);
    cudaStreamWaitEvent(c->stream_a, c->ev_fork, 0);
    cudaStreamWaitEvent(c->stream_b, c->ev_fork, 0);
  }
  launch_generate(c, seed_a, seed_b, c->stream_a, c->stream_b);
  launch_commit_both(c, c->stream_a, c->stream_b);
  cudaEventRecord(c->ev_a_done, c->stream_a);
  cudaEventRecord(c->ev_b_done, c->stream_b);
  cudaStreamWaitEvent(c->stream, c->ev_a_done, 0);
  cudaStreamWaitEvent(c->stream, c->ev_b_done, 0);
}

}  // namespace QK_BUILD_NS

extern "C" int QK_NAME(qk_mine_full)(QkCtx* c, const uint32_t* job_key, uint64_t seed_a,
                                     uint64_t seed_b, const uint32_t* target) {
  using namespace QK_BUILD_NS;
  quorl::CallStatus call(c->device);
  if (call.failed()) return -1;
  queue_job_upload(c, job_key, target);
  launch_sides(c, seed_a, seed_b, /*fork=*/true);
  launch_derive_and_key(c, c->stream);
  launch_noise_parallel(c, c->stream);
  call.note(launch_search_with_key(c, c->stream, c->search_key, /*reset=*/true));
  queue_result_copy(c);
  return wait_result(c, call);
}

// The installed job; the side streams start at once, the noise runs on `stream`.
extern "C" int QK_NAME(qk_mine_full_loaded)(QkCtx* c, uint64_t seed_a, uint64_t seed_b) {
  using namespace QK_BUILD_NS;
  quorl::CallStatus call(c->device);
  if (call.failed()) return -1;
  launch_sides(c, seed_a, seed_b, /*fork=*/false);
  launch_derive_and_key(c, c->stream);
  launch_noise(c, c->stream);
  call.note(launch_search_with_key(c, c->stream, c->search_key, /*reset=*/true));
  queue_result_copy(c);
  return wait_result(c, call);
}

// Every stage on `stream` in sequence, timed: uploads, generation, commitment,
// seeds and key, noise, search, result copy, and the total. A failed call
// returns -1 with every time 0.
extern "C" int QK_NAME(qk_mine_full_profile)(QkCtx* c, const uint32_t* job_key, uint64_t seed_a,
                                             uint64_t seed_b, const uint32_t* target,
                                             float* times) {
  using namespace QK_BUILD_NS;
  std::fill(times, times + 8, 0.0f);
  quorl::CallStatus call(c->device);
  if (call.failed()) return -1;
  StageTimer<8> timer;
  timer.record(0, c->stream);
  queue_job_upload(c, job_key, target);
  timer.record(1, c->stream);
  launch_generate(c, seed_a, seed_b, c->stream, c->stream);
  timer.record(2, c->stream);
  launch_commit_both(c, c->stream, c->stream);
  timer.record(3, c->stream);
  launch_derive_and_key(c, c->stream);
  timer.record(4, c->stream);
  launch_noise(c, c->stream);
  timer.record(5, c->stream);
  call.note(launch_search_with_key(c, c->stream, c->search_key, /*reset=*/true));
  timer.record(6, c->stream);
  queue_result_copy(c);
  timer.record(7, c->stream);
  const int32_t found = wait_result(c, call);
  if (call.failed()) return -1;
  for (int i = 0; i < 7; ++i) times[i] = timer.ms(i, i + 1);
  times[7] = timer.ms(0, 7);
  return found;
}
