// Device tier: the full-pipeline mining drivers on every build the GPU can
// run, each outcome checked against the reference model's qualifying set,
// and two contexts driven from two threads at once. Skips without a GPU.
#include <gtest/gtest.h>

#include <array>
#include <numeric>
#include <thread>
#include <vector>

#include "../support/b3sum.h"
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

TEST(DeviceDriversFullPipeline, FindsTheReferenceCellsAndRepeatsThem) {
  QK_REQUIRE_GPU();
  const Cv key = test::random_cv(41);
  const ref::AttemptOperands op = ref::full_attempt(key, 7, 8, kDims);
  const Oracle oracle(op, kDims);
  for (const test::BuildName& build : test::runnable_builds()) {
    SCOPED_TRACE(build.name);
    Context ctx(build, kDims);
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

TEST(DeviceDriversFullPipeline, LoadedAndProfiledFormsAgreeWithTheFullCall) {
  QK_REQUIRE_GPU();
  const Cv key = test::random_cv(42);
  const ref::AttemptOperands op = ref::full_attempt(key, 9, 10, kDims);
  const Oracle oracle(op, kDims);
  const Cv target = oracle.target_for(1);
  for (const test::BuildName& build : test::runnable_builds()) {
    SCOPED_TRACE(build.name);
    Context ctx(build, kDims);
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

// Attempts whose targets exactly one cell meets, so that every call has one
// right answer: the full pipeline from (key, seeds), and qk_mine_gen from the
// same plain matrices and seeds (keyed with A's seed, as the pipeline is).
struct Attempt {
  uint64_t seed_a, seed_b;
  ref::AttemptOperands op;
  Cv target;
  int32_t cell;
};

std::vector<Attempt> single_hit_attempts(const Cv& key, int count) {
  std::vector<Attempt> attempts;
  for (int i = 0; i < count; ++i) {
    Attempt a{uint64_t(100 + i), uint64_t(200 + i), ref::full_attempt(key, 100 + i, 200 + i, kDims),
              {}, -1};
    const Oracle oracle(a.op, kDims);
    a.target = oracle.target_for(1);
    a.cell = oracle.qualifying(a.target).at(0);
    attempts.push_back(std::move(a));
  }
  return attempts;
}

// Every attempt through qk_mine_full, then through qk_mine_gen, `rounds` times.
std::vector<int32_t> mine_rounds(QkHandle* h, const Cv& key, const std::vector<Attempt>& attempts,
                                 int rounds) {
  std::vector<int32_t> found;
  for (int r = 0; r < rounds; ++r) {
    for (const Attempt& a : attempts) {
      found.push_back(qk_mine_full(h, key.data(), a.seed_a, a.seed_b, a.target.data()));
      found.push_back(qk_mine_gen(h, a.op.a_plain.data(), a.op.b_plain.data(),
                                  a.op.seeds.a_seed.data(), a.op.seeds.b_seed.data(),
                                  a.op.seeds.a_seed.data(), a.target.data()));
    }
  }
  return found;
}

TEST(DeviceDriversThreads, TwoContextsOnTwoThreadsMineAsOneThreadDoes) {
  QK_REQUIRE_GPU();
  const Cv key = test::random_cv(48);
  const std::vector<Attempt> attempts = single_hit_attempts(key, 3);
  constexpr int kRounds = 4;
  std::vector<int32_t> expected;
  for (int r = 0; r < kRounds; ++r) {
    for (const Attempt& a : attempts) expected.insert(expected.end(), {a.cell, a.cell});
  }
  for (const test::BuildName& build : test::runnable_builds()) {
    SCOPED_TRACE(build.name);
    Context one(build, kDims), two(build, kDims);
    ASSERT_NE(one.h, nullptr);
    ASSERT_NE(two.h, nullptr);
    EXPECT_EQ(mine_rounds(one.h, key, attempts, kRounds), expected) << "one thread";

    std::vector<int32_t> first, second;
    std::thread a([&] { first = mine_rounds(one.h, key, attempts, kRounds); });
    std::thread b([&] { second = mine_rounds(two.h, key, attempts, kRounds); });
    a.join();
    b.join();
    EXPECT_EQ(first, expected) << "first of two threads";
    EXPECT_EQ(second, expected) << "second of two threads";
  }
}

}  // namespace
}  // namespace quorl
