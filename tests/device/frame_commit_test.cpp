// Device tier: the frame, generation and commitment calls of every build the
// GPU can run, against the reference model. Skips without a GPU.
#include <gtest/gtest.h>

#include <array>

#include "../support/b3sum.h"  // random test values only; the device has no b3sum
#include "../support/device_env.h"
#include "quorl_ref/commit.hpp"
#include "quorl_ref/matrix_gen.hpp"

namespace quorl {
namespace {

using Words = std::array<uint32_t, 8>;

struct Dims {
  int m, n, k;
};

void PrintTo(const Dims& d, std::ostream* os) { *os << d.m << "x" << d.n << "x" << d.k; }

class DeviceFrame : public ::testing::TestWithParam<Dims> {};

INSTANTIATE_TEST_SUITE_P(Shapes, DeviceFrame,
                         ::testing::Values(Dims{128, 256, 64}, Dims{256, 512, 128},
                                           Dims{1024, 1024, 2048}),
                         [](const ::testing::TestParamInfo<Dims>& info) {
                           return std::to_string(info.param.m) + "x" +
                                  std::to_string(info.param.n) + "x" +
                                  std::to_string(info.param.k);
                         });

TEST_P(DeviceFrame, GenerateCommitAndReadBackMatchReference) {
  QK_REQUIRE_GPU();
  const Dims d = GetParam();
  for (const test::BuildName& build : test::runnable_builds()) {
    SCOPED_TRACE(build.name);
    QkHandle* h = test::open_standard(build, d.m, d.n, d.k);
    ASSERT_NE(h, nullptr);
    const uint64_t seed_a = 0x1111 + d.k, seed_b = 0x2222 + d.m;
    ASSERT_EQ(qk_gen_ab(h, seed_a, seed_b), 0);

    std::vector<int8_t> a(size_t(d.m) * d.k), b(size_t(d.n) * d.k);
    ASSERT_EQ(qk_get_plain(h, a.data(), b.data()), 0);
    EXPECT_EQ(a, ref::generate(seed_a, int64_t(a.size())));
    EXPECT_EQ(b, ref::generate(seed_b, int64_t(b.size())));

    const ref::Cv key = test::random_cv(d.m + d.n);
    Words a_root{}, b_root{};
    ASSERT_EQ(qk_commit(h, key.data(), a_root.data(), b_root.data()), 0);
    EXPECT_EQ(a_root, ref::commit(key, a.data(), int64_t(a.size())));
    EXPECT_EQ(b_root, ref::commit(key, b.data(), int64_t(b.size())));

    // A new job does not recommit: the roots stay those of the last commitment.
    const ref::Cv other = test::random_cv(1);
    const Words target{};
    ASSERT_EQ(qk_set_job(h, other.data(), target.data()), 0);
    Words a_again{}, b_again{};
    ASSERT_EQ(qk_get_hashes(h, a_again.data(), b_again.data()), 0);
    EXPECT_EQ(a_again, a_root);
    EXPECT_EQ(b_again, b_root);
    qk_free(h);
  }
}

TEST(DeviceFrameReadback, PlainReadbackHonoursNullOutputs) {
  QK_REQUIRE_GPU();
  for (const test::BuildName& build : test::runnable_builds()) {
    SCOPED_TRACE(build.name);
    QkHandle* h = test::open_standard(build, 128, 256, 128);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(qk_gen_ab(h, 5, 6), 0);
    EXPECT_EQ(qk_get_plain(h, nullptr, nullptr), 0);
    std::vector<int8_t> b(256 * 128, 0);
    EXPECT_EQ(qk_get_plain(h, nullptr, b.data()), 0);
    EXPECT_EQ(b, ref::generate(6, int64_t(b.size())));
    std::vector<uint32_t> xored(size_t(1) * 64 * 4);
    EXPECT_EQ(qk_get_xored(h, xored.data()), 0);
    qk_free(h);
  }
}

// Commitments of 32 MiB matrices (16384 x 2048 each, 2^15 chunks): the plain
// and the prefix-keeping trees, against the host reference.
TEST(DeviceCommitLarge, SixteenThousandSquaredByTwoThousandMatchesTheHost) {
  QK_REQUIRE_GPU();
  const Dims d{16384, 16384, 2048};
  const int64_t bytes = int64_t(d.m) * d.k;
  const ref::Cv key = test::random_cv(16384);
  const std::vector<int8_t> a = ref::generate(0xA11, bytes), b = ref::generate(0xB22, bytes);
  const ref::Cv a_root = ref::commit(key, a.data(), bytes);
  const ref::Cv b_root = ref::commit(key, b.data(), bytes);
  const uint64_t prepare_seed = 0x5EED;
  const std::vector<int8_t> pa = ref::generate(prepare_seed, bytes);
  const std::vector<int8_t> pb = ref::generate(prepare_seed ^ 0xD1B54A32D192ED03ull, bytes);
  const ref::Cv pa_root = ref::commit(key, pa.data(), bytes);
  const ref::Cv pb_root = ref::commit(key, pb.data(), bytes);
  for (const test::BuildName& build : test::runnable_builds()) {
    SCOPED_TRACE(build.name);
    QkHandle* h = test::open_standard(build, d.m, d.n, d.k);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(qk_gen_ab(h, 0xA11, 0xB22), 0);
    Words a_out{}, b_out{};
    ASSERT_EQ(qk_commit(h, key.data(), a_out.data(), b_out.data()), 0);
    EXPECT_EQ(a_out, a_root);
    EXPECT_EQ(b_out, b_root);
    std::vector<int8_t> b_dev(b.size());
    ASSERT_EQ(qk_get_plain(h, nullptr, b_dev.data()), 0);
    EXPECT_TRUE(b_dev == b) << "generated B differs from the reference";

    const Words target{};
    ASSERT_EQ(qk_prepare_a(h, key.data(), target.data(), prepare_seed), 0);
    ASSERT_EQ(qk_get_hashes(h, a_out.data(), b_out.data()), 0);
    EXPECT_EQ(a_out, pa_root);
    EXPECT_EQ(b_out, pb_root) << "the tree that keeps every level and prefix";
    qk_free(h);
  }
}

}  // namespace
}  // namespace quorl
