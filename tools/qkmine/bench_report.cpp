#include "bench_report.h"

#include <cstdio>
#include <sstream>

namespace qkmine {
namespace {

std::string shape_text(const ShapeBench& s) {
  return std::to_string(s.m) + "x" + std::to_string(s.n) + "x" + std::to_string(s.k);
}

std::string num(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.4g", v);
  return buf;
}

// A JSON number, or null for what was not measured.
std::string num_or_null(double v, bool measured) { return measured ? num(v) : "null"; }

std::string percent_json(const BenchRun& run, double tops, bool measured) {
  return measured && run.peak_tops ? num(100.0 * tops / *run.peak_tops) : "null";
}

std::string stages_json(const char* const* names, const double* ms, int count) {
  std::string out = "{";
  for (int i = 0; i < count; ++i) out += std::string(i ? "," : "") + "\"" + names[i] + "\":" + num(ms[i]);
  return out + "}";
}

std::string escaped(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) >= 0x20) out += c;
  }
  return out;
}

}  // namespace

const char* const kFullStageNames[8] = {"upload", "generate", "commit", "seeds",
                                        "noise",  "search",   "result", "total"};
const char* const kBonlyStageNames[12] = {"mutate", "seeds",   "noise_a_table", "selectors_a",
                                          "fuse_a", "noise_b_table", "selectors_b", "fuse_b",
                                          "noise",  "search",  "result",        "total"};

double effective_tops(const ShapeBench& s, double ms) {
  return ms > 0 ? 2.0 * s.m * s.n * s.k / (ms * 1e-3) / 1e12 : 0.0;
}

std::vector<std::string> bench_json_lines(const BenchRun& run) {
  std::vector<std::string> lines;
  lines.push_back("{\"device\":\"" + escaped(run.device) + "\",\"cc\":\"" + std::to_string(run.major) + "." +
                  std::to_string(run.minor) + "\",\"build\":\"" + run.build + "\",\"mode\":\"" + run.mode +
                  "\",\"peak_int8_tops\":" + num_or_null(run.peak_tops.value_or(0), run.peak_tops.has_value()) +
                  ",\"reps\":" + std::to_string(run.reps) + ",\"attempts\":" + std::to_string(run.attempts) + "}");
  for (const ShapeBench& s : run.shapes) {
    const bool lt = s.cublaslt_ms > 0;
    const double lt_tops = effective_tops(s, s.cublaslt_ms);
    std::string line = "{\"m\":" + std::to_string(s.m) + ",\"n\":" + std::to_string(s.n) +
                       ",\"k\":" + std::to_string(s.k) + ",\"full_stages_ms\":" +
                       stages_json(kFullStageNames, s.full_stages, 8) + ",\"bonly_stages_ms\":" +
                       stages_json(kBonlyStageNames, s.bonly_stages, 12) +
                       ",\"bonly_batch_attempts_per_s\":" + num(s.batch_per_s) +
                       ",\"bonly_pipeline_attempts_per_s\":" + num(s.pipeline_per_s) +
                       ",\"cublaslt\":{\"ms\":" + num_or_null(s.cublaslt_ms, lt) +
                       ",\"tops\":" + num_or_null(lt_tops, lt) +
                       ",\"percent_of_peak\":" + percent_json(run, lt_tops, lt) + "},\"search\":[";
    for (size_t i = 0; i < s.engines.size(); ++i) {
      const EngineTime& e = s.engines[i];
      const bool ok = e.ms > 0;
      const double tops = effective_tops(s, e.ms);
      line += std::string(i ? "," : "") + "{\"build\":\"" + e.build + "\",\"ms\":" + num_or_null(e.ms, ok) +
              ",\"tops\":" + num_or_null(tops, ok) + ",\"percent_of_peak\":" + percent_json(run, tops, ok) +
              ",\"vs_cublaslt\":" + num_or_null(ok && lt ? s.cublaslt_ms / e.ms : 0, ok && lt) + "}";
    }
    lines.push_back(line + "]}");
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

PlotData bench_plot_data(const BenchRun& run) {
  PlotData d;
  d.title = "int8 TOPS, " + run.device + ", search mode " + run.mode;
  d.peak_tops = run.peak_tops;
  for (const ShapeBench& s : run.shapes) d.categories.push_back(shape_text(s));
  auto series = [&](const std::string& name) -> PlotSeries& {
    for (PlotSeries& p : d.series) {
      if (p.name == name) return p;
    }
    d.series.push_back({name, std::vector<double>(run.shapes.size(), -1.0)});
    return d.series.back();
  };
  for (size_t i = 0; i < run.shapes.size(); ++i) {
    const ShapeBench& s = run.shapes[i];
    for (const EngineTime& e : s.engines) series(e.build).tops[i] = e.ms > 0 ? effective_tops(s, e.ms) : -1.0;
    series("cuBLASLt").tops[i] = s.cublaslt_ms > 0 ? effective_tops(s, s.cublaslt_ms) : -1.0;
  }
  return d;
}

}  // namespace qkmine
