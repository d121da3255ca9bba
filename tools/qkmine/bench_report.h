// qkmine bench's figures and their forms: JSON lines for machines (which
// the plot script draws), and a table for people. No GPU needed here.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "telemetry.h"

namespace qkmine {

struct EngineTime {
  std::string build;  // "h100tma", "fallback", ...
  double ms = -1;     // per search pass; negative: no context for this build
};

struct ShapeBench {
  int m = 0, n = 0, k = 0;
  double full_stages[8] = {};    // qk_mine_full_profile, ms: upload .. total
  double bonly_stages[12] = {};  // qk_mine_full_bonly_profile, ms
  double batch_per_s = 0, pipeline_per_s = 0;  // B-only bench attempts/s
  double cublaslt_ms = -1;       // negative: cuBLASLt unavailable
  std::string cublaslt_note;     // why, when unavailable
  std::vector<EngineTime> engines;
  // Over the shape's measurements (when NVML is there): the highest
  // temperature and power, the lowest SM clock and every reason seen.
  std::optional<GpuTelemetry> telemetry;
};

struct BenchRun {
  std::string device;  // CUDA's name
  int major = 0, minor = 0;
  std::string build;   // the build the device runs by default
  std::string mode;    // search mode: fused, separate, skip
  std::optional<double> peak_tops;  // dense int8 peak, when the generation is known
  int reps = 0, attempts = 0;
  std::vector<ShapeBench> shapes;
};

// 2 m n k operations in `ms` milliseconds, in TOPS (0 for ms <= 0).
double effective_tops(const ShapeBench& s, double ms);

// One JSON object for the run, then one per shape (numbers to 4
// significant digits).
std::vector<std::string> bench_json_lines(const BenchRun& run);
std::string bench_table(const BenchRun& run);

// Whether the GPU was throttled while `s` was measured.
bool throttled_during(const ShapeBench& s);

}  // namespace qkmine
