// Device tier: the mining drivers (full pipeline, B-only calls and benches)
// on every build the GPU can run, each outcome checked against the reference
// model's qualifying set. Skips without a GPU.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <numeric>

#include "../support/b3sum.h"
#include "../support/device_env.h"
#include "quorl_ref/attempt.hpp"
#include "quorl_ref/bonly.hpp"
#include "quorl_ref/search.hpp"

namespace quorl {
namespace {

using ref::Cv;

// k = 2048, where every build's engines compute the same messages.
constexpr ref::Dims kDims{256, 512, 2048};

struct Oracle {
  std::vector<Cv> hashes;  // bound hash of every cell, by grid index

  Oracle(const ref::AttemptOperands& op, ref::Dims d) {
    const ref::Labelling labels = ref::standard_labelling(d.m, d.n);
    const std::vector<uint32_t> messages =
        ref::cell_messages(op.a.data(), op.b.data(), d.m, d.n, d.k, labels);
    for (size_t cell = 0; cell * ref::kMessageWords < messages.size(); ++cell) {
      hashes.push_back(ref::bound_hash(op.seeds.a_seed, messages.data() + cell * ref::kMessageWords));
    }
  }

  // The target met by exactly the `count` smallest hashes.
  Cv target_for(size_t count) const {
    std::vector<Cv> sorted = hashes;
    std::sort(sorted.begin(), sorted.end(), [](const Cv& x, const Cv& y) {
      return std::lexicographical_compare(x.rbegin(), x.rend(), y.rbegin(), y.rend());
    });
    return sorted.at(count - 1);
  }

  std::vector<int32_t> qualifying(const Cv& target) const {
    std::vector<int32_t> cells;
    for (size_t i = 0; i < hashes.size(); ++i) {
      if (ref::meets_target(hashes[i], target)) cells.push_back(int32_t(i));
    }
    return cells;
  }

  // -1 exactly when nothing qualifies, else a member of the set.
  ::testing::AssertionResult accepts(int32_t found, const Cv& target) const {
    const std::vector<int32_t> cells = qualifying(target);
    if (cells.empty() ? found == -1
                      : std::find(cells.begin(), cells.end(), found) != cells.end()) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "found " << found << " but " << cells.size() << " cells qualify";
  }
};

const Cv kAllOnes = [] {
  Cv t;
  t.fill(0xFFFFFFFFu);
  return t;
}();

struct Context {
  QkHandle* h;
  explicit Context(const test::BuildName& build)
      : h(test::open_standard(build, kDims.m, kDims.n, kDims.k)) {}
  ~Context() { qk_free(h); }
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  std::vector<int8_t> b_plain() const {
    std::vector<int8_t> b(size_t(kDims.n) * kDims.k);
    EXPECT_EQ(qk_get_plain(h, nullptr, b.data()), 0);
    return b;
  }
  std::array<Cv, 2> roots() const {
    std::array<Cv, 2> r{};
    EXPECT_EQ(qk_get_hashes(h, r[0].data(), r[1].data()), 0);
    return r;
  }
};

TEST(DeviceFullPipeline, FindsTheReferenceCellsAndRepeatsThem) {
  QK_REQUIRE_GPU();
  const Cv key = test::random_cv(41);
  const ref::AttemptOperands op = ref::full_attempt(key, 7, 8, kDims);
  const Oracle oracle(op, kDims);
  for (const test::BuildName& build : test::runnable_builds()) {
    SCOPED_TRACE(build.name);
    Context ctx(build);
    ASSERT_NE(ctx.h, nullptr);
    for (size_t qualifying : {size_t(1), size_t(2)}) {
      const Cv target = oracle.target_for(qualifying);
      const int32_t found = qk_mine_full(ctx.h, key.data(), 7, 8, target.data());
      EXPECT_TRUE(oracle.accepts(found, target));
      if (qualifying == 1) EXPECT_EQ(qk_run(ctx.h), found) << "qk_run repeats the attempt";
    }
    EXPECT_EQ(ctx.roots(), (std::array<Cv, 2>{op.a_hash, op.b_hash}));
    const Cv zero{};
    EXPECT_TRUE(oracle.accepts(qk_mine_full(ctx.h, key.data(), 7, 8, zero.data()), zero));
    EXPECT_TRUE(oracle.accepts(qk_mine_full(ctx.h, key.data(), 7, 8, kAllOnes.data()), kAllOnes));
  }
}

TEST(DeviceFullPipeline, LoadedAndProfiledFormsAgreeWithTheFullCall) {
  QK_REQUIRE_GPU();
  const Cv key = test::random_cv(42);
  const ref::AttemptOperands op = ref::full_attempt(key, 9, 10, kDims);
  const Oracle oracle(op, kDims);
  const Cv target = oracle.target_for(1);
  for (const test::BuildName& build : test::runnable_builds()) {
    SCOPED_TRACE(build.name);
    Context ctx(build);
    ASSERT_NE(ctx.h, nullptr);
    const int32_t full = qk_mine_full(ctx.h, key.data(), 9, 10, target.data());
    EXPECT_TRUE(oracle.accepts(full, target));

    ASSERT_EQ(qk_set_job(ctx.h, key.data(), target.data()), 0);
    ASSERT_EQ(qk_gen_ab(ctx.h, 1, 2), 0);  // disturb the context first
    EXPECT_EQ(qk_mine_full_loaded(ctx.h, 9, 10), full);
    EXPECT_EQ(ctx.roots(), (std::array<Cv, 2>{op.a_hash, op.b_hash}));

    float times[8] = {};
    EXPECT_EQ(qk_mine_full_profile(ctx.h, key.data(), 9, 10, target.data(), times), full);
    const float stages = std::accumulate(times, times + 7, 0.0f);
    for (int i = 0; i < 7; ++i) {
      EXPECT_GE(times[i], 0.0f);
      EXPECT_LE(times[i], times[7] + 1e-3f) << i;
    }
    EXPECT_NEAR(stages, times[7], 0.01f + 0.01f * times[7]);
  }
}

// A prepared B-only context: A and B from `prepare_seed`, both committed.
constexpr uint64_t kPrepareSeed = 0xB0;

ref::AttemptOperands bonly_reference(const Cv& key, std::vector<uint64_t> nonces) {
  return ref::bonly_attempt(key, kPrepareSeed, nonces, kDims);
}

// Runs `body` on a context of every build the GPU runs, prepared for B-only
// mining under `key` and `target`.
template <class Body>
void on_each_prepared_build(const Cv& key, const Cv& target, Body&& body) {
  for (const test::BuildName& build : test::runnable_builds()) {
    SCOPED_TRACE(build.name);
    Context ctx(build);
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
                             [](const Cv& a, const Cv& b) {
                               return std::lexicographical_compare(a.rbegin(), a.rend(),
                                                                   b.rbegin(), b.rend());
                             });
  for (const test::BuildName& build : test::runnable_builds()) {
    SCOPED_TRACE(build.name);
    Context single(build), batch(build);
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

}  // namespace
}  // namespace quorl

namespace quorl {
namespace {

// Takes nearly all free device memory for the life of the object.
struct MemoryHog {
  void* block = nullptr;
  MemoryHog() {
    size_t free_bytes = 0, total = 0;
    cudaMemGetInfo(&free_bytes, &total);
    for (size_t size = free_bytes; size > (size_t(1) << 20) && block == nullptr;
         size -= size_t(1) << 20) {
      if (cudaMalloc(&block, size) != cudaSuccess) {
        block = nullptr;
        cudaGetLastError();
      }
    }
  }
  ~MemoryHog() { cudaFree(block); }
};

TEST(DeviceBonly, PipelineBenchSurvivesAFailedScratchAllocation) {
  QK_REQUIRE_GPU();
  const Cv key = test::random_cv(47);
  on_each_prepared_build(key, kAllOnes, [&](Context& ctx) {
    const std::vector<int8_t> before = ctx.b_plain();
    float elapsed = -1.0f;
    int result = 0;
    std::string err;
    {
      MemoryHog hog;
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
