// The GPU miner's bookkeeping over the stand-in library (fake_kernel.cpp):
// attempt numbers shared by devices, a prepare seed per device, nonce runs
// across batches, roots from the context or the host, and hits the host
// verifier rejects. Every record printed must verify.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "fake_kernel.h"
#include "qkmine_run.h"
#include "quorl_verify.h"
#include "stand_in_mining.h"

namespace {

using namespace qkmine;
using quorl::test::expect_verifies;
using quorl::test::json_field;
using quorl::test::json_number;
using quorl::test::Mined;
using quorl::test::small_job;

Mined mine(const Job& job, int gpus) { return quorl::test::mine(job, {gpus}); }

TEST(QkmineGpuMiner, FullModeSharesOneSeedSequenceAcrossDevices) {
  const Mined m = mine(small_job(QV_MODE_FULL, 6, /*all=*/true), 2);
  ASSERT_EQ(m.records.size(), 6u);
  std::set<uint64_t> seeds;
  for (const std::string& r : m.records) {
    expect_verifies(r);
    seeds.insert(json_number(r, "seed_a"));
    EXPECT_EQ(json_number(r, "seed_b"), json_number(r, "seed_a") + 1000) << r;
  }
  EXPECT_EQ(seeds, (std::set<uint64_t>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(json_number(m.summary, "attempts"), 6u) << m.summary;
}

TEST(QkmineGpuMiner, BonlyBatchesKeepEachDevicesNonceRun) {
  // 70 attempts: one device takes a batch of 64, the rest go in a second
  // batch, so shares come from inside batches (host roots) and from their
  // last attempts (roots from the context).
  const Mined m = mine(small_job(QV_MODE_BONLY, 70, /*all=*/false), 2);
  ASSERT_FALSE(m.records.empty());
  for (const std::string& r : m.records) {
    expect_verifies(r);
    const uint64_t place = json_field(r, "device") == "gpu:0" ? 0 : 1;
    EXPECT_EQ(json_number(r, "prepare_seed"), 50 + place) << r;
    EXPECT_EQ(json_number(r, "first_nonce"), 7u) << r;
    EXPECT_LT(json_number(r, "nonce"), 7u + 70) << r;
    EXPECT_NE(r.find("\"hash\":\""), std::string::npos) << r;
  }
  EXPECT_EQ(json_number(m.summary, "shares"), m.records.size()) << m.summary;
  EXPECT_EQ(json_number(m.summary, "attempts"), 70u) << m.summary;
  EXPECT_EQ(json_number(m.summary, "rejected"), 0u) << m.summary;
}

TEST(QkmineGpuMiner, BonlyAllRecordsEveryAttemptInOrder) {
  const Mined m = mine(small_job(QV_MODE_BONLY, 3, /*all=*/true), 1);
  ASSERT_EQ(m.records.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    expect_verifies(m.records[i]);
    EXPECT_EQ(json_number(m.records[i], "nonce"), 7 + i) << m.records[i];
  }
}

TEST(QkmineGpuMiner, HitsTheHostRejectsAreCountedNotPrinted) {
  quorl::test::fake_kernel_reports_wrong_cells(true);
  const Mined m = mine(small_job(QV_MODE_FULL, 3, /*all=*/false), 1);
  quorl::test::fake_kernel_reports_wrong_cells(false);
  EXPECT_TRUE(m.records.empty()) << m.records.front();
  EXPECT_EQ(json_number(m.summary, "shares"), 0u) << m.summary;
  EXPECT_GT(json_number(m.summary, "rejected"), 0u) << m.summary;
}

}  // namespace
