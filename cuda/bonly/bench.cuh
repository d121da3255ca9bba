// B-only throughput benches on the GPU's clock: attempts one after another on
// the main stream, or double-buffered so that the next attempt's mutation,
// seeds and noise hide behind the current attempt's GEMM.
#pragma once

#include <cuda_runtime.h>

#include <cstring>

#include "../common/build_name.h"
#include "../drivers/attempt.cuh"
#include "../frame/call_status.h"
#include "../frame/context.cuh"
#include "../frame/diagnostic.h"
#include "../gen/noise_pipeline.cuh"
#include "../search/search_pass.cuh"
#include "attempt_order.h"
#include "mutate_kernel.cuh"
#include "search_overlap.h"

namespace QK_BUILD_NS {

constexpr uint64_t kBenchFirstNonce = 11;  // attempt j uses nonce 11 + 2j
constexpr uint64_t kBenchNonceStep = 2;

inline int count_found(const int32_t* outcomes, int count) {
  int found = 0;
  for (int i = 0; i < count; ++i) found += outcomes[i] >= 0;
  return found;
}

// The GEMM with fused bound, launched directly (no search-pass switches, no
// reset): the mutation kernel has already set `found` to -1. Returns the
// launcher's own status, as the search pass does.
inline cudaError_t launch_fused_gemm(const QkCtx* c, const int8_t* a, const int8_t* b,
                                     const uint32_t* key, int32_t* found, cudaStream_t s) {
#if QK_BUILD_IS_H100TMA
  return launch_gemm_hopper_tma_bound(a, b, c->row_group, c->col_group, key, c->target, found,
                                      c->m, c->n, c->k, c->k_blocks, c->row_groups, c->col_groups,
                                      s);
#else
  launch_gemm_impl<true, false>(a, b, nullptr, c->row_group, c->col_group, key, c->target, found,
                                c->m, c->n, c->k, c->k_blocks, c->row_groups, c->col_groups, s);
  return cudaSuccess;
#endif
}

// Everything one attempt of the pipeline bench reads or writes, apart from the
// shared noise scratch: slot 0 is the context's own, slot 1 a copy.
struct PipelineSlot {
  int8_t* a = nullptr;
  int8_t* b = nullptr;
  int8_t* b_plain = nullptr;
  int32_t* found = nullptr;
  uint32_t* a_seed = nullptr;
  uint32_t* b_seed = nullptr;
  uint32_t* b_hash = nullptr;
  uint32_t* tree = nullptr;
  uint32_t* prefix = nullptr;
  cudaEvent_t ready = nullptr;
  cudaEvent_t free = nullptr;

  BonlyState state() const { return {b_plain, prefix, tree, b_hash, found}; }
};

// The resources a pipeline bench holds; whatever was taken is given back,
// also after a failed setup, once the work queued on both streams is done.
struct PipelineScratch {
  cudaStream_t main;
  PipelineSlot slots[2];
  cudaStream_t prep = nullptr;
  cudaEvent_t start = nullptr, stop = nullptr;
  int32_t* outcomes = nullptr;  // pinned host

  explicit PipelineScratch(cudaStream_t main_stream) : main(main_stream) {}
  ~PipelineScratch() {
    if (prep != nullptr) cudaStreamSynchronize(prep);
    cudaStreamSynchronize(main);
    PipelineSlot& s = slots[1];
    for (void* p : {(void*)s.a, (void*)s.b, (void*)s.b_plain, (void*)s.found, (void*)s.a_seed,
                    (void*)s.b_seed, (void*)s.b_hash, (void*)s.tree, (void*)s.prefix}) {
      if (p != nullptr) cudaFree(p);
    }
    for (cudaEvent_t e : {slots[0].ready, slots[0].free, slots[1].ready, slots[1].free, start, stop}) {
      if (e != nullptr) cudaEventDestroy(e);
    }
    if (prep != nullptr) cudaStreamDestroy(prep);
    if (outcomes != nullptr) cudaFreeHost(outcomes);
  }
  PipelineScratch(const PipelineScratch&) = delete;
  PipelineScratch& operator=(const PipelineScratch&) = delete;
};

// Slot 1: fresh buffers, B-only state copied from the context so both slots
// start alike. Returns the first failure, or cudaSuccess.
inline cudaError_t allocate_second_slot(const QkCtx* c, PipelineSlot& s) {
  const size_t mk = size_t(c->m) * c->k, nk = size_t(c->n) * c->k, chunks = nk / 1024;
  struct Buffer {
    void** slot;
    size_t bytes;
    const void* copy_from;
  };
  const Buffer plan[] = {
      {(void**)&s.a, mk, nullptr},
      {(void**)&s.b, nk, nullptr},
      {(void**)&s.b_plain, nk, c->b_plain},
      {(void**)&s.found, 4, nullptr},
      {(void**)&s.a_seed, 32, nullptr},
      {(void**)&s.b_seed, 32, nullptr},
      {(void**)&s.b_hash, 32, c->b_hash},
      {(void**)&s.tree, chunks * 64, c->b_tree_full},
      {(void**)&s.prefix, chunks * 32, c->b_chunk_prefix},
  };
  for (const Buffer& buf : plan) {
    cudaError_t err = cudaMalloc(buf.slot, buf.bytes);
    if (err == cudaSuccess && buf.copy_from != nullptr) {
      err = cudaMemcpy(*buf.slot, buf.copy_from, buf.bytes, cudaMemcpyDeviceToDevice);
    }
    if (err != cudaSuccess) return err;
  }
  return cudaSuccess;
}

// Slot 0 is the context's own state; slot 1, the outcomes, the preparation
// stream and the events are the bench's. Returns the first failure.
inline cudaError_t set_up_pipeline(QkCtx* c, PipelineScratch& scratch, int count) {
  PipelineSlot& own = scratch.slots[0];
  own.a = c->a;
  own.b = c->b;
  own.b_plain = c->b_plain;
  own.found = c->found;
  own.a_seed = c->a_seed;
  own.b_seed = c->b_seed;
  own.b_hash = c->b_hash;
  own.tree = c->b_tree_full;
  own.prefix = c->b_chunk_prefix;
  cudaError_t err = allocate_second_slot(c, scratch.slots[1]);
  if (err != cudaSuccess) return err;
  err = cudaMallocHost(&scratch.outcomes, sizeof(int32_t) * size_t(count));
  if (err != cudaSuccess) return err;
  err = cudaStreamCreate(&scratch.prep);
  for (PipelineSlot& s : scratch.slots) {
    if (err == cudaSuccess) err = cudaEventCreateWithFlags(&s.ready, cudaEventDisableTiming);
    if (err == cudaSuccess) err = cudaEventCreateWithFlags(&s.free, cudaEventDisableTiming);
    if (err == cudaSuccess) err = cudaEventRecord(s.free, c->stream);
  }
  if (err == cudaSuccess) err = cudaEventCreate(&scratch.start);
  if (err == cudaSuccess) err = cudaEventCreate(&scratch.stop);
  return err;
}

inline uint64_t bench_nonce(int j) { return kBenchFirstNonce + kBenchNonceStep * uint64_t(j); }

// A slot's seeds from its root of B, its noise tables (in the shared
// scratch) and its noised operands, on `stream`.
inline void queue_slot_seeds(QkCtx* c, PipelineSlot& s, cudaStream_t stream) {
  launch_derive_seeds(c->job_key, c->a_hash, s.b_hash, s.b_seed, s.a_seed, stream);
}
inline void queue_slot_noise(QkCtx* c, PipelineSlot& s, cudaStream_t stream) {
  launch_gen_uniform(c->a_noise, c->m, c->a_tag, s.a_seed, stream);
  launch_gen_uniform(c->b_noise, c->n, c->b_tag, s.b_seed, stream);
  launch_gen_perm(c->a_perm, c->k, c->a_tag, s.a_seed, stream);
  launch_gen_perm(c->b_perm, c->k, c->b_tag, s.b_seed, stream);
  launch_fuse_noise(c->a_plain, s.a, c->a_noise, c->a_perm, c->m, c->k, stream);
  launch_fuse_noise(s.b_plain, s.b, c->b_noise, c->b_perm, c->n, c->k, stream);
}

// Mutation, seeds and noise of attempt j into slot s, on the preparation
// stream, once the GEMM that last read the slot is done.
inline void prepare_slot(QkCtx* c, PipelineSlot& s, int j, cudaStream_t prep) {
  cudaStreamWaitEvent(prep, s.free, 0);
  launch_mutate(c, s.state(), bench_nonce(j), nullptr, nullptr, nullptr, nullptr, prep);
  queue_slot_seeds(c, s, prep);
  queue_slot_noise(c, s, prep);
  cudaEventRecord(s.ready, prep);
}

// The pipeline bench with the overlap, all on the main stream
// (queue_pipeline_attempt): attempt j works in slot j % 2, and the mutation
// that prepares attempt j parks attempt j - 2's outcome in batch_found, used
// as a ring, before it resets the slot's result.
struct PipelineQueue {
  QkCtx* c;
  PipelineSlot* slots;
  int32_t* outcomes;  // pinned host
  quorl::CallStatus& call;

  static constexpr int kRing = 64;  // entries of batch_found
  PipelineSlot& slot(int j) const { return slots[j % 2]; }
  int32_t* parked(int j) const { return c->batch_found + j % kRing; }

  void mutate(int j, const quorl::bonly::QueuedStep& s) {
    int32_t* save = s.access.late.writes & quorl::bonly::kSaveSlot ? parked(j - 2) : nullptr;
    call.note(launch_mutate(c, slot(j).state(), bench_nonce(j), save, nullptr, nullptr, nullptr,
                            c->stream, s.overlaps));
  }
  void copy_result(int j, const quorl::bonly::QueuedStep& s) {
    const bool from_parked = s.access.early.reads & quorl::bonly::kSaveSlot;
    cudaMemcpyAsync(outcomes + j, from_parked ? parked(j) : slot(j).found, sizeof(int32_t),
                    cudaMemcpyDeviceToHost, c->stream);
  }
  void derive_seeds(int j, const quorl::bonly::QueuedStep&) { queue_slot_seeds(c, slot(j), c->stream); }
  void noise(int j, const quorl::bonly::QueuedStep&) { queue_slot_noise(c, slot(j), c->stream); }
  void search(int j, const quorl::bonly::QueuedStep&) {
    PipelineSlot& s = slot(j);
    call.note(launch_fused_gemm(c, s.a, s.b, s.a_seed, s.found, c->stream));
  }
};

// The bench could not take its scratch; what it did take is released by the
// caller's scratch.
inline int bench_setup_failed(int site, cudaError_t err) {
  quorl::report(site, err);
  return -1;
}

// The elapsed time of a bench whose work all succeeded (else 0), and its
// count of hits (else -1).
inline int bench_result(quorl::CallStatus& call, cudaEvent_t start, cudaEvent_t stop,
                        const int32_t* outcomes, int count, float* elapsed_ms) {
  float ms = 0.0f;
  if (call.failed() || call.note(cudaEventElapsedTime(&ms, start, stop)) != cudaSuccess) return -1;
  *elapsed_ms = ms;
  return count_found(outcomes, count);
}

}  // namespace QK_BUILD_NS

namespace QK_BUILD_NS {

// The batch bench's attempts on the main stream (queue_bench_attempt): nonce
// 11 + 2j, each outcome into its host entry. With the overlap, outcome j
// waits in `found` until attempt j + 1's mutation parks it in batch_found,
// used as a ring.
struct BenchBatchQueue {
  QkCtx* c;
  int32_t* outcomes;  // pinned host
  quorl::CallStatus& call;

  int32_t* ring(int j) const { return c->batch_found + j % kBenchRing; }
  void mutate(int j, const quorl::bonly::QueuedStep& s) {
    int32_t* save = s.access.late.writes & quorl::bonly::kSaveSlot ? ring(j - 1) : nullptr;
    call.note(launch_mutate(c, context_state(c), bench_nonce(j), save, nullptr, nullptr, nullptr,
                            c->stream, s.overlaps));
  }
  void copy_result(int j, const quorl::bonly::QueuedStep& s) {
    const bool parked = s.access.early.reads & quorl::bonly::kSaveSlot;
    cudaMemcpyAsync(outcomes + j, parked ? ring(j) : c->found, sizeof(int32_t),
                    cudaMemcpyDeviceToHost, c->stream);
  }
  void derive_seeds(int, const quorl::bonly::QueuedStep&) { launch_derive_seeds(c, c->stream); }
  void copy_key(int, const quorl::bonly::QueuedStep&) {
    cudaMemcpyAsync(c->search_key, c->a_seed, 32, cudaMemcpyDeviceToDevice, c->stream);
  }
  void noise(int, const quorl::bonly::QueuedStep&) { launch_noise_parallel(c, c->stream); }
  void search(int, const quorl::bonly::QueuedStep&) {
    call.note(launch_search_with_key(c, c->stream, c->search_key, /*reset=*/false));
  }

  static constexpr int kBenchRing = 64;  // entries of batch_found
};

}  // namespace QK_BUILD_NS

// A failed bench returns -1 with an elapsed time of 0.
extern "C" int QK_NAME(qk_bench_bonly_batch)(QkCtx* c, int count, float* elapsed_ms) {
  using namespace QK_BUILD_NS;
  *elapsed_ms = 0.0f;
  if (count <= 0) return 0;
  quorl::CallStatus call(c->device);
  if (call.failed()) return -1;
  int32_t* outcomes = nullptr;
  const cudaError_t err = cudaMallocHost(&outcomes, sizeof(int32_t) * size_t(count));
  if (err != cudaSuccess) return bench_setup_failed(quorl::site::kBenchBatchScratch, err);
  std::memset(outcomes, 0xFF, sizeof(int32_t) * size_t(count));
  int hits = -1;
  {
    StageTimer<2> timer;
    timer.record(0, c->stream);
    BenchBatchQueue queue{c, outcomes, call};
    for (int j = 0; j < count; ++j) {
      quorl::bonly::queue_bench_attempt(queue, j, count, overlap_searches());
    }
    timer.record(1, c->stream);
    call.wait(c->stream);  // always: the copies into `outcomes` must be done before it is freed
    hits = bench_result(call, timer.events[0], timer.events[1], outcomes, count, elapsed_ms);
  }
  cudaFreeHost(outcomes);
  return hits;
}

extern "C" int QK_NAME(qk_bench_bonly_pipeline)(QkCtx* c, int count, float* elapsed_ms) {
  using namespace QK_BUILD_NS;
  *elapsed_ms = 0.0f;
  if (count <= 0) return 0;
  quorl::CallStatus call(c->device);
  if (call.failed()) return -1;
  PipelineScratch scratch(c->stream);
  const cudaError_t err = set_up_pipeline(c, scratch, count);
  if (err != cudaSuccess) return bench_setup_failed(quorl::site::kBenchPipelineScratch, err);

  PipelineSlot* slots = scratch.slots;
  if (overlap_searches()) {
    // One stream: each preparation starts in the tail of the search before it.
    PipelineQueue queue{c, slots, scratch.outcomes, call};
    for (int j = 0; j < count && j < 2; ++j) quorl::bonly::queue_pipeline_preparation(queue, j);
    cudaEventRecord(scratch.start, c->stream);
    for (int i = 0; i < count; ++i) quorl::bonly::queue_pipeline_attempt(queue, i, count);
  } else {
    prepare_slot(c, slots[0], 0, scratch.prep);
    if (count >= 2) prepare_slot(c, slots[1], 1, scratch.prep);
    cudaEventRecord(scratch.start, c->stream);
    for (int i = 0; i < count; ++i) {
      PipelineSlot& s = slots[i % 2];
      cudaStreamWaitEvent(c->stream, s.ready, 0);
      call.note(launch_fused_gemm(c, s.a, s.b, s.a_seed, s.found, c->stream));
      cudaMemcpyAsync(scratch.outcomes + i, s.found, sizeof(int32_t), cudaMemcpyDeviceToHost,
                      c->stream);
      cudaEventRecord(s.free, c->stream);
      if (i + 2 < count) prepare_slot(c, s, i + 2, scratch.prep);
    }
  }
  cudaEventRecord(scratch.stop, c->stream);
  // The context keeps slot 0's state, whose last search qk_run then repeats.
  keep_search_key(c, c->a_seed);
  call.wait(scratch.prep);
  call.wait(c->stream);
  return bench_result(call, scratch.start, scratch.stop, scratch.outcomes, count, elapsed_ms);
}
