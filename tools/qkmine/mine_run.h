// What the mining threads of one `qkmine mine` run share: the attempt budget,
// the stop flag (Ctrl-C, --seconds), per-device counters, the record output
// and the progress lines.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "mine_job.h"

namespace qkmine {

struct DeviceTally {
  std::string name;
  std::atomic<int64_t> attempts{0}, shares{0};
  std::atomic<int64_t> rejected{0};  // hits the host verifier did not confirm
};

class MineRun {
 public:
  // Records and the --json summary go to `out`.
  MineRun(const Job& job, const std::vector<std::string>& device_names, FILE* out = stdout);

  // Grants up to `want` attempts from --attempts (all of them without a
  // limit), numbered from `first` across the run; count 0 once the run is
  // over: budget spent, --seconds past or Ctrl-C.
  struct Claim {
    int64_t first, count;
  };
  Claim claim(int64_t want);
  bool over() const;
  void stop() { stop_.store(true); }

  DeviceTally& tally(size_t device) { return *tallies_[device]; }
  // One line on stdout, whole, whichever thread prints it.
  void emit(const std::string& line);
  // The progress line (stderr), or the final summary (stderr, or stdout as
  // one JSON object with --json).
  void report(bool final);
  double elapsed() const;

 private:
  const Job& job_;
  std::chrono::steady_clock::time_point start_;
  std::atomic<int64_t> claimed_{0};
  std::atomic<bool> stop_{false};
  std::vector<std::unique_ptr<DeviceTally>> tallies_;
  FILE* out_;
  std::mutex out_lock_;
};

// Ctrl-C and SIGTERM stop the run cleanly (the summary still prints).
void stop_on_interrupt(MineRun& run);
// Runs `workers` (one thread each) while printing progress every few seconds.
template <class Worker>
void run_workers(MineRun& run, std::vector<Worker>& workers);

}  // namespace qkmine

#include "mine_run_inl.h"
