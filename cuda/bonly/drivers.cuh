// B-only attempts on a prepared context: mutate B and update its root and
// seeds, add noise, search keyed with A's seed.
#pragma once

#include <cuda_runtime.h>

#include <algorithm>

#include "../common/build_name.h"
#include "../drivers/attempt.cuh"
#include "../frame/call_status.h"
#include "../frame/context.cuh"
#include "../gen/noise_pipeline.cuh"
#include "../search/search_pass.cuh"
#include "attempt_order.h"
#include "mutate_kernel.cuh"
#include "search_overlap.h"

namespace QK_BUILD_NS {

constexpr int kBatchSlots = 64;  // entries of batch_found and host_found

// The steps of attempts with consecutive nonces on the main stream
// (queue_batch_attempt): the mutation kernel resets `found` after parking
// the previous outcome in batch_found, so the search does not.
struct BatchQueue {
  QkCtx* c;
  uint64_t first_nonce;
  quorl::CallStatus& call;

  void mutate(int i, const quorl::bonly::QueuedStep& s) {
    int32_t* save = i == 0 ? nullptr : c->batch_found + i - 1;
    call.note(launch_mutate(c, context_state(c), first_nonce + uint64_t(i), save, c->a_hash,
                            c->b_seed, c->a_seed, c->stream, s.overlaps));
  }
  void noise(int, const quorl::bonly::QueuedStep&) { launch_noise_parallel(c, c->stream); }
  void search(int, const quorl::bonly::QueuedStep&) {
    call.note(launch_search_with_key(c, c->stream, c->a_seed, /*reset=*/false));
  }
};

}  // namespace QK_BUILD_NS

extern "C" int QK_NAME(qk_mine_full_bonly)(QkCtx* c, uint64_t nonce) {
  using namespace QK_BUILD_NS;
  quorl::CallStatus call(c->device);
  if (call.failed()) return -1;
  BatchQueue queue{c, nonce, call};
  quorl::bonly::queue_batch_attempt(queue, 0, /*overlap=*/false);
  keep_search_key(c, c->a_seed);
  queue_result_copy(c);
  return wait_result(c, call);
}

// Up to 64 attempts with consecutive nonces and one wait: attempt i+1's
// mutation parks attempt i's outcome in batch_found[i]. Every outcome reads
// -1 until the whole batch has succeeded, so a failed batch never hands back
// the hits of an earlier one.
extern "C" void QK_NAME(qk_mine_full_bonly_batch)(QkCtx* c, uint64_t first_nonce, int count,
                                                  int32_t* results_out) {
  using namespace QK_BUILD_NS;
  if (count <= 0) return;
  const int runs = count < kBatchSlots ? count : kBatchSlots;
  std::fill(results_out, results_out + runs, -1);
  quorl::CallStatus call(c->device);
  if (call.failed()) return;
  BatchQueue queue{c, first_nonce, call};
  for (int i = 0; i < runs; ++i) quorl::bonly::queue_batch_attempt(queue, i, overlap_searches());
  keep_search_key(c, c->a_seed);
  if (runs > 1) {
    cudaMemcpyAsync(c->host_found, c->batch_found, sizeof(int32_t) * (runs - 1),
                    cudaMemcpyDeviceToHost, c->stream);
  }
  cudaMemcpyAsync(c->host_found + runs - 1, c->found, sizeof(int32_t), cudaMemcpyDeviceToHost,
                  c->stream);
  if (call.wait(c->stream) != cudaSuccess) return;
  std::copy(c->host_found, c->host_found + runs, results_out);
}

// One attempt, every step on `stream` with a timing event after it. A failed
// call returns -1 with every time 0.
extern "C" int QK_NAME(qk_mine_full_bonly_profile)(QkCtx* c, uint64_t nonce, float* times) {
  using namespace QK_BUILD_NS;
  std::fill(times, times + 12, 0.0f);
  quorl::CallStatus call(c->device);
  if (call.failed()) return -1;
  StageTimer<11> t;
  cudaStream_t s = c->stream;
  t.record(0, s);
  call.note(launch_mutate_b_update_tree(c, nonce, s));
  t.record(1, s);
  launch_derive_seeds(c, s);
  t.record(2, s);
  launch_gen_uniform(c->a_noise, c->m, c->a_tag, c->a_seed, s);
  t.record(3, s);
  launch_gen_perm(c->a_perm, c->k, c->a_tag, c->a_seed, s);
  t.record(4, s);
  launch_fuse_noise(c->a_plain, c->a, c->a_noise, c->a_perm, c->m, c->k, s);
  t.record(5, s);
  launch_gen_uniform(c->b_noise, c->n, c->b_tag, c->b_seed, s);
  t.record(6, s);
  launch_gen_perm(c->b_perm, c->k, c->b_tag, c->b_seed, s);
  t.record(7, s);
  launch_fuse_noise(c->b_plain, c->b, c->b_noise, c->b_perm, c->n, c->k, s);
  t.record(8, s);
  call.note(launch_search_with_key(c, s, c->a_seed, /*reset=*/false));
  t.record(9, s);
  queue_result_copy(c);
  t.record(10, s);
  keep_search_key(c, c->a_seed);
  const int32_t found = wait_result(c, call);
  if (call.failed()) return -1;
  for (int i = 0; i < 8; ++i) times[i] = t.ms(i, i + 1);
  times[8] = t.ms(2, 8);
  times[9] = t.ms(8, 9);
  times[10] = t.ms(9, 10);
  times[11] = t.ms(0, 10);
  return found;
}
