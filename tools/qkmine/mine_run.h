// What the device threads of one `qkmine mine` run share: the attempt
// budget and the stop (--attempts, --seconds, Ctrl-C, a hung device), the
// job source, per-device tallies and health, the queue of outcomes waiting
// for the host's check, the record sink, and the progress and summary.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <mutex>
#include <string>
#include <vector>

#include "device_tally.h"
#include "job_source.h"
#include "mine_job.h"
#include "rate_window.h"
#include "record_sink.h"
#include "run_summary.h"
#include "verify_queue.h"

namespace qkmine {

class MineRun {
 public:
  struct Setup {
    std::unique_ptr<JobSource> jobs;      // null: the given job (FixedJob)
    std::unique_ptr<RecordSink> records;  // null: one JSON line per record on `out`
    VerifyQueue::Confirm confirm;         // null: the host verifier (confirm_outcome)
    // What device i reports of itself (null, or nullopt: nothing).
    std::function<std::optional<GpuTelemetry>(size_t device)> telemetry;
    // Where the jobs come from when a pool hands them out (null: no pool).
    std::function<PoolRun()> pool;
  };
  // `job` sets the mode, dims, limits and output; the summary (with --json)
  // and by default the records go to `out`.
  MineRun(const Job& job, const std::vector<std::string>& device_names, FILE* out = stdout,
          Setup setup = {});
  ~MineRun();

  // Up to `want` attempts of the current job; count 0 once the run is over.
  Work claim(int64_t want);
  // Attempts a failed device claimed but did not run, for the others.
  void give_back(const Work& work);
  // The seed for device `device`'s next preparation of B-only job `job`.
  uint64_t prepare_seed(const Job& job, size_t device) { return jobs_->prepare_seed(job, device); }
  bool over() const;
  void stop() { stop_.store(true); }

  DeviceTally& tally(size_t device) { return *tallies_[device]; }
  // The device ran `n` more attempts, checked by its status call.
  void count_attempts(size_t device, int64_t n);
  // From a device thread: queued for the host's check; the record is
  // printed (or the hit counted as rejected) once checked.
  void hand_over(Outcome outcome);
  // From a device thread whose device failed: one line on stderr with the
  // reason; the device stops, the others go on.
  void fail(size_t device, const std::string& why);

  // Ends the mining clock (rates are over mining time), then settles every
  // outcome still waiting for its check.
  void finish();
  // Outcomes handed over and not yet checked.
  size_t waiting() const { return checks_.waiting(); }
  // Samples every device's count for the rate windows (about once a
  // second is kept), and now and then reads their telemetry.
  void sample();
  void read_telemetry();
  // The figures of the moment, with the rates over the windows and the
  // telemetry (for the progress line and monitoring); any thread.
  RunFigures status() const;
  // The progress line (stderr), or the final summary (stderr, or stdout as
  // one JSON object with --json).
  void report(bool final);
  double elapsed() const;
  // Why the run ended: "attempts", "seconds", "interrupt", "failure" (no
  // device left) or "watchdog".
  std::string ended_by() const;

 private:
  void settle(const Outcome& outcome, const std::string& verdict);
  RunFigures figures() const;
  double since_start() const;

  const Job job_;
  std::chrono::steady_clock::time_point start_;
  std::atomic<int64_t> end_ns_{0};  // since start_, once finish() ran
  std::atomic<bool> stop_{false};
  std::atomic<bool> finished_{false};  // the sink was told
  std::mutex claim_lock_;
  int64_t claimed_ = 0;
  std::vector<std::unique_ptr<DeviceTally>> tallies_;
  FILE* out_;
  std::unique_ptr<JobSource> jobs_;
  std::unique_ptr<RecordSink> records_;
  std::function<std::optional<GpuTelemetry>(size_t)> read_telemetry_;
  std::function<PoolRun()> pool_;
  mutable std::mutex status_lock_;  // guards the windows and the telemetry
  std::vector<RateWindow> windows_;
  RateWindow total_window_;
  std::vector<std::optional<GpuTelemetry>> telemetry_;
  VerifyQueue checks_;  // after everything its worker touches, so it stops first
};

}  // namespace qkmine
