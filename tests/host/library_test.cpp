// The library as a host program sees it, where no GPU is needed: refused
// shapes, creation without a device, null handles, and every call on a
// context whose device cannot be made current.
#include <cuda_runtime_api.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "../../cuda/frame/context.cuh"
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

// Whatever the ordinal: with no device at all there is no wrong device to
// build on, and the first allocation says why.
TEST(LibraryInit, WithoutADeviceReportsTheFirstAllocation) {
  if (device_visible()) GTEST_SKIP() << "a CUDA device is visible; this case needs none";
  const std::vector<int32_t> labels(256, 0);
  for (const int device : {0, 99, -1}) {
    SCOPED_TRACE(device);
    ::testing::internal::CaptureStderr();
    QkHandle* h = qk_init(device, 128, 256, 128, 64, 4, labels.data(), labels.data());
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(h, nullptr);
    const std::string prefix = "CUDA cuda/quorl_kernel:3009 ";
    ASSERT_EQ(err.compare(0, prefix.size(), prefix), 0) << err;
    EXPECT_GT(err.size(), prefix.size() + 1) << "the runtime's error text follows the site";
    EXPECT_EQ(err.back(), '\n');
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << "exactly one line";
  }
}

TEST(LibraryInit, FreeAcceptsNull) { qk_free(nullptr); }

// An ordinal no machine has; without a GPU, every ordinal is one.
constexpr int kNoSuchDevice = 1 << 20;

// A context record whose device cannot be made current, with every buffer,
// stream, event and pinned slot null: a call that went on past the failed
// device selection would enqueue onto nothing or write through null.
struct UnreachableContext {
  QkHandle* h = nullptr;

  explicit UnreachableContext(int variant) {
    auto* ctx = static_cast<QkCtx*>(std::calloc(1, sizeof(QkCtx)));
    ctx->device = kNoSuchDevice;
    ctx->m = 128;
    ctx->n = 256;
    ctx->k = 128;
    ctx->k_blocks = 1;
    ctx->row_groups = 64;
    ctx->col_groups = 4;
    h = static_cast<QkHandle*>(std::calloc(1, sizeof(QkHandle)));
    h->variant = variant;
    h->ctx = ctx;
  }
  ~UnreachableContext() { qk_free(h); }  // nothing to release but the two records
  UnreachableContext(const UnreachableContext&) = delete;
  UnreachableContext& operator=(const UnreachableContext&) = delete;
};

// What `call` wrote on stderr.
std::string stderr_of(const std::function<void()>& call) {
  ::testing::internal::CaptureStderr();
  call();
  return ::testing::internal::GetCapturedStderr();
}

class LibraryUnreachableDevice : public ::testing::TestWithParam<int> {
 protected:
  // The error the library's own runtime meets selecting the device (the
  // test's runtime is a separate copy that answers alike); builds left out
  // of this configuration answer "not supported" instead.
  static bool matches(int status) {
    return status == cudaSetDevice(kNoSuchDevice) || status == cudaErrorNotSupported;
  }

  const int8_t a_[128 * 128] = {};
  const int8_t b_[256 * 128] = {};
  const uint32_t words_[8] = {1, 2, 3, 4, 5, 6, 7, 8};
};

std::string build_name(const ::testing::TestParamInfo<int>& info) {
  static const char* const kNames[] = {"sm89", "sm120a", "h100tma", "fallback"};
  return kNames[info.param];
}

INSTANTIATE_TEST_SUITE_P(Builds, LibraryUnreachableDevice,
                         ::testing::Values(QK_VARIANT_SM89, QK_VARIANT_SM120A,
                                           QK_VARIANT_H100TMA, QK_VARIANT_FALLBACK),
                         build_name);

TEST_P(LibraryUnreachableDevice, StatusCallsReturnTheSelectionError) {
  UnreachableContext ctx(GetParam());
  QkHandle* h = ctx.h;
  int8_t a_out[128 * 128], b_out[256 * 128];
  uint32_t out[8], out2[8], xored[64 * 4];
  struct Case {
    const char* name;
    std::function<int()> call;
  };
  const Case cases[] = {
      {"set_job", [&] { return qk_set_job(h, words_, words_); }},
      {"get_plain", [&] { return qk_get_plain(h, a_out, b_out); }},
      {"get_plain(null, null)", [&] { return qk_get_plain(h, nullptr, nullptr); }},
      {"get_hashes", [&] { return qk_get_hashes(h, out, out2); }},
      {"get_xored", [&] { return qk_get_xored(h, xored); }},
      {"gen_ab", [&] { return qk_gen_ab(h, 1, 2); }},
      {"commit", [&] { return qk_commit(h, words_, out, out2); }},
      {"gen_noised", [&] { return qk_gen_noised(h, a_, b_, words_, words_, a_out, b_out); }},
      {"prepare_a", [&] { return qk_prepare_a(h, words_, words_, 3); }},
      {"refresh_bonly_job", [&] { return qk_refresh_bonly_job(h, words_, words_, 0); }},
  };
  for (const Case& c : cases) {
    int status = 0;
    EXPECT_EQ(stderr_of([&] { status = c.call(); }), "") << c.name << " prints nothing";
    EXPECT_NE(status, 0) << c.name;
    EXPECT_TRUE(matches(status)) << c.name << " returned " << status;
  }
}

TEST_P(LibraryUnreachableDevice, FoundCallsReturnMinusOneAndOnlySearchesReport) {
  UnreachableContext ctx(GetParam());
  QkHandle* h = ctx.h;
  float times[12];
  struct Case {
    const char* name;
    std::function<int()> call;
    bool reports;  // qk_run and the calls that search through it print site 3084
  };
  const Case cases[] = {
      {"run", [&] { return qk_run(h); }, true},
      {"mine", [&] { return qk_mine(h, a_, b_, words_, words_); }, true},
      {"mine_gen", [&] { return qk_mine_gen(h, a_, b_, words_, words_, words_, words_); }, true},
      {"mine_full", [&] { return qk_mine_full(h, words_, 1, 2, words_); }, false},
      {"mine_full_loaded", [&] { return qk_mine_full_loaded(h, 1, 2); }, false},
      {"mine_full_profile",
       [&] { return qk_mine_full_profile(h, words_, 1, 2, words_, times); }, false},
      {"mine_full_bonly", [&] { return qk_mine_full_bonly(h, 9); }, false},
      {"mine_full_bonly_profile", [&] { return qk_mine_full_bonly_profile(h, 9, times); }, false},
  };
  const std::string line = std::string("CUDA cuda/quorl_kernel:3084 ") +
                           cudaGetErrorString(cudaSetDevice(kNoSuchDevice)) + "\n";
  for (const Case& c : cases) {
    std::fill(times, times + 12, 7.0f);
    int found = 0;
    const std::string err = stderr_of([&] { found = c.call(); });
    EXPECT_EQ(found, -1) << c.name;
    if (!c.reports) {
      EXPECT_EQ(err, "") << c.name;
    } else if (GetParam() == QK_VARIANT_FALLBACK) {  // the one build every configuration has
      EXPECT_EQ(err, line) << c.name;
    } else {
      EXPECT_TRUE(err.empty() || err == line) << c.name << ": " << err;
    }
  }
  qk_mine_full_profile(h, words_, 1, 2, words_, times);
  EXPECT_EQ(std::count(times, times + 8, 0.0f), 8) << "a failed profile times nothing";
  std::fill(times, times + 12, 7.0f);
  qk_mine_full_bonly_profile(h, 9, times);
  EXPECT_EQ(std::count(times, times + 12, 0.0f), 12);
}

TEST_P(LibraryUnreachableDevice, BatchOutcomesAllReadNoHit) {
  UnreachableContext ctx(GetParam());
  std::vector<int32_t> results(70, 7);
  qk_mine_full_bonly_batch(ctx.h, 5, 3, results.data());
  EXPECT_EQ(std::vector<int32_t>(results.begin(), results.begin() + 3),
            std::vector<int32_t>(3, -1));
  EXPECT_EQ(results[3], 7) << "only the outcomes of the count";
  std::fill(results.begin(), results.end(), 7);
  qk_mine_full_bonly_batch(ctx.h, 5, 70, results.data());
  EXPECT_EQ(std::count(results.begin(), results.begin() + 64, -1), 64);
  EXPECT_EQ(std::count(results.begin() + 64, results.end(), 7), 6) << "at most 64 outcomes";
  std::fill(results.begin(), results.end(), 7);
  qk_mine_full_bonly_batch(ctx.h, 5, 0, results.data());
  EXPECT_EQ(std::count(results.begin(), results.end(), 7), 70) << "count 0 touches nothing";
}

TEST_P(LibraryUnreachableDevice, BenchesFailWithNoTime) {
  UnreachableContext ctx(GetParam());
  using Bench = int (*)(QkHandle*, int, float*);
  for (Bench bench : {Bench(qk_bench_bonly_batch), Bench(qk_bench_bonly_pipeline)}) {
    float elapsed = -5.0f;
    EXPECT_EQ(bench(ctx.h, 4, &elapsed), -1);
    EXPECT_EQ(elapsed, 0.0f);
    elapsed = -5.0f;
    EXPECT_EQ(bench(ctx.h, 0, &elapsed), 0) << "no attempts: nothing to fail";
    EXPECT_EQ(elapsed, 0.0f);
  }
}

TEST_P(LibraryUnreachableDevice, AsyncSearchEnqueuesNothing) {
  UnreachableContext ctx(GetParam());
  EXPECT_EQ(stderr_of([&] { qk_run_async(ctx.h); }), "");
}

}  // namespace
