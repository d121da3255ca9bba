// Device tier: the B-only drivers and benches on every build the GPU can run,
// each outcome checked against the reference model's qualifying set and the
// state they leave against the reference B-only attempts; qk_run after each
// repeats its last search. Skips without a GPU.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "../support/b3sum.h"
#include "../support/child_process.h"
#include "../support/device_env.h"
#include "../support/oracle.h"
#include "../support/standard_context.h"

namespace quorl {
namespace {

using ref::Cv;
using test::kAllOnes;
using test::Oracle;

// k = 2048, where every build's engines compute the same messages.
constexpr ref::Dims kDims{256, 512, 2048};

using Context = test::StandardContext;

// A prepared B-only context: A and B from `prepare_seed`, both committed.
constexpr uint64_t kPrepareSeed = 0xB0;

ref::AttemptOperands bonly_reference(const Cv& key, std::vector<uint64_t> nonces) {
  return ref::bonly_attempt(key, kPrepareSeed, nonces, kDims);
}

// The reference attempts of a run of nonces applied in order to one B: the
// first attempt has the first nonce applied, the last all of them.
std::vector<ref::AttemptOperands> accumulated(const Cv& key, const std::vector<uint64_t>& nonces) {
  std::vector<ref::AttemptOperands> attempts;
  for (size_t i = 1; i <= nonces.size(); ++i) {
    attempts.push_back(bonly_reference(key, {nonces.begin(), nonces.begin() + i}));
  }
  return attempts;
}

std::vector<Oracle> oracles(const std::vector<ref::AttemptOperands>& attempts) {
  std::vector<Oracle> out;
  for (const ref::AttemptOperands& op : attempts) out.emplace_back(op, kDims);
  return out;
}

// Runs `body` on a context of every build the GPU runs, prepared for B-only
// mining under `key` and `target`.
template <class Body>
void on_each_prepared_build(const Cv& key, const Cv& target, Body&& body) {
  for (const test::BuildName& build : test::runnable_builds()) {
    SCOPED_TRACE(build.name);
    Context ctx(build, kDims);
    ASSERT_NE(ctx.h, nullptr);
    ASSERT_EQ(qk_prepare_a(ctx.h, key.data(), target.data(), kPrepareSeed), 0);
    body(ctx);
  }
}

TEST(DeviceBonly, SingleCallsAndABatchOfTwoLeaveTheSameState) {
  QK_REQUIRE_GPU();
  const Cv key = test::random_cv(43);
  const uint64_t x = 1000;
  const ref::AttemptOperands first = bonly_reference(key, {x});
  const ref::AttemptOperands second = bonly_reference(key, {x, x + 1});
  const Oracle first_oracle(first, kDims), second_oracle(second, kDims);
  // A target that some cells of each attempt meet, none too easily.
  const Cv target = std::max(first_oracle.target_for(2), second_oracle.target_for(2),
                             test::hash_less);
  for (const test::BuildName& build : test::runnable_builds()) {
    SCOPED_TRACE(build.name);
    Context single(build, kDims), batch(build, kDims);
    ASSERT_NE(single.h, nullptr);
    ASSERT_NE(batch.h, nullptr);
    ASSERT_EQ(qk_prepare_a(single.h, key.data(), target.data(), kPrepareSeed), 0);
    ASSERT_EQ(qk_prepare_a(batch.h, key.data(), target.data(), kPrepareSeed), 0);

    EXPECT_TRUE(first_oracle.accepts(qk_mine_full_bonly(single.h, x), target));
    EXPECT_TRUE(second_oracle.accepts(qk_mine_full_bonly(single.h, x + 1), target));
    int32_t results[2] = {-7, -7};
    qk_mine_full_bonly_batch(batch.h, x, 2, results);
    EXPECT_TRUE(first_oracle.accepts(results[0], target));
    EXPECT_TRUE(second_oracle.accepts(results[1], target));

    for (Context* ctx : {&single, &batch}) {
      EXPECT_EQ(ctx->b_plain(), second.b_plain);
      EXPECT_EQ(ctx->roots(), (std::array<Cv, 2>{second.a_hash, second.b_hash}));
    }
  }
}

TEST(DeviceBonly, BatchCountsOneAndAHundred) {
  QK_REQUIRE_GPU();
  const Cv key = test::random_cv(44);
  on_each_prepared_build(key, kAllOnes, [&](Context& ctx) {
    std::vector<int32_t> results(100, -7);
    qk_mine_full_bonly_batch(ctx.h, 5, 1, results.data());
    EXPECT_GE(results[0], 0) << "every cell meets an all-ones target";
    EXPECT_EQ(results[1], -7);

    std::fill(results.begin(), results.end(), -7);
    qk_mine_full_bonly_batch(ctx.h, 6, 100, results.data());
    const int cells = (kDims.m / 2) * (kDims.n / 64);
    for (int i = 0; i < 64; ++i) {
      EXPECT_GE(results[i], 0) << i;
      EXPECT_LT(results[i], cells) << i;
    }
    for (int i = 64; i < 100; ++i) EXPECT_EQ(results[i], -7) << "untouched past 64";
    std::vector<uint64_t> nonces = {5};
    for (uint64_t x = 6; x < 70; ++x) nonces.push_back(x);
    EXPECT_EQ(ctx.b_plain(), bonly_reference(key, nonces).b_plain);
  });
}

// A batch of four attempts under a target that exactly two of them meet:
// each outcome belongs to its own attempt, and the batch leaves the state of
// all four.
TEST(DeviceBonly, BatchOfFourWhereSomeButNotAllAttemptsHit) {
  QK_REQUIRE_GPU();
  const Cv key = test::random_cv(49);
  const std::vector<uint64_t> nonces = {300, 301, 302, 303};
  const std::vector<ref::AttemptOperands> attempts = accumulated(key, nonces);
  const std::vector<Oracle> judged = oracles(attempts);
  const Cv target = test::target_met_by(judged, 2);
  on_each_prepared_build(key, target, [&](Context& ctx) {
    std::vector<int32_t> results(4, -7);
    qk_mine_full_bonly_batch(ctx.h, nonces[0], 4, results.data());
    for (size_t i = 0; i < 4; ++i) EXPECT_TRUE(judged[i].accepts(results[i], target)) << i;
    EXPECT_EQ(std::count_if(results.begin(), results.end(), [](int32_t r) { return r >= 0; }), 2);
    EXPECT_EQ(ctx.b_plain(), attempts.back().b_plain);
    EXPECT_EQ(ctx.roots(), (std::array<Cv, 2>{attempts.back().a_hash, attempts.back().b_hash}));
  });
}

TEST(DeviceBonly, ProfiledAttemptMatchesTheSingleCall) {
  QK_REQUIRE_GPU();
  const Cv key = test::random_cv(45);
  const ref::AttemptOperands op = bonly_reference(key, {77});
  const Oracle oracle(op, kDims);
  const Cv target = oracle.target_for(1);
  on_each_prepared_build(key, target, [&](Context& ctx) {
    float times[12] = {};
    EXPECT_TRUE(oracle.accepts(qk_mine_full_bonly_profile(ctx.h, 77, times), target));
    EXPECT_EQ(ctx.roots(), (std::array<Cv, 2>{op.a_hash, op.b_hash}));
    EXPECT_NEAR(times[8], std::accumulate(times + 2, times + 8, 0.0f), 0.01f + 0.01f * times[8]);
    for (int i = 0; i < 11; ++i) EXPECT_LE(times[i], times[11] + 1e-3f) << i;
  });
}

// qk_run after a B-only call repeats that call's last search: the attempt's
// noised operands under its own seed of A. Each call's last attempt has
// exactly one qualifying cell, so both answers are that cell.
TEST(DeviceBonly, RunRepeatsTheLastSearchOfEachBonlyCall) {
  QK_REQUIRE_GPU();
  const Cv key = test::random_cv(50);
  struct Call {
    const char* name;
    std::vector<uint64_t> nonces;  // applied since preparation
    std::function<int32_t(QkHandle*)> run;  // the outcome of the last attempt
  };
  const Call calls[] = {
      {"single", {400}, [](QkHandle* h) { return qk_mine_full_bonly(h, 400); }},
      {"batch of four",
       {410, 411, 412, 413},
       [](QkHandle* h) {
         int32_t results[4] = {-7, -7, -7, -7};
         qk_mine_full_bonly_batch(h, 410, 4, results);
         return results[3];
       }},
      {"profile", {420}, [](QkHandle* h) {
         float times[12];
         return qk_mine_full_bonly_profile(h, 420, times);
       }},
  };
  for (const Call& call : calls) {
    SCOPED_TRACE(call.name);
    const Oracle last(bonly_reference(key, call.nonces), kDims);
    const Cv target = last.target_for(1);
    const int32_t cell = last.qualifying(target).at(0);
    on_each_prepared_build(key, target, [&](Context& ctx) {
      EXPECT_EQ(call.run(ctx.h), cell);
      EXPECT_EQ(qk_run(ctx.h), cell) << "qk_run repeats the call's last search";
    });
  }
}

TEST(DeviceBonly, BenchesAdvanceTheStateAsDocumented) {
  QK_REQUIRE_GPU();
  const Cv key = test::random_cv(46);
  on_each_prepared_build(key, kAllOnes, [&](Context& ctx) {
    float elapsed = -1.0f;
    EXPECT_EQ(qk_bench_bonly_batch(ctx.h, 3, &elapsed), 3) << "all-ones target: every attempt hits";
    EXPECT_GT(elapsed, 0.0f);
    EXPECT_EQ(ctx.b_plain(), bonly_reference(key, {11, 13, 15}).b_plain);

    // The pipeline splits attempts between two copies of B; the context keeps
    // slot 0's, the even attempts (nonces 11 and 15 for four attempts).
    ASSERT_EQ(qk_prepare_a(ctx.h, key.data(), kAllOnes.data(), kPrepareSeed), 0);
    EXPECT_EQ(qk_bench_bonly_pipeline(ctx.h, 4, &elapsed), 4);
    EXPECT_GT(elapsed, 0.0f);
    const ref::AttemptOperands even = bonly_reference(key, {11, 15});
    EXPECT_EQ(ctx.b_plain(), even.b_plain);
    EXPECT_EQ(ctx.roots()[1], even.b_hash);

    EXPECT_EQ(qk_bench_bonly_pipeline(ctx.h, 0, &elapsed), 0);
    EXPECT_EQ(elapsed, 0.0f);
    EXPECT_EQ(qk_bench_bonly_batch(ctx.h, -1, &elapsed), 0);
    EXPECT_EQ(elapsed, 0.0f);
  });
}

// Both benches over four attempts (nonces 11, 13, 15, 17) under a target that
// exactly two of their attempts meet, so an attempt searched with another's
// operands or seeds, or an outcome counted twice, changes the count. The
// batch bench mutates one B with all four nonces; the pipeline bench gives
// slot 0 the even attempts (11, then 15) and slot 1, a copy of the prepared
// B, the odd ones (13, then 17), and the context keeps slot 0's.
TEST(DeviceBonly, BenchesCountTheAttemptsThatHitAndKeepTheirState) {
  QK_REQUIRE_GPU();
  const Cv key = test::random_cv(51);
  struct Bench {
    const char* name;
    int (*run)(QkHandle*, int, float*);
    std::vector<std::vector<uint64_t>> attempts;  // nonces applied to each attempt's B
    std::vector<uint64_t> kept;                   // nonces of the state the context keeps
  };
  const Bench benches[] = {
      {"batch", qk_bench_bonly_batch, {{11}, {11, 13}, {11, 13, 15}, {11, 13, 15, 17}},
       {11, 13, 15, 17}},
      {"pipeline", qk_bench_bonly_pipeline, {{11}, {13}, {11, 15}, {13, 17}}, {11, 15}},
  };
  for (const Bench& bench : benches) {
    SCOPED_TRACE(bench.name);
    std::vector<Oracle> judged;
    for (const std::vector<uint64_t>& nonces : bench.attempts) {
      judged.emplace_back(bonly_reference(key, nonces), kDims);
    }
    const Cv target = test::target_met_by(judged, 2);
    const ref::AttemptOperands kept = bonly_reference(key, bench.kept);
    const Oracle kept_oracle(kept, kDims);
    on_each_prepared_build(key, target, [&](Context& ctx) {
      float elapsed = -1.0f;
      EXPECT_EQ(bench.run(ctx.h, 4, &elapsed), 2);
      EXPECT_GT(elapsed, 0.0f);
      EXPECT_EQ(ctx.b_plain(), kept.b_plain);
      EXPECT_EQ(ctx.roots(), (std::array<Cv, 2>{kept.a_hash, kept.b_hash}));
      EXPECT_TRUE(kept_oracle.accepts(qk_run(ctx.h), target))
          << "qk_run repeats the last search of the state the context keeps";
    });
  }
}

// More attempts than batch_found has entries: with the B-only overlap the
// batch bench parks each outcome there, used as a ring, and the pipeline
// bench parks each slot's outcome there before the slot is prepared again.
TEST(DeviceBonly, BenchesCountEveryAttemptPastTheResultRing) {
  QK_REQUIRE_GPU();
  const Cv key = test::random_cv(53);
  const int count = 70;
  std::vector<uint64_t> nonces, even;
  for (int j = 0; j < count; ++j) nonces.push_back(11 + 2 * uint64_t(j));
  for (int j = 0; j < count; j += 2) even.push_back(nonces[size_t(j)]);
  on_each_prepared_build(key, kAllOnes, [&](Context& ctx) {
    float elapsed = -1.0f;
    EXPECT_EQ(qk_bench_bonly_batch(ctx.h, count, &elapsed), count) << "every attempt hits";
    EXPECT_EQ(ctx.b_plain(), bonly_reference(key, nonces).b_plain);
    ASSERT_EQ(qk_prepare_a(ctx.h, key.data(), kAllOnes.data(), kPrepareSeed), 0);
    EXPECT_EQ(qk_bench_bonly_pipeline(ctx.h, count, &elapsed), count);
    EXPECT_EQ(ctx.b_plain(), bonly_reference(key, even).b_plain);
  });
}

// QUORL_BONLY_OVERLAP (read once per process, so in a child): every B-only
// call gives the outcomes and leaves the state it gives without it. Only
// h100tma reads the switch; the other builds must be unaffected.
TEST(DeviceBonly, TheOverlapLeavesEveryOutcomeAndStateAlike) {
  QK_REQUIRE_GPU();
  QK_SKIP_WHERE_NO_CHILDREN();
  test::expect_child_passes("QUORL_BONLY_OVERLAP=1",
                            "DeviceBonly.*-DeviceBonly.TheOverlap*:DeviceBonly.PipelineBench*");
}

TEST(DeviceBonly, PipelineBenchSurvivesAFailedScratchAllocation) {
  QK_REQUIRE_GPU();
  const Cv key = test::random_cv(47);
  on_each_prepared_build(key, kAllOnes, [&](Context& ctx) {
    const std::vector<int8_t> before = ctx.b_plain();
    float elapsed = -1.0f;
    int result = 0;
    std::string err;
    {
      test::MemoryHog hog;
      ASSERT_NE(hog.block, nullptr);
      ::testing::internal::CaptureStderr();
      result = qk_bench_bonly_pipeline(ctx.h, 4, &elapsed);
      err = ::testing::internal::GetCapturedStderr();
    }
    EXPECT_EQ(result, -1);
    EXPECT_EQ(elapsed, 0.0f);
    EXPECT_EQ(err.rfind("CUDA cuda/quorl_kernel:3090 ", 0), 0u) << err;
    EXPECT_EQ(ctx.b_plain(), before) << "nothing ran";
    // The context is intact, and qk_run (which reports launch errors) finds no
    // stale error left behind.
    EXPECT_GE(qk_mine_full_bonly(ctx.h, 11), 0);
    ::testing::internal::CaptureStderr();
    qk_run(ctx.h);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  });
}

}  // namespace
}  // namespace quorl
