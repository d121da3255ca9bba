// One-dimensional launches whose grids hold more than 2^32 threads (operands
// above 32 GiB): each kernel's shape still covers its work, and a thread's
// global index is formed in 64 bits, so no thread past the 2^32nd wraps onto
// an earlier one's element.
#include <gtest/gtest.h>

#include <cstdint>

#include "../../cuda/common/launch_shape.h"
#include "../../cuda/gen/ab_gen.h"
#include "../../cuda/gen/noise.h"

namespace quorl {
namespace {

constexpr uint64_t kTwo32 = uint64_t(1) << 32;

struct Case {
  const char* kernel;
  LaunchShape shape;
  uint64_t threads;  // threads the work needs
};

// Shapes as the launchers compute them, for operands of 32 to 64 GiB: the
// kernels that index by Thread1D with one thread per 8 bytes (the others
// take a row per block or have far fewer threads).
const Case kCases[] = {
    {"gen_ab, 2^35 + 8 bytes", gen::gen_ab_shape((int64_t(1) << 35) + 8), kTwo32 + 1},
    {"gen_ab, 2^36 bytes", gen::gen_ab_shape(int64_t(1) << 36), uint64_t(1) << 33},
    {"fuse (k = 2048), 2^24 + 1 rows",
     noise::fuse_shape(noise::FuseKernel::kEight, (1 << 24) + 1, 2048), kTwo32 + 256},
};

TEST(LaunchShape, WideGridsCoverTheirWork) {
  for (const Case& c : kCases) {
    const uint64_t launched = uint64_t(c.shape.grid) * c.shape.block;
    EXPECT_GE(launched, c.threads) << c.kernel;
    EXPECT_LT(launched - c.threads, c.shape.block) << c.kernel << ": at most one partial block";
  }
}

TEST(LaunchShape, ThreadIndicesPastTwoTo32DoNotWrap) {
  for (const Case& c : kCases) {
    const uint32_t block = c.shape.block;
    // The first block that starts at or past thread 2^32, one thread inside
    // it, and the grid's last thread.
    const uint32_t first_high = uint32_t((kTwo32 + block - 1) / block);
    const Thread1D samples[] = {
        {first_high, block, 0},
        {first_high, block, block / 2},
        {c.shape.grid - 1, block, block - 1},
    };
    for (const Thread1D& t : samples) {
      const uint64_t expected = uint64_t(t.block_idx) * t.block_dim + t.thread_idx;
      ASSERT_GE(expected, kTwo32) << c.kernel << ": the sample lies past 2^32";
      EXPECT_EQ(t.global(), expected) << c.kernel << ", block " << t.block_idx << ", thread "
                                      << t.thread_idx;
    }
  }
}

}  // namespace
}  // namespace quorl
