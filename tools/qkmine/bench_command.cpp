// qkmine bench: stage times, B-only attempt rates and the search pass of each
// build beside cuBLASLt on one GPU, as a table, JSON lines or a PNG plot.
#include <cstdio>
#include <string>
#include <vector>

#include "bench_measure.h"
#include "bench_report.h"
#include "bench_shapes.h"
#include "commands.h"
#include "devices.h"
#include "options.h"
#include "plot.h"

namespace qkmine {
namespace {

constexpr const char* kUsage =
    "usage: qkmine bench [--device N] [--shapes MxNxK,...] [--reps R] [--attempts A] [--json] [--plot FILE.png]\n";

int usage(const std::string& why) {
  std::fprintf(stderr, "qkmine bench: %s\n%s", why.c_str(), kUsage);
  return kExitUsage;
}

}  // namespace

int run_bench(const std::vector<std::string>& args) {
  Options opt;
  std::string error;
  if (!opt.parse(args, 2, {"device", "shapes", "reps", "attempts", "plot"}, {"json"}, error)) return usage(error);
  const auto device = opt.has("device") ? opt.integer("device") : std::optional<int64_t>(0);
  if (!device || *device < 0) return usage("--device takes a GPU ordinal");
  const auto reps = opt.has("reps") ? opt.integer("reps") : std::optional<int64_t>(20);
  if (!reps || *reps < 1 || *reps > 100000) return usage("--reps takes 1 to 100000");
  const auto attempts = opt.has("attempts") ? opt.integer("attempts") : std::optional<int64_t>(20);
  if (!attempts || *attempts < 1 || *attempts > 100000) return usage("--attempts takes 1 to 100000");
  std::vector<BenchShape> shapes;
  const std::string problem = parse_shapes(opt.text("shapes").value_or("4096x4096x2048,8192x8192x2048,16384x16384x2048"), shapes);
  if (!problem.empty()) return usage(problem);
  if (opt.has("plot") && opt.text("plot")->empty()) return usage("--plot takes a file name");

  const int visible = visible_gpus();
  if (visible == 0) {
    std::fprintf(stderr, "qkmine bench: no CUDA device visible; nothing to measure\n");
    return kExitNoGpu;
  }
  if (*device >= visible) return usage("GPU " + std::to_string(*device) + " is not visible");

  const BenchRun run = measure_bench(int(*device), shapes, int(*reps), int(*attempts));
  if (opt.has("json")) {
    for (const std::string& line : bench_json_lines(run)) std::printf("%s\n", line.c_str());
  } else {
    std::fputs(bench_table(run).c_str(), stdout);
  }
  if (opt.has("plot") && !write_png(render_plot(bench_plot_data(run)), *opt.text("plot"))) {
    std::fprintf(stderr, "qkmine bench: cannot write %s\n", opt.text("plot")->c_str());
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace qkmine
