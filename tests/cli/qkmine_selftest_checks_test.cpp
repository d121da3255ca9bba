// qkmine selftest's verdicts over the stand-in library (fake_kernel.cpp): an
// implementation that agrees with the reference passes every check, one that
// reports non-qualifying cells fails exactly the searching calls.
#include <gtest/gtest.h>

#include <string>

#include "fake_kernel.h"
#include "selftest_checks.h"

namespace {

using namespace qkmine;

const BuildInfo kFallback{"fallback", QK_VARIANT_FALLBACK};
const SelftestShape kShape{128, 256, 256};

TEST(QkmineSelftestChecks, AFaithfulImplementationPassesEveryCheck) {
  const std::vector<CheckResult> results = run_checks(0, kFallback, kShape, SearchMode::kFused);
  ASSERT_EQ(results.size(), 9u);
  for (const CheckResult& r : results) EXPECT_TRUE(r.pass) << r.call << ": " << r.detail;
}

TEST(QkmineSelftestChecks, WrongCellsFailTheSearchingCalls) {
  quorl::test::fake_kernel_reports_wrong_cells(true);
  const std::vector<CheckResult> results = run_checks(0, kFallback, kShape, SearchMode::kFused);
  quorl::test::fake_kernel_reports_wrong_cells(false);
  for (const CheckResult& r : results) {
    const bool searches = r.call != "qk_gen_ab" && r.call != "qk_commit";
    EXPECT_EQ(r.pass, !searches) << r.call << ": " << r.detail;
    if (searches) EXPECT_NE(r.detail.find("qualifying cells"), std::string::npos) << r.call << ": " << r.detail;
  }
}

TEST(QkmineSelftestChecks, ABuildTheLibraryDoesNotGiveIsOneFailure) {
  const std::vector<CheckResult> results = run_checks(0, {"sm89", QK_VARIANT_SM89}, kShape, SearchMode::kFused);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].call, "qk_init");
  EXPECT_FALSE(results[0].pass);
}

}  // namespace
