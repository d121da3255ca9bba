// qkmine bench's figures and their three forms: JSON lines for machines, a
// table for people, and the series the plot draws. No GPU needed here.
#pragma once

#include <optional>
#include <string>
#include <vector>

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
};

struct BenchRun {
  std::string device;  // CUDA's name
  int major = 0, minor = 0;
  std::string build;   // the build the device runs by default
  std::string mode;    // search mode: fused, separate, skip
  std::optional<double> peak_tops;  // dense int8 peak, when known
  int reps = 0, attempts = 0;
  std::vector<ShapeBench> shapes;
};

extern const char* const kFullStageNames[8];
extern const char* const kBonlyStageNames[12];

// 2 m n k operations in `ms` milliseconds, in TOPS (0 for ms <= 0).
double effective_tops(const ShapeBench& s, double ms);

// One JSON object for the run, then one per shape.
std::vector<std::string> bench_json_lines(const BenchRun& run);
std::string bench_table(const BenchRun& run);

// The plot's data: one series per engine and one for cuBLASLt, a TOPS value
// per shape (negative where it was not measured).
struct PlotSeries {
  std::string name;
  std::vector<double> tops;
};
struct PlotData {
  std::string title;
  std::vector<std::string> categories;  // "8192x8192x2048", ...
  std::vector<PlotSeries> series;
  std::optional<double> peak_tops;
};
PlotData bench_plot_data(const BenchRun& run);

}  // namespace qkmine
