#include "bench_report.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>

#include "driver_timing.h"

namespace qkmine {
namespace {

using quorl::bench::kBonlyStageNames;
using quorl::bench::kFullStageNames;
using Json = nlohmann::ordered_json;

std::string shape_text(const ShapeBench& s) {
  return std::to_string(s.m) + "x" + std::to_string(s.n) + "x" + std::to_string(s.k);
}

std::string num(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.4g", v);
  return buf;
}

// A figure to 4 significant digits, whole numbers as integers.
Json figure(double v) {
  if (!std::isfinite(v)) return nullptr;
  const double rounded = std::stod(num(v));
  if (std::fabs(rounded) < 1e15 && rounded == std::trunc(rounded)) return int64_t(rounded);
  return rounded;
}

// A figure, or null for what was not measured.
Json figure_or_null(double v, bool measured) { return measured ? figure(v) : Json(nullptr); }

Json percent(const BenchRun& run, double tops, bool measured) {
  return measured && run.peak_tops ? figure(100.0 * tops / *run.peak_tops) : Json(nullptr);
}

Json stages(const char* const* names, const double* ms, int count) {
  Json out = Json::object();
  for (int i = 0; i < count; ++i) out[names[i]] = figure(ms[i]);
  return out;
}

}  // namespace

double effective_tops(const ShapeBench& s, double ms) {
  return ms > 0 ? 2.0 * s.m * s.n * s.k / (ms * 1e-3) / 1e12 : 0.0;
}

bool throttled_during(const ShapeBench& s) {
  return s.telemetry && s.telemetry->throttle_reasons && throttled(*s.telemetry->throttle_reasons);
}

std::vector<std::string> bench_json_lines(const BenchRun& run) {
  std::vector<std::string> lines;
  const Json head = {{"device", run.device},
                     {"cc", std::to_string(run.major) + "." + std::to_string(run.minor)},
                     {"build", run.build},
                     {"mode", run.mode},
                     {"peak_int8_tops", figure_or_null(run.peak_tops.value_or(0), run.peak_tops.has_value())},
                     {"reps", run.reps},
                     {"attempts", run.attempts}};
  lines.push_back(head.dump());
  for (const ShapeBench& s : run.shapes) {
    const bool lt = s.cublaslt_ms > 0;
    const double lt_tops = effective_tops(s, s.cublaslt_ms);
    Json line = {{"m", s.m},
                 {"n", s.n},
                 {"k", s.k},
                 {"full_stages_ms", stages(kFullStageNames, s.full_stages, 8)},
                 {"bonly_stages_ms", stages(kBonlyStageNames, s.bonly_stages, 12)},
                 {"bonly_batch_attempts_per_s", figure(s.batch_per_s)},
                 {"bonly_pipeline_attempts_per_s", figure(s.pipeline_per_s)},
                 {"cublaslt",
                  {{"ms", figure_or_null(s.cublaslt_ms, lt)},
                   {"tops", figure_or_null(lt_tops, lt)},
                   {"percent_of_peak", percent(run, lt_tops, lt)}}}};
    Json search = Json::array();
    for (const EngineTime& e : s.engines) {
      const bool ok = e.ms > 0;
      const double tops = effective_tops(s, e.ms);
      search.push_back({{"build", e.build},
                        {"ms", figure_or_null(e.ms, ok)},
                        {"tops", figure_or_null(tops, ok)},
                        {"percent_of_peak", percent(run, tops, ok)},
                        {"vs_cublaslt", figure_or_null(ok && lt ? s.cublaslt_ms / e.ms : 0, ok && lt)}});
    }
    line["search"] = std::move(search);
    if (s.telemetry) line["telemetry"] = telemetry_json(*s.telemetry);
    lines.push_back(line.dump());
  }
  return lines;
}

std::string bench_table(const BenchRun& run) {
  std::ostringstream out;
  char buf[256];
  std::snprintf(buf, sizeof buf, "%s (cc %d.%d), default build %s, search mode %s, int8 dense peak %s\n",
                run.device.c_str(), run.major, run.minor, run.build.c_str(), run.mode.c_str(),
                run.peak_tops ? (num(*run.peak_tops) + " TOPS").c_str() : "unknown");
  out << buf;
  auto percent = [&](double tops) { return run.peak_tops ? num(100.0 * tops / *run.peak_tops) + "%" : "unknown"; };
  for (const ShapeBench& s : run.shapes) {
    out << "\n" << shape_text(s) << "\n  full pipeline stages (ms):";
    for (int i = 0; i < 8; ++i) out << " " << kFullStageNames[i] << " " << num(s.full_stages[i]);
    out << "\n  B-only stages (ms):";
    for (int i = 0; i < 12; ++i) out << " " << kBonlyStageNames[i] << " " << num(s.bonly_stages[i]);
    out << "\n  B-only attempts/s: batch " << num(s.batch_per_s) << ", pipeline " << num(s.pipeline_per_s) << "\n";
    if (s.telemetry && !telemetry_text(*s.telemetry).empty()) {
      out << "  GPU during the measurements: " << telemetry_text(*s.telemetry) << "\n";
    }
    std::snprintf(buf, sizeof buf, "  %-18s %10s %9s %9s %12s\n", "search pass", "ms", "TOPS", "of peak",
                  "vs cuBLASLt");
    out << buf;
    if (s.cublaslt_ms > 0) {
      const double t = effective_tops(s, s.cublaslt_ms);
      std::snprintf(buf, sizeof buf, "  %-18s %10.3f %9.1f %9s %12s\n", "cuBLASLt int8", s.cublaslt_ms, t,
                    percent(t).c_str(), "1.00x");
    } else {
      std::snprintf(buf, sizeof buf, "  %-18s %s\n", "cuBLASLt int8", s.cublaslt_note.c_str());
    }
    out << buf;
    for (const EngineTime& e : s.engines) {
      if (e.ms <= 0) {
        std::snprintf(buf, sizeof buf, "  %-18s no context\n", e.build.c_str());
      } else {
        const double t = effective_tops(s, e.ms);
        std::snprintf(buf, sizeof buf, "  %-18s %10.3f %9.1f %9s %12s\n", e.build.c_str(), e.ms, t,
                      percent(t).c_str(), s.cublaslt_ms > 0 ? (num(s.cublaslt_ms / e.ms) + "x").c_str() : "-");
      }
      out << buf;
    }
  }
  return out.str();
}

}  // namespace qkmine
