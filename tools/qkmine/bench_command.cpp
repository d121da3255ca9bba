// qkmine bench: stage times, B-only attempt rates and the search pass of each
// build beside cuBLASLt on one GPU, as a table or JSON lines, plotted with
// matplotlib on request; a warning when the GPU throttled meanwhile.
#include <cstdio>
#include <string>
#include <vector>

#include "bench_measure.h"
#include "bench_plot.h"
#include "bench_report.h"
#include "bench_shapes.h"
#include "commands.h"
#include "devices.h"
#include "nvml_telemetry.h"

namespace qkmine {
namespace {

constexpr const char* kUsage =
    "usage: qkmine bench [--device N] [--shapes MxNxK,...] [--reps R] [--attempts A] [--json]\n"
    "         [--plot FILE.png|FILE.svg]\n";
constexpr const char* kShapes = "4096x4096x2048,8192x8192x2048,16384x16384x2048";

int usage(const std::string& why) { return usage_error("bench", kUsage, why); }

int run_bench(const OptionValues& opt) {
  const auto device = opt.has("device") ? opt.integer("device") : std::optional<int64_t>(0);
  if (!device || *device < 0) return usage("--device takes a GPU ordinal");
  const auto reps = opt.has("reps") ? opt.integer("reps") : std::optional<int64_t>(20);
  if (!reps || *reps < 1 || *reps > 100000) return usage("--reps takes 1 to 100000");
  const auto attempts = opt.has("attempts") ? opt.integer("attempts") : std::optional<int64_t>(20);
  if (!attempts || *attempts < 1 || *attempts > 100000) return usage("--attempts takes 1 to 100000");
  std::vector<BenchShape> shapes;
  const std::string problem = parse_shapes(opt.text("shapes").value_or(kShapes), shapes);
  if (!problem.empty()) return usage(problem);
  const std::string plot = opt.text("plot").value_or("");
  if (opt.has("plot") && !plot_format_known(plot)) return usage("--plot takes a file name ending in .png or .svg");

  const int visible = visible_gpus();
  if (visible == 0) {
    std::fprintf(stderr, "qkmine bench: no CUDA device visible; nothing to measure\n");
    return kExitNoGpu;
  }
  if (*device >= visible) return usage("GPU " + std::to_string(*device) + " is not visible");

  // Telemetry when the driver's NVML is there; without it the fields are left out.
  const std::unique_ptr<TelemetrySource> nvml = open_nvml(gpu_bus_ids());
  const BenchRun run = measure_bench(int(*device), shapes, int(*reps), int(*attempts), nvml.get());
  const std::vector<std::string> lines = bench_json_lines(run);
  if (opt.has("json")) {
    for (const std::string& line : lines) std::printf("%s\n", line.c_str());
  } else {
    std::fputs(bench_table(run).c_str(), stdout);
  }
  std::fflush(stdout);
  for (const ShapeBench& s : run.shapes) {
    if (!throttled_during(s)) continue;
    std::fprintf(stderr,
                 "qkmine bench: warning: GPU %d was throttled while %dx%dx%d was measured (%s): those figures are "
                 "below what it sustains unthrottled\n",
                 int(*device), s.m, s.n, s.k, telemetry_text(*s.telemetry).c_str());
  }
  if (opt.has("plot")) {
    const std::string failed = draw_plot(lines, plot);
    if (!failed.empty()) {
      std::fprintf(stderr, "qkmine bench: cannot draw %s: %s\n", plot.c_str(), failed.c_str());
      return kExitFailed;
    }
  }
  return kExitOk;
}

}  // namespace

CommandSpec bench_command() {
  return {"bench",
          "time the stages, the B-only attempt rates and the search pass beside cuBLASLt on a GPU (exit 3: no GPU)",
          kUsage,
          {{"device", "N", "GPU ordinal", "0"},
           {"shapes", "MxNxK,...", "shapes to measure", kShapes},
           {"reps", "R", "search passes per timing, 1 to 100000", "20"},
           {"attempts", "A", "attempts per profile average and per B-only bench, 1 to 100000", "20"},
           {"json", nullptr, "print JSON lines: the run, then one per shape"},
           {"plot", "FILE", "also draw the TOPS per shape with matplotlib, PNG or SVG by the extension"}},
          run_bench};
}

}  // namespace qkmine
