// The order of the B-only flows' steps on the main stream, recorded from the
// functions the drivers and benches queue through: with the overlap on,
// every mutation allowed to start early follows a search directly (else the
// launch could not overlap it) and touches nothing before its wait that the
// search uses; every outcome reaches the host once, before its slot is
// reset; without the overlap nothing starts early.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "../../cuda/bonly/attempt_order.h"

namespace quorl::bonly {
namespace {

struct Recorded {
  int attempt;
  QueuedStep step;
};

struct Recorder {
  std::vector<Recorded> steps;
  void mutate(int j, QueuedStep s) { steps.push_back({j, s}); }
  void copy_result(int j, QueuedStep s) { steps.push_back({j, s}); }
  void derive_seeds(int j, QueuedStep s) { steps.push_back({j, s}); }
  void copy_key(int j, QueuedStep s) { steps.push_back({j, s}); }
  void noise(int j, QueuedStep s) { steps.push_back({j, s}); }
  void search(int j, QueuedStep s) { steps.push_back({j, s}); }
};

enum class Flow { kBatch, kBenchBatch, kPipeline };

Recorder record(Flow flow, int count, bool overlap) {
  Recorder r;
  for (int j = 0; j < count; ++j) {
    switch (flow) {
      case Flow::kBatch:
        queue_batch_attempt(r, j, overlap);
        break;
      case Flow::kBenchBatch:
        queue_bench_attempt(r, j, count, overlap);
        break;
      case Flow::kPipeline:
        if (j < 2) queue_pipeline_preparation(r, j);
        break;
    }
  }
  if (flow == Flow::kPipeline) {
    for (int i = 0; i < count; ++i) queue_pipeline_attempt(r, i, count);
  }
  return r;
}

const char* name(Flow f) {
  return f == Flow::kBatch ? "qk_mine_full_bonly_batch"
         : f == Flow::kBenchBatch ? "qk_bench_bonly_batch"
                                  : "qk_bench_bonly_pipeline";
}

TEST(BonlyOrder, OverlappingMutationsFollowASearchAndTouchNothingItUses) {
  for (Flow flow : {Flow::kBatch, Flow::kBenchBatch, Flow::kPipeline}) {
    SCOPED_TRACE(name(flow));
    const Recorder r = record(flow, 5, true);
    int overlapping = 0;
    for (size_t i = 0; i < r.steps.size(); ++i) {
      const QueuedStep& s = r.steps[i].step;
      if (!s.overlaps) continue;
      ++overlapping;
      EXPECT_EQ(s.step, Step::kMutate) << "step " << i;
      ASSERT_GT(i, 0u);
      const QueuedStep& before = r.steps[i - 1].step;
      EXPECT_EQ(before.step, Step::kSearch) << "step " << i << " follows no search";
      EXPECT_TRUE(overlap_is_safe(before.access, s.access)) << "step " << i;
    }
    // Every mutation after the first search overlaps one.
    EXPECT_EQ(overlapping, flow == Flow::kPipeline ? 3 : 4);
  }
}

TEST(BonlyOrder, WithoutTheOverlapNothingStartsEarly) {
  for (Flow flow : {Flow::kBatch, Flow::kBenchBatch}) {
    SCOPED_TRACE(name(flow));
    for (const Recorded& s : record(flow, 5, false).steps) EXPECT_FALSE(s.step.overlaps);
  }
  // The pipeline without the overlap keeps its two streams (not this order).
}

// Each outcome reaches the host exactly once, copied after its search and
// from where it still is: the result slot before any later write to it, or
// the save slot the next mutation parked it in.
TEST(BonlyOrder, EveryOutcomeReachesTheHostOnce) {
  for (Flow flow : {Flow::kBenchBatch, Flow::kPipeline}) {
    for (bool overlap : {false, true}) {
      if (flow == Flow::kPipeline && !overlap) continue;
      SCOPED_TRACE(::testing::Message() << name(flow) << (overlap ? ", overlap" : ""));
      const int count = 5;
      const Recorder r = record(flow, count, overlap);
      std::map<int, int> copies;
      std::map<int, size_t> searched;
      for (size_t i = 0; i < r.steps.size(); ++i) {
        const auto& [j, s] = r.steps[i];
        if (s.step == Step::kSearch) searched[j] = i;
        if (s.step != Step::kCopyResult) continue;
        ++copies[j];
        ASSERT_TRUE(searched.count(j)) << "outcome " << j << " copied before its search";
        const bool parked = s.access.early.reads & kSaveSlot;
        // The steps between the search and the copy: a parked outcome was
        // parked by a mutation there; one copied from the result slot saw no
        // write to that slot in between (a later attempt of the same slot).
        bool parked_by_mutation = false, overwritten = false;
        for (size_t k = searched[j] + 1; k < i; ++k) {
          const QueuedStep& between = r.steps[k].step;
          const uint32_t writes = between.access.early.writes | between.access.late.writes;
          parked_by_mutation |= between.step == Step::kMutate && (writes & kSaveSlot);
          const bool same_slot = flow != Flow::kPipeline || (r.steps[k].attempt - j) % 2 == 0;
          overwritten |= same_slot && (writes & kResult) && between.step != Step::kSearch;
        }
        EXPECT_EQ(parked, parked_by_mutation) << "outcome " << j;
        if (!parked) EXPECT_FALSE(overwritten) << "outcome " << j << " reset before its copy";
      }
      for (int j = 0; j < count; ++j) EXPECT_EQ(copies[j], 1) << "outcome " << j;
    }
  }
}

// The rule has teeth: a mutation that reset the result slot or wrote the
// seeds before its wait, or a search that read B's root, would not be safe.
TEST(BonlyOrder, OverlapRuleRejectsSharedBuffers) {
  const StepAccess search = search_access(false);
  const StepAccess mutation = mutation_access(true, true);
  StepAccess early_reset = mutation;
  early_reset.early.writes |= kResult;
  StepAccess early_seeds = mutation;
  early_seeds.early.writes |= kSeeds;
  StepAccess reads_result_early = mutation;
  reads_result_early.early.reads |= kResult;
  StepAccess search_reading_root = search;
  search_reading_root.early.reads |= kBHash;
  const struct {
    const char* what;
    StepAccess before, step;
    bool safe;
  } cases[] = {
      {"the mutation as queued", search, mutation, true},
      {"the result reset before the wait", search, early_reset, false},
      {"the seeds (the search's key) written before the wait", search, early_seeds, false},
      {"the result read before the wait", search, reads_result_early, false},
      {"a search that reads B's root", search_reading_root, mutation, false},
  };
  for (const auto& c : cases) EXPECT_EQ(overlap_is_safe(c.before, c.step), c.safe) << c.what;
}

}  // namespace
}  // namespace quorl::bonly
