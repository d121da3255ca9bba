// The verifier's generator against the reference, including a partial last
// group and the extreme values of every lane; ranges that start and end
// anywhere; and matrices read piece by piece, with B-only nonce runs, against
// the reference's stored matrix.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "fast_gen.h"
#include "fast_matrix.h"
#include "quorl_ref/bonly.hpp"
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

TEST(FastGenerate, EveryGroupFillerTheCpuRunsMatchesTheReference) {
  const std::vector<quorl::verify::GroupFiller> fillers = quorl::verify::supported_group_fillers();
  ASSERT_FALSE(fillers.empty());
  EXPECT_STREQ(fillers.back().name, "portable");
#if defined(__x86_64__)
  const auto offered = [&](const char* name) {
    return std::any_of(fillers.begin(), fillers.end(), [&](const auto& f) { return f.name == std::string(name); });
  };
  EXPECT_EQ(offered("avx2"), bool(__builtin_cpu_supports("avx2")));
  EXPECT_EQ(offered("avx512"), __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq"));
  if (offered("avx512")) EXPECT_STREQ(fillers.front().name, "avx512") << "the widest is used";
#endif
  // Group counts around the vector widths (remainder loops), and groups far
  // from zero.
  for (const auto& filler : fillers) {
    for (const int64_t begin : {int64_t(0), int64_t(5), int64_t(1) << 40}) {
      for (const int64_t count : {0, 1, 3, 4, 5, 7, 8, 9, 15, 16, 17, 100}) {
        std::vector<int8_t> got(size_t(count) * 8 + 1, 31);
        filler.fill(9, begin, begin + count, got.data());
        for (int64_t g = 0; g < count; ++g) {
          const std::array<int8_t, 8> want = quorl::ref::ab_gen8(9, uint64_t(begin + g));
          EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin() + 8 * g))
              << filler.name << ": group " << begin + g << " of " << begin << " + " << count;
        }
        EXPECT_EQ(got[size_t(count) * 8], 31) << filler.name << " wrote past " << count << " groups";
      }
    }
  }
}

TEST(FastGenerate, RangesStartAndEndAnywhere) {
  const std::vector<int8_t> whole = quorl::ref::generate(42, 256);
  struct Range {
    int64_t first, count;
  };
  // Inside one group, touching one or both of its ends, across groups with
  // cut groups at either end, whole groups only, nothing.
  const Range ranges[] = {{0, 0}, {3, 2},  {3, 5},   {0, 5},  {8, 8},  {5, 11},
                          {7, 2}, {16, 64}, {1, 254}, {9, 100}, {250, 6}, {0, 256}};
  for (const Range& r : ranges) {
    std::vector<int8_t> got(size_t(r.count) + 1, 77);
    quorl::verify::fast_generate_range(42, r.first, r.count, got.data());
    EXPECT_TRUE(std::equal(whole.begin() + r.first, whole.begin() + r.first + r.count, got.begin()))
        << r.first << " + " << r.count;
    EXPECT_EQ(got[size_t(r.count)], 77) << r.first << " + " << r.count << " wrote past its range";
  }
}

// The reference's B after the nonces first .. last, applied one by one.
std::vector<int8_t> stored_matrix(uint64_t seed, int64_t bytes, uint64_t first, uint64_t last) {
  std::vector<int8_t> b = quorl::ref::generate(seed, bytes);
  for (uint64_t x = first;; ++x) {
    quorl::ref::apply_nonce(b.data(), bytes, x);
    if (x == last) break;
  }
  return b;
}

TEST(PlainMatrix, ReadsMatchTheStoredMatrixAfterAnyNonceRun) {
  constexpr int64_t kChunks = 8, kBytes = kChunks * 1024;
  struct Run {
    uint64_t first, last;
  };
  // One nonce; a run inside the chunk count; one that wraps past chunk 0;
  // runs of exactly and over the chunk count (each chunk keeps its last
  // nonce); one ending at the top of the nonce space.
  const Run runs[] = {{3, 3},        {2, 6},       {5, 10},       {0, 7},
                      {4, 4 + 8},    {1, 1 + 29},  {~uint64_t(0) - 20, ~uint64_t(0)}};
  struct Range {
    int64_t offset, size;
  };
  // The whole matrix; one row of 2048; ranges that start or end inside a
  // rewritten block, cover exactly one, or sit between two.
  const Range ranges[] = {{0, kBytes}, {2048, 2048}, {1000, 30}, {950, 20},  {960, 64},
                          {1023, 2},   {100, 800},   {5 * 1024 + 961, 1100}, {kBytes - 1, 1}};
  for (const Run& run : runs) {
    const std::vector<int8_t> want = stored_matrix(9, kBytes, run.first, run.last);
    quorl::verify::PlainMatrix matrix(9, kBytes);
    matrix.with_nonces(run.first, run.last);
    EXPECT_EQ(matrix.bytes(), kBytes);
    for (const Range& r : ranges) {
      std::vector<int8_t> got(size_t(r.size) + 1, 55);
      matrix.read(r.offset, r.size, got.data());
      EXPECT_TRUE(std::equal(want.begin() + r.offset, want.begin() + r.offset + r.size, got.begin()))
          << "nonces " << run.first << ".." << run.last << ", bytes " << r.offset << " + " << r.size;
      EXPECT_EQ(got[size_t(r.size)], 55) << "read past " << r.offset << " + " << r.size;
    }
  }
}

TEST(PlainMatrix, WithoutNoncesItIsTheGeneratedMatrix) {
  const quorl::verify::PlainMatrix matrix(3, 4096);
  std::vector<int8_t> got(4096);
  matrix.read(0, 4096, got.data());
  EXPECT_EQ(got, quorl::ref::generate(3, 4096));
}

}  // namespace
