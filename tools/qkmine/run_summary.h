// The figures of a `qkmine mine` run, and their two forms: the progress
// line and the final summary for people (stderr), and the summary object
// that --json prints for scripts (the GPU check reads attempts_per_s and
// steady_attempts_per_s against the drivers benchmark).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "quorl_ref/attempt.hpp"
#include "telemetry.h"

namespace qkmine {

enum class Health { kMining, kDone, kFailed, kHung };

struct DeviceFigures {
  std::string name;  // "gpu:N" or "cpu"
  int64_t attempts = 0, shares = 0, rejected = 0;
  double attempts_per_s = 0;
  // After the device's first batch (its warm-up: kernel loading, first
  // launches); its plain rate when it ran a single batch.
  double steady_attempts_per_s = 0;
  Health health = Health::kMining;
  std::string error;  // why it failed or hung
  // While mining: attempts/s over the last 10 s, 60 s and 15 min, and what
  // the GPU reports of itself (when NVML is there).
  std::optional<std::array<double, 3>> window_rates;
  std::optional<GpuTelemetry> telemetry;
};

// One pool of a `qkmine mine --pool` run: its connection and how the
// shares sent to it ended.
struct PoolFigures {
  std::string url;
  bool connected = false;
  std::optional<uint32_t> extranonce;  // of the newest session
  uint64_t accepted = 0, rejected = 0, dropped = 0;
  std::map<int, uint64_t> rejected_by_code;
};

// The pools of a run, in --pool order, and the job it mines.
struct PoolRun {
  std::vector<PoolFigures> pools;
  std::string job_id;  // the pool's id of the newest job; "" while none came
  // That job's mode, dims and target (64 hex digits), for the run's figures.
  int mode = 0;
  quorl::ref::Dims dims{};
  std::string target;
};

struct RunFigures {
  int mode = 0;  // enum QvMode
  quorl::ref::Dims dims{};
  double seconds = 0;    // of mining: the checks after it are not counted
  std::string ended_by;  // see MineRun::ended_by
  std::vector<DeviceFigures> devices;
  std::optional<std::array<double, 3>> window_rates;  // the total's, while mining
  uint64_t job_id = 0;
  std::string target;  // 64 hex digits
  std::optional<PoolRun> pool;  // with --pool
};

// "mining: gpu:0 812.00 attempts/s, ... | total ..." (or "done: ..."), then
// one line per device that failed or hung; each line ends in '\n'. While
// mining, each rate is shown over 10 s/60 s/15 min where the run has them,
// and a GPU's telemetry after its rate.
std::string progress_text(const RunFigures& run, bool final);

// One line of JSON, without the newline.
std::string summary_json(const RunFigures& run);

}  // namespace qkmine
