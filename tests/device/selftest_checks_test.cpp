// Device tier: qkmine selftest's checks (tools/qkmine/selftest_checks.h),
// one implementation for both, on every build the GPU runs: each exported
// call it checks against the reference model passes. Skips without a GPU.
#include <gtest/gtest.h>

#include "../support/device_env.h"
#include "gpu_builds.h"
#include "gpu_context.h"
#include "selftest_checks.h"

namespace {

TEST(DeviceDriversSelftest, EveryCheckPassesOnEveryBuildTheGpuRuns) {
  QK_REQUIRE_GPU();
  std::string name;
  int major = 0, minor = 0;
  ASSERT_TRUE(qkmine::gpu_properties(0, name, major, minor));
  const qkmine::SearchMode mode = qkmine::search_mode_from_env();
  if (mode == qkmine::SearchMode::kSkip) GTEST_SKIP() << "SKIP_BOUND: searches report nothing";
  for (const qkmine::BuildInfo& build : qkmine::runnable_builds(major, minor)) {
    for (const qkmine::SelftestShape& shape : qkmine::kSelftestShapes) {
      SCOPED_TRACE(std::string(build.name) + " " + shape.text());
      for (const qkmine::CheckResult& r : qkmine::run_checks(0, build, shape, mode)) {
        EXPECT_TRUE(r.pass) << r.call << ": " << r.detail;
      }
    }
  }
}

}  // namespace
