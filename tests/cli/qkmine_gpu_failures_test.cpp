// The GPU miner when devices misbehave, over stand-in devices made to fail
// the ways real ones do (fake_kernel.h): a failed device stops alone and
// the run says so; a failed call's outcomes, stale or not, are never used;
// a call that never returns is reported as hung; hits are printed exactly
// once however slowly the host checks them, also when a signal stops the
// run.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "fake_kernel.h"
#include "interrupts.h"
#include "qkmine_run.h"
#include "share_check.h"
#include "stand_in_mining.h"

namespace {

using namespace qkmine;
using quorl::test::expect_verifies;
using quorl::test::FakeFaults;
using quorl::test::json_field;
using quorl::test::json_number;
using quorl::test::Mined;
using quorl::test::small_job;
using quorl::test::StandIn;

class QkmineGpuFailures : public ::testing::Test {
 protected:
  void SetUp() override { quorl::test::fake_kernel_reset(); }
  void TearDown() override { quorl::test::fake_kernel_reset(); }
};

// The device entry of `name` in a summary.
std::string device_entry(const std::string& summary, const std::string& name) {
  const size_t at = summary.find("{\"device\":\"" + name + "\"");
  if (at == std::string::npos) return "";
  return summary.substr(at, summary.find('}', at) + 1 - at);
}

// A record in the words of fake_kernel_hits().
std::string attempt_of(const std::string& record) {
  const std::string found = "found=" + std::to_string(int64_t(json_number(record, "found")));
  if (json_field(record, "mode") == "full") return "seed_a=" + std::to_string(json_number(record, "seed_a")) + " " + found;
  return "prepare_seed=" + std::to_string(json_number(record, "prepare_seed")) +
         " nonce=" + std::to_string(json_number(record, "nonce")) + " " + found;
}

// Every hit the stand-in reported is printed once, and nothing else is.
void expect_every_hit_once(const Mined& m) {
  std::vector<std::string> printed;
  for (const std::string& r : m.records) {
    if (r.find("\"found\":-1") == std::string::npos) printed.push_back(attempt_of(r));
  }
  std::vector<std::string> reported = quorl::test::fake_kernel_hits();
  std::sort(printed.begin(), printed.end());
  std::sort(reported.begin(), reported.end());
  EXPECT_EQ(printed, reported);
}

size_t occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST_F(QkmineGpuFailures, AFailedDeviceStopsAloneAndTheRunSaysSo) {
  FakeFaults sticky_after_a_batch, stale, readback, dead;
  // Each device's trial attempt at open counts too.
  sticky_after_a_batch.sticky_after = 1 + 64;  // B-only: the second batch fails
  stale = sticky_after_a_batch;
  stale.stale_batches = true;  // ... and hands back the first batch's hits again
  readback.readback_fails_after = 1;
  dead.sticky_after = 1;
  FakeFaults steady;
  steady.call_ms = 50;  // so the failing device gets its turns
  const struct {
    const char* name;
    int mode;
    int64_t attempts;
    bool all;
    FakeFaults gpu0, gpu1;
    const char* error;  // gpu:1's
    int64_t gpu1_attempts;
    const char* ended_by;
  } cases[] = {
      {"B-only, sticky error", QV_MODE_BONLY, 256, false, steady, sticky_after_a_batch,
       "CUDA error 700 (an illegal memory access was encountered) (from qk_get_hashes)", 64, "attempts"},
      {"B-only, sticky error, stale outcomes", QV_MODE_BONLY, 256, false, steady, stale,
       "CUDA error 700 (an illegal memory access was encountered) (from qk_get_hashes)", 64, "attempts"},
      {"B-only, failed readback", QV_MODE_BONLY, 256, false, steady, readback,
       "CUDA error 999 (unknown error) (from qk_get_hashes)", 0, "attempts"},
      {"full, sticky error", QV_MODE_FULL, 12, true, steady, [] { FakeFaults f; f.sticky_after = 1 + 3; return f; }(),
       "CUDA error 700 (an illegal memory access was encountered) (from qk_get_hashes)", 3, "attempts"},
      {"full, failed readback", QV_MODE_FULL, 12, true, steady, readback,
       "CUDA error 999 (unknown error) (from qk_get_hashes)", 0, "attempts"},
      {"both devices dead", QV_MODE_BONLY, 256, false, dead, dead,
       "CUDA error 700 (an illegal memory access was encountered) (from qk_get_hashes)", 0, "failure"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    quorl::test::fake_kernel_reset();
    quorl::test::fake_kernel_set_faults(0, c.gpu0);
    quorl::test::fake_kernel_set_faults(1, c.gpu1);
    ::testing::internal::CaptureStderr();
    const Mined m = quorl::test::mine(small_job(c.mode, c.attempts, c.all, /*difficulty=*/9), {2});
    const std::string err = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(m.exit_status, kExitFailed);
    EXPECT_EQ(occurrences(err, "qkmine mine: gpu:1 failed: "), 1u) << err;
    EXPECT_NE(err.find("qkmine mine: gpu:1 failed: " + std::string(c.error)), std::string::npos) << err;
    const std::string gpu1 = device_entry(m.summary, "gpu:1");
    EXPECT_NE(gpu1.find("\"status\":\"failed\",\"error\":\"" + std::string(c.error) + "\""), std::string::npos)
        << m.summary;
    EXPECT_EQ(json_number(gpu1, "attempts"), uint64_t(c.gpu1_attempts)) << gpu1;
    EXPECT_NE(m.summary.find("\"ended_by\":\"" + std::string(c.ended_by) + "\""), std::string::npos) << m.summary;
    EXPECT_EQ(json_number(m.summary, "rejected"), 0u) << m.summary;
    const bool gpu0_lives = c.gpu0.sticky_after < 0;
    EXPECT_EQ(json_number(m.summary, "failed"), gpu0_lives ? 1u : 2u) << m.summary;
    if (gpu0_lives) {
      // The survivor runs what the failed device left: the whole budget.
      EXPECT_NE(device_entry(m.summary, "gpu:0").find("\"status\":\"ok\""), std::string::npos) << m.summary;
      EXPECT_EQ(json_number(m.summary, "attempts"), uint64_t(c.attempts)) << m.summary;
    }
    expect_every_hit_once(m);
    std::set<std::string> distinct;
    for (const std::string& r : m.records) {
      expect_verifies(r);
      EXPECT_TRUE(distinct.insert(attempt_of(r)).second) << "printed twice: " << r;
    }
    if (c.all && gpu0_lives) EXPECT_EQ(m.records.size(), size_t(c.attempts));  // no attempt number lost
  }
}

TEST_F(QkmineGpuFailures, ADeviceThatCannotSearchIsRefusedBeforeTheRun) {
  FakeFaults no_kernels, dead, readback;
  no_kernels.launch_fails = true;  // found -1 and no status call says why
  dead.sticky_after = 0;
  readback.readback_fails_after = 0;
  const struct {
    const char* name;
    FakeFaults faults;
    std::string refusal;  // "" for a device that mines
  } cases[] = {
      {"healthy", FakeFaults{}, ""},
      {"kernels that cannot start", no_kernels,
       "GPU 0 cannot search: a trial attempt against a target every cell meets found none"},
      {"a sticky error", dead,
       "GPU 0 failed its trial attempt: CUDA error 700 (an illegal memory access was encountered)"},
      {"a failed readback", readback, "GPU 0 failed its trial attempt: CUDA error 999 (unknown error)"},
  };
  for (const auto& c : cases) {
    for (const int mode : {QV_MODE_FULL, QV_MODE_BONLY}) {
      SCOPED_TRACE(std::string(c.name) + (mode == QV_MODE_FULL ? ", full" : ", B-only"));
      quorl::test::fake_kernel_set_faults(0, c.faults);
      GpuMiner gpu(small_job(mode, 1, false), 0, 0);
      const std::string problem = gpu.open();
      if (c.refusal.empty()) EXPECT_EQ(problem, "");
      else EXPECT_EQ(problem.rfind(c.refusal, 0), 0u) << problem;
    }
  }
}

TEST_F(QkmineGpuFailures, ASlowDeviceIsNotHung) {
  FakeFaults slow;
  slow.call_ms = 300;
  quorl::test::fake_kernel_set_faults(0, slow);
  // Four calls outlast the watchdog together; none does alone.
  StandIn s;
  s.watchdog = 1;
  const Mined m = quorl::test::mine(small_job(QV_MODE_FULL, 4, /*all=*/true), s);
  EXPECT_EQ(m.exit_status, kExitOk);
  EXPECT_EQ(m.records.size(), 4u);
  EXPECT_NE(m.summary.find("\"status\":\"ok\""), std::string::npos) << m.summary;
}

// Slow checks, counted per attempt.
struct SlowChecks {
  std::mutex lock;
  std::vector<std::string> checked;
  VerifyQueue::Confirm confirm() {
    return [this](QvRecord& r, Check check) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      const std::string verdict = confirm_outcome(r, check, 1);
      std::lock_guard<std::mutex> hold(lock);
      checked.push_back(std::to_string(r.prepare_seed) + ":" + std::to_string(r.nonce) + ":" +
                        std::to_string(r.seed_a));
      return verdict;
    };
  }
};

TEST_F(QkmineGpuFailures, HitsFoundWhileTheHostChecksSlowlyArePrintedOnce) {
  const struct {
    const char* name;
    int64_t attempts;  // -1: until the interrupt
    const char* ended_by;
  } cases[] = {
      {"to the end of the budget", 128, "attempts"},
      {"stopped by SIGINT", -1, "interrupt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    quorl::test::fake_kernel_reset();
    SlowChecks checks;
    StandIn s;
    s.gpus = 2;
    s.confirm = checks.confirm();
    InterruptCatcher interrupts;
    std::thread interrupter;
    if (c.attempts < 0) {
      interrupter = std::thread([] {
        while (quorl::test::fake_kernel_hits().size() < 40) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ::kill(::getpid(), SIGINT);
      });
    }
    ::testing::internal::CaptureStderr();
    // Should the interrupt go unheeded, the devices die after a while and
    // the test fails rather than hangs.
    FakeFaults mortal;
    mortal.sticky_after = 2048;
    for (int gpu : {0, 1}) quorl::test::fake_kernel_set_faults(gpu, mortal);
    const Mined m = quorl::test::mine(small_job(QV_MODE_BONLY, c.attempts, /*all=*/false), s);
    const std::string err = ::testing::internal::GetCapturedStderr();
    if (interrupter.joinable()) interrupter.join();

    EXPECT_EQ(m.exit_status, kExitOk);
    EXPECT_NE(m.summary.find("\"ended_by\":\"" + std::string(c.ended_by) + "\""), std::string::npos) << m.summary;
    EXPECT_NE(err.find("outcomes still wait for the host's check"), std::string::npos) << err;  // the slow host lagged
    ASSERT_GT(m.records.size(), 0u);
    expect_every_hit_once(m);
    // One check per hit, inside a batch or at its end.
    std::multiset<std::string> seen(checks.checked.begin(), checks.checked.end());
    for (const std::string& key : seen) EXPECT_EQ(seen.count(key), 1u) << key;
    EXPECT_EQ(checks.checked.size(), m.records.size());
    EXPECT_EQ(json_number(m.summary, "shares"), m.records.size()) << m.summary;
  }
}

TEST(QkmineGpuFailuresDeathTest, ACallThatNeverReturnsIsReportedHungAndTheRunExitsWithTheSummary) {
  const std::string path = ::testing::TempDir() + "qk_hung_" + std::to_string(::getpid());
  const auto run = [&] {
    quorl::test::fake_kernel_reset();
    FakeFaults blocks;
    blocks.block_after = 1 + 3;  // after the trial and three attempts, a call never returns
    quorl::test::fake_kernel_set_faults(1, blocks);
    FILE* out = std::fopen(path.c_str(), "w+");
    StandIn s;
    s.gpus = 2;
    s.watchdog = 1;  // far above a healthy call's milliseconds
    quorl::test::mine_into(out, small_job(QV_MODE_FULL, -1, /*all=*/true, /*difficulty=*/9), s);
  };
  EXPECT_EXIT(run(), ::testing::ExitedWithCode(kExitHung),
              "qkmine mine: gpu:1 is hung: qk_mine_full has not returned in 1 s");
  FILE* out = std::fopen(path.c_str(), "r");
  ASSERT_NE(out, nullptr);
  const Mined m = quorl::test::read_mined(out);
  std::fclose(out);
  std::remove(path.c_str());
  EXPECT_NE(device_entry(m.summary, "gpu:1").find("\"status\":\"hung\""), std::string::npos) << m.summary;
  EXPECT_NE(device_entry(m.summary, "gpu:0").find("\"status\":\"ok\""), std::string::npos) << m.summary;
  EXPECT_NE(m.summary.find("\"ended_by\":\"watchdog\""), std::string::npos) << m.summary;
  EXPECT_EQ(json_number(device_entry(m.summary, "gpu:1"), "attempts"), 3u) << m.summary;
  // Everything found before the hang is printed (--all: one record per attempt).
  EXPECT_EQ(m.records.size(), json_number(m.summary, "attempts")) << m.summary;
  for (const std::string& r : m.records) expect_verifies(r);
}

}  // namespace
