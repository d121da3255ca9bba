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
#include "gpu_miner.h"
#include "mine_job.h"
#include "mine_run.h"
#include "qkmine_run.h"
#include "quorl_verify.h"

namespace {

using namespace qkmine;
using quorl::test::json_field;

uint64_t json_number(const std::string& json, const std::string& name) {
  const size_t at = json.find("\"" + name + "\":");
  EXPECT_NE(at, std::string::npos) << name << " in " << json;
  return at == std::string::npos ? 0 : std::stoull(json.substr(at + name.size() + 3));
}

Job small_job(int mode, int64_t attempts, bool all) {
  Job job;
  job.mode = mode;
  job.dims = {128, 256, 256};
  for (uint32_t i = 0; i < 8; ++i) job.key[i] = 0x01010101u * i;
  job.target = target_for_difficulty(6);  // a few of the 256 cells qualify in most attempts
  job.seed_a = 0, job.seed_b = 1000;
  job.prepare_seed = 50, job.first_nonce = 7;
  job.attempts = attempts;
  job.all = all;
  job.json = true;
  return job;
}

struct Mined {
  std::vector<std::string> records;
  std::string summary;
};

// Mines on `gpus` stand-in devices and returns what was printed.
Mined mine(const Job& job, int gpus) {
  std::vector<GpuMiner> workers;
  std::vector<std::string> names;
  for (int i = 0; i < gpus; ++i) {
    workers.emplace_back(job, i, size_t(i));
    names.push_back("gpu:" + std::to_string(i));
  }
  for (GpuMiner& w : workers) EXPECT_EQ(w.open(), "");
  FILE* out = std::tmpfile();
  {
    MineRun run(job, names, out);
    run_workers(run, workers);
  }
  std::rewind(out);
  Mined mined;
  char line[4096];
  while (std::fgets(line, sizeof line, out) != nullptr) {
    std::string text(line);
    text.pop_back();
    (text.find("\"summary\":true") != std::string::npos ? mined.summary : (mined.records.emplace_back(), mined.records.back())) = text;
  }
  std::fclose(out);
  return mined;
}

void expect_verifies(const std::string& record) {
  QvRecord r;
  QvVerdict v;
  char why[256] = "";
  ASSERT_EQ(qv_parse_record(record.data(), record.size(), &r, why, sizeof why), QV_OK) << why;
  EXPECT_EQ(qv_verify(&r, 1, &v, why, sizeof why), QV_OK) << record << " fault " << v.fault << " " << why;
}

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
