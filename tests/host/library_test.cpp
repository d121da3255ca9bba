// The library as a host program sees it, where no GPU is needed: refused
// shapes, creation without a device, null handles.
#include <cuda_runtime_api.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quorl_kernel.h"

namespace {

bool device_visible() {
  int count = 0;
  return cudaGetDeviceCount(&count) == cudaSuccess && count > 0;
}

struct Shape {
  int m, n, k;
};

QkHandle* init_capturing(Shape s, const int32_t* rows, const int32_t* cols, std::string& err) {
  ::testing::internal::CaptureStderr();
  QkHandle* h = qk_init(0, s.m, s.n, s.k, s.m / 2, s.n / 64, rows, cols);
  err = ::testing::internal::GetCapturedStderr();
  return h;
}

TEST(LibraryInit, RefusesShapesTheKernelsCannotHandle) {
  const std::vector<int32_t> labels(4096, 0);
  const Shape refused[] = {{0, 256, 128},  {100, 256, 128}, {128, 100, 128},
                           {128, 256, 32}, {128, 256, 100}, {384, 256, 128},
                           {128, 768, 128}, {-128, 256, 128}};
  for (const Shape& s : refused) {
    std::string err;
    QkHandle* h = init_capturing(s, labels.data(), labels.data(), err);
    EXPECT_EQ(h, nullptr) << s.m << "x" << s.n << "x" << s.k;
    EXPECT_EQ(err, "CUDA cuda/quorl_kernel:3001 invalid argument\n");
    qk_free(h);
  }
  std::string err;
  EXPECT_EQ(init_capturing({128, 256, 128}, nullptr, labels.data(), err), nullptr);
  EXPECT_EQ(err, "CUDA cuda/quorl_kernel:3001 invalid argument\n");
  EXPECT_EQ(init_capturing({128, 256, 128}, labels.data(), nullptr, err), nullptr);
  EXPECT_EQ(err, "CUDA cuda/quorl_kernel:3001 invalid argument\n");
}

TEST(LibraryInit, RefusesLabellingsTheSearchCannotHonour) {
  // Tile row 1 reuses the grid rows of tile row 0; then a grid of no rows.
  std::vector<int32_t> rows(256), cols(256);
  for (int r = 0; r < 256; ++r) rows[r] = 8 * ((r % 128) / 16) + r % 8;
  for (int c = 0; c < 256; ++c) cols[c] = (c % 8) / 2;
  for (int row_groups : {128, 0}) {
    ::testing::internal::CaptureStderr();
    QkHandle* h = qk_init(0, 256, 256, 128, row_groups, 4, rows.data(), cols.data());
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(h, nullptr) << row_groups;
    EXPECT_EQ(err, "CUDA cuda/quorl_kernel:3002 invalid argument\n");
    qk_free(h);
  }
}

TEST(LibraryInit, WithoutADeviceReportsTheFirstAllocation) {
  if (device_visible()) GTEST_SKIP() << "a CUDA device is visible; this case needs none";
  const std::vector<int32_t> labels(256, 0);
  std::string err;
  QkHandle* h = init_capturing({128, 256, 128}, labels.data(), labels.data(), err);
  EXPECT_EQ(h, nullptr);
  const std::string prefix = "CUDA cuda/quorl_kernel:3009 ";
  ASSERT_EQ(err.compare(0, prefix.size(), prefix), 0) << err;
  EXPECT_GT(err.size(), prefix.size() + 1) << "the runtime's error text follows the site";
  EXPECT_EQ(err.back(), '\n');
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << "exactly one line";
}

TEST(LibraryInit, FreeAcceptsNull) { qk_free(nullptr); }

}  // namespace
