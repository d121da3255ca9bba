// The verifier's generator against the reference, including a partial last
// group and the extreme values of every lane.
#include <gtest/gtest.h>

#include <vector>

#include "fast_gen.h"
#include "quorl_ref/matrix_gen.hpp"

namespace {

TEST(FastGenerate, MatchesTheReferenceByteForByte) {
  for (const uint64_t seed : {uint64_t(0), uint64_t(1), ~uint64_t(0), uint64_t(0xD1B54A32D192ED03)}) {
    for (const int64_t count : {int64_t(1), int64_t(8), int64_t(13), int64_t(4096 + 5)}) {
      std::vector<int8_t> got(size_t(count) + 8, 99);
      quorl::verify::fast_generate(seed, got.data(), count);
      const std::vector<int8_t> want = quorl::ref::generate(seed, count);
      EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin())) << seed << " " << count;
      EXPECT_EQ(got[size_t(count)], 99) << "wrote past the end";
    }
  }
  // Over many groups every lane takes both ends of [-64, 63].
  std::vector<int8_t> many(1 << 16);
  quorl::verify::fast_generate(5, many.data(), int64_t(many.size()));
  EXPECT_EQ(*std::min_element(many.begin(), many.end()), -64);
  EXPECT_EQ(*std::max_element(many.begin(), many.end()), 63);
  EXPECT_EQ(many, quorl::ref::generate(5, int64_t(many.size())));
  // Split over threads, the same bytes.
  for (const int threads : {2, 3, 16}) {
    std::vector<int8_t> split(many.size() + 3);
    quorl::verify::fast_generate(5, split.data(), int64_t(split.size()), threads);
    EXPECT_EQ(split, quorl::ref::generate(5, int64_t(split.size()))) << threads << " threads";
  }
}

}  // namespace
