// Device tier: noised operands and B-only preparation against the reference.
// (Run once more with SMEM_NOISE=1 by the GPU check to cover the staged
// fusion kernel, since the switch is read once per process.)
#include <gtest/gtest.h>

#include <array>

#include "../support/b3sum.h"
#include "../support/device_env.h"
#include "quorl_ref/commit.hpp"
#include "quorl_ref/matrix_gen.hpp"
#include "quorl_ref/attempt.hpp"
#include "quorl_ref/noise.hpp"

namespace quorl {
namespace {

using ref::Cv;

struct Dims {
  int m, n, k;
};

TEST(DeviceNoise, GenNoisedMatchesReference) {
  QK_REQUIRE_GPU();
  for (const Dims d : {Dims{128, 256, 64}, Dims{256, 512, 2048}, Dims{128, 1024, 512}}) {
    for (const test::BuildName& build : test::runnable_builds()) {
      SCOPED_TRACE(::testing::Message() << build.name << " " << d.m << "x" << d.n << "x" << d.k);
      QkHandle* h = test::open_standard(build, d.m, d.n, d.k);
      ASSERT_NE(h, nullptr);
      // Uniform bytes, so that wrap-around is exercised too.
      const std::vector<uint8_t> a_raw = test::random_bytes(size_t(d.m) * d.k, d.k);
      const std::vector<uint8_t> b_raw = test::random_bytes(size_t(d.n) * d.k, d.k + 1);
      const std::vector<int8_t> a(a_raw.begin(), a_raw.end()), b(b_raw.begin(), b_raw.end());
      const Cv a_seed = test::random_cv(d.m), b_seed = test::random_cv(d.n);
      std::vector<int8_t> a_out(a.size()), b_out(b.size());
      ASSERT_EQ(qk_gen_noised(h, a.data(), b.data(), a_seed.data(), b_seed.data(), a_out.data(),
                              b_out.data()),
                0);
      EXPECT_EQ(a_out, ref::noised_operand(a.data(), d.m, d.k, a_seed, ref::a_tag()));
      EXPECT_EQ(b_out, ref::noised_operand(b.data(), d.n, d.k, b_seed, ref::b_tag()));
      // The plain matrices are the uploaded ones.
      std::vector<int8_t> a_plain(a.size());
      ASSERT_EQ(qk_get_plain(h, a_plain.data(), nullptr), 0);
      EXPECT_EQ(a_plain, a);
      qk_free(h);
    }
  }
}

TEST(DeviceNoise, PrepareAGeneratesAndCommitsBothMatrices) {
  QK_REQUIRE_GPU();
  const Dims d{256, 512, 128};
  for (const test::BuildName& build : test::runnable_builds()) {
    SCOPED_TRACE(build.name);
    QkHandle* h = test::open_standard(build, d.m, d.n, d.k);
    ASSERT_NE(h, nullptr);
    const Cv key = test::random_cv(31), target = test::random_cv(32);
    for (uint64_t seed : {uint64_t(0), uint64_t(0x5EED)}) {
      ASSERT_EQ(qk_prepare_a(h, key.data(), target.data(), seed), 0);
      const std::vector<int8_t> a = ref::generate(seed, int64_t(d.m) * d.k);
      const std::vector<int8_t> b = ref::generate(seed ^ 0xD1B54A32D192ED03ull, int64_t(d.n) * d.k);
      std::vector<int8_t> a_dev(a.size()), b_dev(b.size());
      ASSERT_EQ(qk_get_plain(h, a_dev.data(), b_dev.data()), 0);
      EXPECT_EQ(a_dev, a);
      EXPECT_EQ(b_dev, b);
      Cv a_hash{}, b_hash{};
      ASSERT_EQ(qk_get_hashes(h, a_hash.data(), b_hash.data()), 0);
      EXPECT_EQ(a_hash, ref::commit(key, a.data(), int64_t(a.size())));
      EXPECT_EQ(b_hash, ref::commit(key, b.data(), int64_t(b.size())));
    }
    qk_free(h);
  }
}

}  // namespace
}  // namespace quorl

#include <cstdlib>

#include "quorl_ref/search.hpp"

namespace quorl {
namespace {

// qk_mine_gen builds the operands on the side streams, qk_gen_noised on one
// stream: searching both must agree. In the separate-bound mode (as the GPU
// check runs this test a second time) the cell messages are compared word for
// word, which pins every byte of both operands' products.
TEST(DeviceNoise, ParallelAndSerialNoiseGiveTheSameOperands) {
  QK_REQUIRE_GPU();
  const ref::Dims d{256, 512, 2048};
  const bool separate = std::getenv("SEPARATE_BOUND") != nullptr;
  const std::vector<int8_t> a = ref::generate(21, int64_t(d.m) * d.k);
  const std::vector<int8_t> b = ref::generate(22, int64_t(d.n) * d.k);
  const Cv a_seed = test::random_cv(23), b_seed = test::random_cv(24), key = test::random_cv(25);
  // A target met by exactly one cell of the reference operands.
  const std::vector<int8_t> an = ref::noised_operand(a.data(), d.m, d.k, a_seed, ref::a_tag());
  const std::vector<int8_t> bn = ref::noised_operand(b.data(), d.n, d.k, b_seed, ref::b_tag());
  const std::vector<uint32_t> messages =
      ref::cell_messages(an.data(), bn.data(), d.m, d.n, d.k, ref::standard_labelling(d.m, d.n));
  Cv target = ref::bound_hash(key, messages.data());
  for (size_t cell = 1; cell * ref::kMessageWords < messages.size(); ++cell) {
    const Cv h = ref::bound_hash(key, messages.data() + cell * ref::kMessageWords);
    if (!ref::meets_target(target, h)) target = h;  // keep the smallest
  }
  const std::vector<int32_t> expected = ref::qualifying_cells(messages, key, target);
  ASSERT_EQ(expected.size(), 1u);

  for (const test::BuildName& build : test::runnable_builds()) {
    SCOPED_TRACE(build.name);
    QkHandle* h = test::open_standard(build, d.m, d.n, d.k);
    ASSERT_NE(h, nullptr);
    std::vector<int8_t> a_out(a.size()), b_out(b.size());
    ASSERT_EQ(qk_gen_noised(h, a.data(), b.data(), a_seed.data(), b_seed.data(), a_out.data(),
                            b_out.data()),
              0);
    EXPECT_EQ(qk_mine(h, a_out.data(), b_out.data(), key.data(), target.data()), expected[0]);
    const size_t words = size_t(d.k / 128) * (d.m / 2) * (d.n / 64);
    std::vector<uint32_t> serial(words), parallel(words);
    ASSERT_EQ(qk_get_xored(h, serial.data()), 0);
    EXPECT_EQ(qk_mine_gen(h, a.data(), b.data(), a_seed.data(), b_seed.data(), key.data(),
                          target.data()),
              expected[0]);
    ASSERT_EQ(qk_get_xored(h, parallel.data()), 0);
    if (separate) {
      EXPECT_EQ(parallel, serial);
      EXPECT_EQ(serial, ref::xored_planes(messages, d.k / 128, ref::standard_labelling(d.m, d.n)));
    }
    qk_free(h);
  }
}

}  // namespace
}  // namespace quorl
