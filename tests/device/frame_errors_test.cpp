// Device tier: how the frame fails. A device ordinal that names no device, a
// forced build the device cannot run, refused creations that must not leave
// errors behind for later calls, an asynchronous search followed by readback
// and a new job, and the persisting-L2 switch (read once per process, so in a
// child process). Skips without a GPU.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "../support/b3sum.h"
#include "../support/child_run.h"
#include "../support/device_env.h"
#include "../support/oracle.h"
#include "quorl_ref/matrix_gen.hpp"

namespace quorl {
namespace {

using ref::Cv;

constexpr ref::Dims kDims{256, 512, 2048};

// What `call` wrote on stderr.
std::string stderr_of(const std::function<void()>& call) {
  ::testing::internal::CaptureStderr();
  call();
  return ::testing::internal::GetCapturedStderr();
}

// One line "CUDA cuda/quorl_kernel:<site> <text>".
::testing::AssertionResult is_line(const std::string& err, int site) {
  const std::string prefix = "CUDA cuda/quorl_kernel:" + std::to_string(site) + " ";
  if (err.rfind(prefix, 0) == 0 && err.size() > prefix.size() + 1 && err.back() == '\n' &&
      std::count(err.begin(), err.end(), '\n') == 1) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "not one site-" << site << " line: \"" << err << "\"";
}

QkHandle* init_standard(int device, ref::Dims d) {
  const std::vector<int32_t> rows = ref::standard_row_groups(d.m);
  const std::vector<int32_t> cols = ref::standard_col_groups(d.n);
  return qk_init(device, d.m, d.n, d.k, ref::standard_grid_rows(d.m),
                 ref::standard_grid_cols(d.n), rows.data(), cols.data());
}

// A full attempt whose target exactly one cell meets, and that cell.
struct SingleHit {
  Cv key = test::random_cv(61);
  ref::AttemptOperands op = ref::full_attempt(key, 3, 4, kDims);
  test::Oracle oracle{op, kDims};
  Cv target = oracle.target_for(1);
  int32_t cell = oracle.qualifying(target).at(0);
};

const SingleHit& single_hit() {
  static const SingleHit hit;
  return hit;
}

TEST(DeviceFrameErrors, RefusesAnOrdinalThatNamesNoDevice) {
  QK_REQUIRE_GPU();
  int count = 0;
  ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
  const std::string line = std::string("CUDA cuda/quorl_kernel:3003 ") +
                           cudaGetErrorString(cudaErrorInvalidDevice) + "\n";
  // Unforced (the failed property query chooses fallback), and each build
  // forced that device 0 runs.
  std::vector<std::string> forced = {""};
  for (const test::BuildName& build : test::runnable_builds()) forced.push_back(build.name);
  for (const int ordinal : {count, count + 7, -1}) {
    for (const std::string& build : forced) {
      SCOPED_TRACE(::testing::Message() << "ordinal " << ordinal << " build '" << build << "'");
      if (!build.empty()) ::setenv("QUORL_KERNEL_VARIANT", build.c_str(), 1);
      QkHandle* h = nullptr;
      const std::string err = stderr_of([&] { h = init_standard(ordinal, kDims); });
      ::unsetenv("QUORL_KERNEL_VARIANT");
      EXPECT_EQ(h, nullptr);
      EXPECT_EQ(err, line);
      qk_free(h);
    }
  }
  // The refused creations' failed queries are no later call's errors.
  for (const test::BuildName& build : test::runnable_builds()) {
    SCOPED_TRACE(build.name);
    QkHandle* h = test::open_standard(build, kDims.m, kDims.n, kDims.k);
    ASSERT_NE(h, nullptr);
    const SingleHit& hit = single_hit();
    EXPECT_EQ(qk_mine_full(h, hit.key.data(), 3, 4, hit.target.data()), hit.cell);
    int32_t found = 0;
    EXPECT_EQ(stderr_of([&] { found = qk_run(h); }), "");
    EXPECT_EQ(found, hit.cell);
    qk_free(h);
  }
}

TEST(DeviceFrameErrors, ACreationRefusedForMemoryLeavesNoErrorBehind) {
  QK_REQUIRE_GPU();
  for (const test::BuildName& build : test::runnable_builds()) {
    SCOPED_TRACE(build.name);
    std::string err;
    {
      test::MemoryHog hog;
      ASSERT_NE(hog.block, nullptr);
      QkHandle* refused = nullptr;
      err = stderr_of([&] { refused = test::open_standard(build, kDims.m, kDims.n, kDims.k); });
      EXPECT_EQ(refused, nullptr);
      qk_free(refused);
    }
    EXPECT_EQ(err.rfind("CUDA cuda/quorl_kernel:30", 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;

    QkHandle* h = test::open_standard(build, kDims.m, kDims.n, kDims.k);
    ASSERT_NE(h, nullptr);
    const SingleHit& hit = single_hit();
    EXPECT_EQ(qk_mine_full(h, hit.key.data(), 3, 4, hit.target.data()), hit.cell);
    int32_t found = 0;
    EXPECT_EQ(stderr_of([&] { found = qk_run(h); }), "")
        << "the allocation failure is not reported again";
    EXPECT_EQ(found, hit.cell);
    qk_free(h);
  }
}

// Forced onto a device that has no code for it, the build creates its context
// (creation launches nothing) and then every call that launches a kernel
// fails: status calls return non-zero, searching calls -1, qk_run and the
// calls searching through it print one site-3084 line. Copies alone still
// work, and no call returns or prints an earlier call's error.
TEST(DeviceFrameErrors, AForcedBuildTheDeviceCannotRunFailsEveryLaunchingCall) {
  QK_REQUIRE_GPU();
  std::string why;
  const std::optional<test::BuildName> build = test::build_out_of_reach(&why);
  if (!build) GTEST_SKIP() << why;
  QkHandle* h = test::open_standard(*build, kDims.m, kDims.n, kDims.k);
  ASSERT_NE(h, nullptr);
  const SingleHit& hit = single_hit();
  const Cv& key = hit.key;

  // A configuration that compiled this build for the device too (a check
  // build) runs it: then generation matches the reference, and there is
  // nothing to test. A zero status over other bytes is the fault itself.
  if (qk_gen_ab(h, 5, 6) == 0) {
    std::vector<int8_t> a(size_t(kDims.m) * kDims.k);
    ASSERT_EQ(qk_get_plain(h, a.data(), nullptr), 0);
    ASSERT_EQ(a, ref::generate(5, int64_t(a.size()))) << "success reported over stale bytes";
    qk_free(h);
    GTEST_SKIP() << build->name << " has code for this device in this configuration";
  }

  std::vector<int8_t> a_out(size_t(kDims.m) * kDims.k), b_out(size_t(kDims.n) * kDims.k);
  Cv out{}, out2{};
  std::vector<uint32_t> xored(size_t(kDims.k / 128) * (kDims.m / 2) * (kDims.n / 64));
  const auto& a = hit.op.a_plain;
  const auto& b = hit.op.b_plain;
  struct StatusCase {
    const char* name;
    std::function<int()> call;
    bool launches;
  };
  const StatusCase status_cases[] = {
      {"gen_ab", [&] { return qk_gen_ab(h, 1, 2); }, true},
      {"commit", [&] { return qk_commit(h, key.data(), out.data(), out2.data()); }, true},
      {"gen_noised",
       [&] {
         return qk_gen_noised(h, a.data(), b.data(), key.data(), key.data(), a_out.data(),
                              b_out.data());
       },
       true},
      {"prepare_a", [&] { return qk_prepare_a(h, key.data(), hit.target.data(), 7); }, true},
      {"refresh_bonly_job",
       [&] { return qk_refresh_bonly_job(h, key.data(), hit.target.data(), 0); }, true},
      {"set_job", [&] { return qk_set_job(h, key.data(), hit.target.data()); }, false},
      {"get_plain", [&] { return qk_get_plain(h, a_out.data(), b_out.data()); }, false},
      {"get_hashes", [&] { return qk_get_hashes(h, out.data(), out2.data()); }, false},
      {"get_xored", [&] { return qk_get_xored(h, xored.data()); }, false},
  };
  for (const StatusCase& c : status_cases) {
    int status = 0;
    EXPECT_EQ(stderr_of([&] { status = c.call(); }), "") << c.name;
    if (c.launches) {
      EXPECT_NE(status, 0) << c.name;
    } else {
      EXPECT_EQ(status, 0) << c.name << ": copies alone work, and no earlier error is returned";
    }
  }

  float times[12];
  struct FoundCase {
    const char* name;
    std::function<int()> call;
    bool reports;
  };
  const FoundCase found_cases[] = {
      {"run", [&] { return qk_run(h); }, true},
      {"mine", [&] { return qk_mine(h, a.data(), b.data(), key.data(), hit.target.data()); }, true},
      {"mine_gen",
       [&] {
         return qk_mine_gen(h, a.data(), b.data(), hit.op.seeds.a_seed.data(),
                            hit.op.seeds.b_seed.data(), hit.op.seeds.a_seed.data(),
                            hit.target.data());
       },
       true},
      {"mine_full", [&] { return qk_mine_full(h, key.data(), 3, 4, hit.target.data()); }, false},
      {"mine_full_loaded", [&] { return qk_mine_full_loaded(h, 3, 4); }, false},
      {"mine_full_profile",
       [&] { return qk_mine_full_profile(h, key.data(), 3, 4, hit.target.data(), times); }, false},
      {"mine_full_bonly", [&] { return qk_mine_full_bonly(h, 11); }, false},
      {"mine_full_bonly_profile", [&] { return qk_mine_full_bonly_profile(h, 12, times); }, false},
  };
  const std::string no_image = cudaGetErrorString(cudaErrorNoKernelImageForDevice);
  const std::string no_function = cudaGetErrorString(cudaErrorInvalidDeviceFunction);
  for (const FoundCase& c : found_cases) {
    int32_t found = 0;
    const std::string err = stderr_of([&] { found = c.call(); });
    EXPECT_EQ(found, -1) << c.name;
    if (!c.reports) {
      EXPECT_EQ(err, "") << c.name;
      continue;
    }
    EXPECT_TRUE(is_line(err, 3084)) << c.name;
    EXPECT_TRUE(err.find(no_image) != std::string::npos ||
                err.find(no_function) != std::string::npos)
        << c.name << ": " << err;
  }

  std::vector<int32_t> results(8, 7);
  qk_mine_full_bonly_batch(h, 20, 4, results.data());
  EXPECT_EQ(results, (std::vector<int32_t>{-1, -1, -1, -1, 7, 7, 7, 7}));
  for (auto bench : {&qk_bench_bonly_batch, &qk_bench_bonly_pipeline}) {
    float elapsed = -1.0f;
    EXPECT_EQ(bench(h, 4, &elapsed), -1);
    EXPECT_EQ(elapsed, 0.0f);
  }

  // The asynchronous search reports nothing, and a later call does not
  // inherit its refused launch.
  EXPECT_EQ(stderr_of([&] { qk_run_async(h); }), "");
  EXPECT_EQ(qk_set_job(h, key.data(), hit.target.data()), 0);
  qk_free(h);
}

// qk_run_async leaves the search running; readback on the legacy stream and a
// new job on the main stream both wait for it, and qk_run then searches under
// the new target.
TEST(DeviceFrameAsync, ReadbackAndANewJobFollowAnAsynchronousSearch) {
  QK_REQUIRE_GPU();
  const SingleHit& hit = single_hit();
  for (const test::BuildName& build : test::runnable_builds()) {
    SCOPED_TRACE(build.name);
    QkHandle* h = test::open_standard(build, kDims.m, kDims.n, kDims.k);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(qk_mine_full(h, hit.key.data(), 3, 4, hit.target.data()), hit.cell);

    qk_run_async(h);
    std::vector<int8_t> a(hit.op.a_plain.size()), b(hit.op.b_plain.size());
    ASSERT_EQ(qk_get_plain(h, a.data(), b.data()), 0);
    EXPECT_EQ(a, hit.op.a_plain);
    EXPECT_EQ(b, hit.op.b_plain);

    qk_run_async(h);
    const Cv zero{};
    ASSERT_EQ(qk_set_job(h, hit.key.data(), zero.data()), 0);
    EXPECT_TRUE(hit.oracle.accepts(qk_run(h), zero)) << "searched under the new target";
    ASSERT_EQ(qk_set_job(h, hit.key.data(), hit.target.data()), 0);
    EXPECT_EQ(qk_run(h), hit.cell);
    Cv a_root{}, b_root{};
    ASSERT_EQ(qk_get_hashes(h, a_root.data(), b_root.data()), 0);
    EXPECT_EQ(a_root, hit.op.a_hash);
    EXPECT_EQ(b_root, hit.op.b_hash);
    qk_free(h);
  }
}

// PERSIST_A_L2 is read once per process: the test runs itself in a child with
// the switch on (or does the work when the switch is already on).
TEST(DeviceFramePersistL2, MinesAlikeWithAPersistingWindow) {
  QK_REQUIRE_GPU();
  if (std::getenv("PERSIST_A_L2") == nullptr) {
    const test::ChildRun run = test::run_self("PERSIST_A_L2=1", "DeviceFramePersistL2.*");
    EXPECT_TRUE(test::child_passed(run, "DeviceFramePersistL2.MinesAlikeWithAPersistingWindow"));
    return;
  }
  const SingleHit& hit = single_hit();
  for (const test::BuildName& build : test::runnable_builds()) {
    SCOPED_TRACE(build.name);
    QkHandle* h = test::open_standard(build, kDims.m, kDims.n, kDims.k);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(qk_mine_full(h, hit.key.data(), 3, 4, hit.target.data()), hit.cell);
    int32_t found = 0;
    // Under MIG or MPS the device refuses the window; that is no search's error.
    EXPECT_EQ(stderr_of([&] { found = qk_run(h); }), "");
    EXPECT_EQ(found, hit.cell);
    qk_free(h);
  }
}

}  // namespace
}  // namespace quorl
