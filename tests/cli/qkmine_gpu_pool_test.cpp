// Pool jobs on the GPU miner, over the stand-in library (fake_kernel.cpp):
// B-only preparations that never run past the job's max_nonces and each
// get their own prepare seed in the connection's space, and a switch to a
// job of other dims and mode at the devices' next claim. Every record must
// verify, and every share goes to the pool with the job it was mined on.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "pool_shares.h"
#include "pool_work.h"
#include "qkmine_run.h"
#include "stand_in_mining.h"

namespace {

using namespace qkmine;
using quorl::test::expect_verifies;
using quorl::test::json_field;
using quorl::test::json_number;

constexpr uint32_t kExtranonce = 0x2a;

std::shared_ptr<const pool::PoolJob> pool_job(const std::string& id, int mode, quorl::ref::Dims dims,
                                              uint64_t max_nonces, uint64_t serial) {
  auto j = std::make_shared<pool::PoolJob>();
  j->id = id, j->mode = mode, j->dims = dims, j->max_nonces = max_nonces;
  j->extranonce = kExtranonce, j->serial = serial;
  const Job shape = quorl::test::small_job(mode, 0, false);
  j->key = shape.key, j->target = shape.target;
  return j;
}

struct PoolMined {
  quorl::test::Mined mined;
  std::vector<pool::Share> shares;
};

// Mines on `gpus` stand-in devices for the jobs `feed` hands out, with the
// pool's job source and sink; the first device opens with `first`'s dims.
PoolMined mine_for_pool(const std::shared_ptr<const pool::PoolJob>& first, PoolWork::Feed feed, int64_t attempts,
                        int gpus) {
  Job base = quorl::test::small_job(first->mode, attempts, false);
  base = job_from_pool(base, *first);
  std::vector<GpuMiner> workers;
  std::vector<std::string> names;
  workers.reserve(size_t(gpus));
  for (int i = 0; i < gpus; ++i) {
    workers.emplace_back(base, i, size_t(i));
    names.push_back("gpu:" + std::to_string(i));
  }
  std::vector<DeviceWorker*> running;
  for (GpuMiner& w : workers) {
    EXPECT_EQ(w.open(), "");
    running.push_back(&w);
  }
  PoolMined out;
  std::mutex lock;
  FILE* file = std::tmpfile();
  auto work = std::make_unique<PoolWork>(base, std::move(feed));
  MineRun::Setup setup;
  setup.records = std::make_unique<PoolShares>(
      file, *work,
      [&](pool::Share s) {
        std::lock_guard<std::mutex> l(lock);
        out.shares.push_back(std::move(s));
      },
      nullptr);
  setup.jobs = std::move(work);
  {
    MineRun run(base, names, file, std::move(setup));
    out.mined.exit_status = supervise(run, running, 0);
  }
  out.mined = quorl::test::read_mined(file);
  std::fclose(file);
  return out;
}

TEST(QkmineGpuPool, BonlyPreparationsStopShortOfMaxNoncesEachWithItsOwnSeed) {
  // 100 nonces a preparation: a batch of 64, then one cut to 36.
  const auto job = pool_job("b1", QV_MODE_BONLY, {128, 256, 256}, 100, 1);
  const PoolMined m = mine_for_pool(job, [job](uint64_t, std::chrono::milliseconds) { return job; }, 500, 2);
  ASSERT_GE(m.mined.records.size(), 2u) << m.mined.summary;
  std::map<uint64_t, std::string> seed_owner;
  for (const std::string& r : m.mined.records) {
    expect_verifies(r);
    const uint64_t seed = json_number(r, "prepare_seed");
    EXPECT_EQ(seed >> 32, kExtranonce) << r;
    EXPECT_LT(json_number(r, "nonce") - json_number(r, "first_nonce"), 100u) << r;
    const std::string device = json_field(r, "device");
    EXPECT_EQ(seed_owner.emplace(seed, device).first->second, device) << "two devices prepared with one seed: " << r;
  }
  EXPECT_GE(seed_owner.size(), 3u) << "500 attempts on two devices need several preparations";
  EXPECT_EQ(json_number(m.mined.summary, "attempts"), 500u) << m.mined.summary;
  ASSERT_EQ(m.shares.size(), m.mined.records.size());
  for (const pool::Share& s : m.shares) {
    EXPECT_EQ(s.job, job);
    EXPECT_TRUE(pool::in_seed_space(*job, s)) << s.prepare_seed << " " << s.nonce;
  }
}

TEST(QkmineGpuPool, ANewJobOfOtherDimsIsMinedFromTheNextClaim) {
  const auto first = pool_job("b1", QV_MODE_BONLY, {128, 256, 256}, 1000, 1);
  const auto second = pool_job("f2", QV_MODE_FULL, {256, 256, 256}, 0, 2);
  std::atomic<int> calls{0};
  // The pool's second job arrives after a few claims.
  auto feed = [&](uint64_t, std::chrono::milliseconds) { return calls.fetch_add(1) < 3 ? first : second; };
  const PoolMined m = mine_for_pool(first, feed, 300, 2);
  std::map<std::string, bool> switched;
  size_t of_second = 0;
  for (const std::string& r : m.mined.records) {
    expect_verifies(r);
    const std::string device = json_field(r, "device");
    const bool is_second = json_field(r, "mode") == "full";
    if (switched[device]) EXPECT_TRUE(is_second) << "the old job after the switch: " << r;
    switched[device] = switched[device] || is_second;
    if (is_second) {
      ++of_second;
      EXPECT_EQ(json_number(r, "m"), 256u) << r;
      EXPECT_EQ(json_number(r, "seed_a") >> 32, kExtranonce) << r;
    }
  }
  EXPECT_GT(of_second, 0u) << m.mined.summary;
  EXPECT_EQ(json_number(m.mined.summary, "attempts"), 300u) << "attempts claimed as B-only batches and not run";
  for (const pool::Share& s : m.shares) EXPECT_TRUE(pool::in_seed_space(*s.job, s)) << s.job->id;
}

}  // namespace
