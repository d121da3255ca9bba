// The pieces of a mining run on their own: the host's check of an outcome,
// the queue that feeds it, and the attempt budget with attempts given back.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mine_job.h"
#include "quorl_ref/engine_messages.hpp"
#include "mine_run.h"
#include "run_summary.h"
#include "share_check.h"
#include "stand_in_mining.h"
#include "verify_queue.h"

namespace {

using namespace qkmine;

// An honest record of attempt `attempt` of the small job, its roots and
// seeds filled; found is a qualifying cell (`qualifying`) or one that is not.
QvRecord honest_record(int mode, int64_t attempt, bool qualifying) {
  const Job job = quorl::test::small_job(mode, -1, false);
  QvRecord r = record_base(job, job.prepare_seed, attempt);
  char why[256] = "";
  EXPECT_EQ(qv_attempt_roots(&r, 1, r.a_hash, r.b_hash, r.a_seed, r.b_seed, why, sizeof why), QV_OK) << why;
  for (int32_t cell = 0; cell < 256; ++cell) {
    uint32_t message[16], hash[8];
    EXPECT_EQ(qv_cell(&r, cell, 1, message, hash, why, sizeof why), QV_OK) << why;
    quorl::ref::Cv h, t;
    std::copy(hash, hash + 8, h.begin());
    std::copy(r.target, r.target + 8, t.begin());
    if (quorl::ref::meets_target(h, t) == qualifying) {
      r.found = cell;
      return r;
    }
  }
  ADD_FAILURE() << "no such cell";
  return r;
}

TEST(QkmineRunParts, ConfirmingAnOutcome) {
  const QvRecord full_hit = honest_record(QV_MODE_FULL, 3, true);
  const QvRecord full_miss = honest_record(QV_MODE_FULL, 3, false);
  const QvRecord inner_hit = honest_record(QV_MODE_BONLY, 5, true);
  const QvRecord inner_miss = honest_record(QV_MODE_BONLY, 5, false);
  const auto without_roots = [](QvRecord r) {
    std::fill(r.a_hash, r.a_hash + 8, 0u), std::fill(r.b_hash, r.b_hash + 8, 0u);
    std::fill(r.a_seed, r.a_seed + 8, 0u), std::fill(r.b_seed, r.b_seed + 8, 0u);
    return r;
  };
  QvRecord wrong_b_hash = full_hit, outside = full_hit;
  wrong_b_hash.b_hash[0] ^= 1;
  outside.found = 256;
  const struct {
    const char* name;
    QvRecord record;
    Check check;
    std::string verdict;  // "*": any reason of the verifier's own
    const QvRecord* completed;  // the record it must become when it stands
  } cases[] = {
      {"a hit with the device's roots", full_hit, Check::kClaims, "", &full_hit},
      {"a wrong root", wrong_b_hash, Check::kClaims, "b_hash", nullptr},
      {"a cell above the target", full_miss, Check::kClaims, "target", nullptr},
      {"a cell outside the grid", outside, Check::kClaims, "*", nullptr},
      {"a hit inside a batch", without_roots(inner_hit), Check::kHostRoots, "", &inner_hit},
      {"a miss inside a batch", without_roots(inner_miss), Check::kHostRoots, "target", nullptr},
      {"found on the host", full_miss, Check::kNone, "", &full_miss},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QvRecord r = c.record;
    const std::string verdict = confirm_outcome(r, c.check, 2);
    if (c.verdict == "*") {
      EXPECT_NE(verdict, "");
      EXPECT_EQ(verdict.find("_"), std::string::npos) << verdict;  // not a claim's name
    } else {
      EXPECT_EQ(verdict, c.verdict);
    }
    if (c.completed == nullptr) continue;
    EXPECT_TRUE(std::equal(r.a_hash, r.a_hash + 8, c.completed->a_hash));
    EXPECT_TRUE(std::equal(r.b_hash, r.b_hash + 8, c.completed->b_hash));
    EXPECT_TRUE(std::equal(r.a_seed, r.a_seed + 8, c.completed->a_seed));
    EXPECT_TRUE(std::equal(r.b_seed, r.b_seed + 8, c.completed->b_seed));
    if (c.check != Check::kNone) {
      EXPECT_EQ(r.has_hash, 1);
      QvVerdict v;
      char why[256] = "";
      EXPECT_EQ(qv_verify(&r, 1, &v, why, sizeof why), QV_OK) << why;  // the hash it filled in holds
    }
  }
}

TEST(QkmineRunParts, TheQueueSettlesInOrderAndHoldsBackWhenFull) {
  std::mutex lock;
  std::vector<int64_t> settled;
  std::atomic<bool> open{false};
  VerifyQueue queue(
      [&](QvRecord&, Check) {
        while (!open.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return std::string();
      },
      [&](const Outcome& o, const std::string& verdict) {
        EXPECT_EQ(verdict, "");
        std::lock_guard<std::mutex> hold(lock);
        settled.push_back(int64_t(o.record.nonce));
      },
      /*capacity=*/2);
  const auto outcome = [](uint64_t nonce) {
    Outcome o{};
    o.record.nonce = nonce;
    o.check = Check::kClaims;
    return o;
  };
  // One in the check and two waiting: the fourth waits for room.
  for (uint64_t i = 0; i < 3; ++i) ASSERT_TRUE(queue.hand_over(outcome(i)));
  std::atomic<bool> fourth_in{false};
  std::thread producer([&] {
    queue.hand_over(outcome(3));
    fourth_in.store(true);
    for (uint64_t i = 4; i < 8; ++i) queue.hand_over(outcome(i));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(fourth_in.load());
  open.store(true);
  producer.join();
  queue.drain();
  EXPECT_EQ(settled, (std::vector<int64_t>{0, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_FALSE(queue.hand_over(outcome(8)));  // after the drain nothing is taken
}

TEST(QkmineRunParts, AttemptsGivenBackGoOutAgainWithinTheBudget) {
  const Job job = quorl::test::small_job(QV_MODE_FULL, /*attempts=*/10, false);
  FILE* out = std::tmpfile();
  MineRun run(job, {"gpu:0", "gpu:1"}, out);
  const Work a = run.claim(4), b = run.claim(4);
  EXPECT_EQ(a.first, 0);
  EXPECT_EQ(a.count, 4);
  EXPECT_EQ(b.first, 4);
  EXPECT_EQ(b.count, 4);
  run.give_back(a);  // its device failed before running it
  const Work again = run.claim(3), rest = run.claim(3), tail = run.claim(3), none = run.claim(3);
  EXPECT_EQ(again.first, 0);
  EXPECT_EQ(again.count, 3);
  EXPECT_EQ(rest.first, 3);
  EXPECT_EQ(rest.count, 1);
  EXPECT_EQ(tail.first, 8);
  EXPECT_EQ(tail.count, 2);
  EXPECT_EQ(none.count, 0);
  ASSERT_NE(a.job, nullptr);
  EXPECT_EQ(a.job, again.job);
  run.stop();
  run.give_back(tail);
  EXPECT_EQ(run.claim(3).count, 0);  // stopped: nothing more, given back or not
  std::fclose(out);
}

TEST(QkmineRunParts, ADeviceFailureIsReportedOnceAndNotAfterAHang) {
  const Job job = quorl::test::small_job(QV_MODE_FULL, -1, false);
  FILE* out = std::tmpfile();
  MineRun run(job, {"gpu:0", "gpu:1"}, out);
  ::testing::internal::CaptureStderr();
  run.fail(0, "CUDA error 700 (an illegal memory access was encountered)");
  run.fail(0, "CUDA error 700 (an illegal memory access was encountered)");
  ASSERT_TRUE(run.tally(1).settle(Health::kHung, "qk_mine_full has not returned in 1 s"));
  run.fail(1, "CUDA error 999 (unknown error)");  // the hung call came back failed
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err,
            "qkmine mine: gpu:0 failed: CUDA error 700 (an illegal memory access was encountered); it stops, "
            "the other devices go on\n");
  EXPECT_EQ(run.tally(0).health(), Health::kFailed);
  EXPECT_EQ(run.tally(1).health(), Health::kHung);
  EXPECT_EQ(run.tally(1).error(), "qk_mine_full has not returned in 1 s");
  std::fclose(out);
}

TEST(QkmineRunParts, TheSummaryKeepsItsFieldsAndNamesEachStoppedDevice) {
  RunFigures run;
  run.mode = QV_MODE_BONLY;
  run.dims = {8192, 8192, 2048};
  run.seconds = 2;
  run.ended_by = "attempts";
  DeviceFigures ok, failed, hung;
  ok.name = "gpu:0", ok.attempts = 256, ok.shares = 1, ok.attempts_per_s = 128, ok.steady_attempts_per_s = 130;
  ok.health = Health::kDone;
  failed.name = "gpu:1", failed.attempts = 64, failed.rejected = 2, failed.attempts_per_s = 32;
  failed.steady_attempts_per_s = 32, failed.health = Health::kFailed;
  failed.error = "CUDA error 700 (\"illegal\"\\address)";  // quotes and backslashes kept out of the JSON
  hung.name = "gpu:2", hung.health = Health::kHung, hung.error = "qk_mine_full_bonly_batch has not returned in 120 s";
  run.devices = {ok, failed, hung};

  EXPECT_EQ(summary_json(run),
            "{\"summary\":true,\"device\":\"gpu:0,gpu:1,gpu:2\",\"attempts\":320,\"shares\":1,\"rejected\":2,"
            "\"seconds\":2.000,\"attempts_per_s\":160.000,\"tops\":43.980465,\"steady_attempts_per_s\":162.000,"
            "\"devices\":[{\"device\":\"gpu:0\",\"attempts\":256,\"shares\":1,\"attempts_per_s\":128.000,"
            "\"steady_attempts_per_s\":130.000,\"rejected\":0,\"status\":\"ok\"},"
            "{\"device\":\"gpu:1\",\"attempts\":64,\"shares\":0,\"attempts_per_s\":32.000,"
            "\"steady_attempts_per_s\":32.000,\"rejected\":2,\"status\":\"failed\","
            "\"error\":\"CUDA error 700 ('illegal''address)\"},"
            "{\"device\":\"gpu:2\",\"attempts\":0,\"shares\":0,\"attempts_per_s\":0.000,"
            "\"steady_attempts_per_s\":0.000,\"rejected\":0,\"status\":\"hung\","
            "\"error\":\"qk_mine_full_bonly_batch has not returned in 120 s\"}],"
            "\"mode\":\"bonly\",\"m\":8192,\"n\":8192,\"k\":2048,\"failed\":2,\"ended_by\":\"attempts\"}");
  EXPECT_EQ(progress_text(run, /*final=*/true),
            "done: gpu:0 128.00 attempts/s, gpu:1 FAILED, gpu:2 HUNG | total 160.00 attempts/s, 43.9805 TOPS int8, "
            "1 shares, 320 attempts in 2.0 s, 2 GPU hits rejected\n"
            "done: gpu:1 failed: CUDA error 700 (\"illegal\"\\address)\n"
            "done: gpu:2 hung: qk_mine_full_bonly_batch has not returned in 120 s\n");
}

}  // namespace
