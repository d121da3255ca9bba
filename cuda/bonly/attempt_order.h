// The order in which the B-only flows queue an attempt's steps on the main
// stream, and what each step touches. The drivers and benches queue through
// these functions; the host tests record them and check that a step allowed
// to start while the step before it still runs (a mutation overlapping the
// tail of the previous attempt's search) touches nothing that step uses.
//
// With the overlap on, attempt i's mutation is launched as a programmatic
// dependent of attempt i - 1's search: it may start once every CTA of the
// search has taken its last tile, so its serial tree update runs in the
// search's tail, on multiprocessors the search has left. It waits for the
// search to end (and its writes to be visible) before its last phase, which
// alone touches what the search uses: the result slot and the seeds, one of
// which is the search's key.
#pragma once

#include <cstdint>

namespace quorl::bonly {

// Device buffers an attempt's steps touch, as bits.
enum Buffer : uint32_t {
  kBPlain = 1u << 0,      // B (the chunk the mutation rewrites)
  kTree = 1u << 1,        // B's full tree and its chunk prefixes
  kBHash = 1u << 2,       // root of B
  kResult = 1u << 3,      // `found` (or a pipeline slot's result)
  kSaveSlot = 1u << 4,    // where the mutation parks the previous result
  kSeeds = 1u << 5,       // both noise seeds; the seed of A keys the search
  kSearchKey = 1u << 6,   // `search_key`, when the search is keyed from it
  kNoiseTables = 1u << 7, // noise and selector tables of A and B
  kNoised = 1u << 8,      // the noised operands `a` and `b`
  kFixed = 1u << 9,       // A, its root, the job key, target and labels: never written
  kHostResult = 1u << 10, // the pinned result entries
};

struct Access {
  uint32_t reads = 0;
  uint32_t writes = 0;
};

// What a step touches before it waits for the grid before it (`early`; all
// of it for a step that does not wait) and after (`late`).
struct StepAccess {
  Access early;
  Access late;
};

enum class Step { kMutate, kDeriveSeeds, kCopyKey, kNoise, kSearch, kCopyResult };

// One step as queued: `overlaps` when it may start before the step queued
// just before it on the stream has ended.
struct QueuedStep {
  Step step;
  StepAccess access;
  bool overlaps = false;
};

// The mutation: the tree work first (mutate_write_phase and
// mutate_update_phase), then, behind the wait, mutate_publish_phase.
// `seeds` and `save`: whether this launch derives the seeds and parks the
// previous result.
constexpr StepAccess mutation_access(bool seeds, bool save) {
  return {{kBPlain | kTree | kFixed, kBPlain | kTree | kBHash},
          {kResult, kResult | (save ? kSaveSlot : 0u) | (seeds ? kSeeds : 0u)}};
}
// The fused search: the noised operands, its key, the target and labels in;
// a compare-and-swap on the result.
constexpr StepAccess search_access(bool keyed_by_search_key) {
  return {{kNoised | kFixed | (keyed_by_search_key ? kSearchKey : kSeeds) | kResult, kResult}, {}};
}
constexpr StepAccess kDeriveSeedsAccess{{kBHash | kFixed, kSeeds}, {}};
constexpr StepAccess kCopyKeyAccess{{kSeeds, kSearchKey}, {}};
constexpr StepAccess kNoiseAccess{{kSeeds | kFixed | kBPlain, kNoiseTables | kNoised}, {}};
// Copies a result (the save slot's or the result slot's) to the host.
constexpr StepAccess copy_result_access(bool from_save_slot) {
  return {{from_save_slot ? kSaveSlot : kResult, kHostResult}, {}};
}

// Whether a step that overlaps `before` is safe: nothing it touches before
// its wait is written by `before`, and nothing `before` touches is written
// by it then.
constexpr bool overlap_is_safe(const StepAccess& before, const StepAccess& step) {
  const Access b{before.early.reads | before.late.reads, before.early.writes | before.late.writes};
  return (step.early.writes & (b.reads | b.writes)) == 0 && (step.early.reads & b.writes) == 0;
}

// The queues take each step with the attempt it belongs to.

// Attempt i of qk_mine_full_bonly_batch: the mutation derives the seeds and
// (from the second attempt on) parks the previous outcome in batch_found;
// the search is keyed by the seed of A.
template <class Queue>
void queue_batch_attempt(Queue& q, int i, bool overlap) {
  q.mutate(i, {Step::kMutate, mutation_access(true, i > 0), overlap && i > 0});
  q.noise(i, {Step::kNoise, kNoiseAccess});
  q.search(i, {Step::kSearch, search_access(false)});
}

// Attempt j of qk_bench_bonly_batch: mutation, seeds, the key copied into
// search_key, noise, search, the outcome to the host. With the overlap, the
// outcome stays in `found` until the next attempt's mutation parks it in a
// save slot and is copied from there (the last one from `found`), so that
// each mutation follows a search directly.
template <class Queue>
void queue_bench_attempt(Queue& q, int j, int count, bool overlap) {
  const bool after_search = overlap && j > 0;
  q.mutate(j, {Step::kMutate, mutation_access(false, after_search), after_search});
  if (after_search) q.copy_result(j - 1, {Step::kCopyResult, copy_result_access(true)});
  q.derive_seeds(j, {Step::kDeriveSeeds, kDeriveSeedsAccess});
  q.copy_key(j, {Step::kCopyKey, kCopyKeyAccess});
  q.noise(j, {Step::kNoise, kNoiseAccess});
  q.search(j, {Step::kSearch, search_access(true)});
  if (!overlap || j + 1 == count) q.copy_result(j, {Step::kCopyResult, copy_result_access(false)});
}

// Attempt i of qk_bench_bonly_pipeline with the overlap, all on the main
// stream: the search over slot i % 2 (prepared two attempts earlier), then
// the preparation of attempt i + 2 into that same slot, whose mutation
// overlaps the search (it touches the slot's B, tree and root, which the
// search does not read) and parks the search's outcome before it resets the
// slot's result. The first two attempts are prepared before the timing, as
// without the overlap.
template <class Queue>
void queue_pipeline_preparation(Queue& q, int j) {
  q.mutate(j, {Step::kMutate, mutation_access(false, false), false});
  q.derive_seeds(j, {Step::kDeriveSeeds, kDeriveSeedsAccess});
  q.noise(j, {Step::kNoise, kNoiseAccess});
}
template <class Queue>
void queue_pipeline_attempt(Queue& q, int i, int count) {
  q.search(i, {Step::kSearch, search_access(false)});
  if (i + 2 >= count) {
    q.copy_result(i, {Step::kCopyResult, copy_result_access(false)});
    return;
  }
  q.mutate(i + 2, {Step::kMutate, mutation_access(false, true), true});
  q.copy_result(i, {Step::kCopyResult, copy_result_access(true)});
  q.derive_seeds(i + 2, {Step::kDeriveSeeds, kDeriveSeedsAccess});
  q.noise(i + 2, {Step::kNoise, kNoiseAccess});
}

}  // namespace quorl::bonly
