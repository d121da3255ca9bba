// The seeded generator: published values, the kernel body over its launch
// grid against the reference, and its properties.
#include <gtest/gtest.h>

#include "../../cuda/gen/ab_gen.h"
#include "../support/host_grid.h"
#include "quorl_ref/matrix_gen.hpp"

namespace quorl {
namespace {

TEST(AbGen, KnownGroups) {
  struct Case {
    uint64_t seed, group;
    std::array<int8_t, 8> lanes;
  };
  const Case cases[] = {
      {0, 0, {-17, -37, 55, 24, -41, -57, -22, -48}},
      {0, 1, {31, -33, 21, -45, 11, -12, -18, -2}},
      {1, 0, {1, -7, -55, 8, 8, -3, -53, -59}},
      {0xD1B54A32D192ED03ull, 0, {-14, -51, -34, -1, 62, -40, 10, -57}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ref::ab_gen8(c.seed, c.group), c.lanes) << c.seed << "/" << c.group;
    int8_t device[8];
    gen::ab_gen8(c.seed, c.group, device);
    EXPECT_TRUE(std::equal(device, device + 8, c.lanes.begin())) << c.seed << "/" << c.group;
  }
  EXPECT_EQ(ref::ab_word(0, 0), 0xE220A8397B1DCDAFull);
  EXPECT_EQ(gen::ab_mix(0, 0), 0xE220A8397B1DCDAFull);
}

// Fills `count` bytes with the kernel body over the launcher's grid (or a
// grid of another block size), leaving sentinels after the end.
std::vector<int8_t> run_gen_ab(int64_t count, uint64_t seed, uint32_t block = 0) {
  std::vector<int8_t> out(size_t(count) + 16, int8_t(0x5A));
  LaunchShape shape = gen::gen_ab_shape(count);
  if (block != 0) shape = {uint32_t(((count + 7) / 8 + block - 1) / block), block};
  test::run_grid(shape, [&](Thread1D t) { gen::gen_ab_thread(t, out.data(), count, seed); });
  return out;
}

TEST(AbGen, KernelBodyMatchesReferenceAndStopsAtCount) {
  for (int64_t count : {1, 7, 8, 13, 2048, 8192 + 3, 128 * 2048}) {
    const uint64_t seed = 0x1234 + count;
    const std::vector<int8_t> out = run_gen_ab(count, seed);
    const std::vector<int8_t> expected = ref::generate(seed, count);
    ASSERT_TRUE(std::equal(expected.begin(), expected.end(), out.begin())) << count;
    for (size_t i = size_t(count); i < out.size(); ++i) {
      ASSERT_EQ(out[i], int8_t(0x5A)) << "byte past the end written, count " << count;
    }
  }
}

TEST(AbGen, BytesDoNotDependOnBlockSize) {
  const int64_t count = 4096 + 5;
  const std::vector<int8_t> a = run_gen_ab(count, 99);
  EXPECT_EQ(a, run_gen_ab(count, 99, 32));
  EXPECT_EQ(a, run_gen_ab(count, 99, 1024));
}

TEST(AbGen, ElementsStayInRangeAndSharePrefixesAcrossShapes) {
  const std::vector<int8_t> big = ref::generate(42, 1 << 16);
  for (int8_t v : big) {
    ASSERT_GE(v, -64);
    ASSERT_LE(v, 63);
  }
  const std::vector<int8_t> small = ref::generate(42, 1000);
  EXPECT_TRUE(std::equal(small.begin(), small.end(), big.begin()));
}

}  // namespace
}  // namespace quorl
