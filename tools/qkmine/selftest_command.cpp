// qkmine selftest: every build the GPU can run (its own and fallback) against
// the reference model on small shapes; a table of pass/fail per call and
// build. Exit 0 when every check passes, 1 when one fails, 3 without a GPU.
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "commands.h"
#include "devices.h"
#include "gpu_builds.h"
#include "gpu_context.h"
#include "selftest_checks.h"

namespace qkmine {
namespace {

constexpr const char* kUsage = "usage: qkmine selftest [--device N] [--json]\n";

int usage(const std::string& why) { return usage_error("selftest", kUsage, why); }

int run_selftest(const OptionValues& opt) {
  const auto device = opt.has("device") ? opt.integer("device") : std::optional<int64_t>(0);
  if (!device || *device < 0) return usage("--device takes a GPU ordinal");
  const bool json = opt.has("json");
  const int visible = visible_gpus();
  if (visible == 0) {
    std::fprintf(stderr, "qkmine selftest: no CUDA device visible; nothing to test\n");
    return kExitNoGpu;
  }
  if (*device >= visible) return usage("GPU " + std::to_string(*device) + " is not visible");
  std::string name;
  int major = 0, minor = 0;
  gpu_properties(int(*device), name, major, minor);
  const std::vector<BuildInfo> builds = runnable_builds(major, minor);
  const SearchMode mode = search_mode_from_env();
  if (builds.empty()) {
    std::fprintf(stderr, "qkmine selftest: %s (cc %d.%d) is older than sm_80; no build runs on it\n",
                 name.c_str(), major, minor);
    return kExitFailed;
  }
  if (!json) {
    std::printf("selftest on GPU %d: %s (cc %d.%d), search mode %s\n", int(*device), name.c_str(), major, minor,
                search_mode_name(mode));
  }

  // call -> build -> every shape passed; failures listed after the table.
  std::vector<std::string> calls;
  std::map<std::string, std::map<std::string, bool>> table;
  std::vector<std::string> failures;
  bool all_pass = true;
  for (const BuildInfo& build : builds) {
    for (const SelftestShape& shape : kSelftestShapes) {
      for (const CheckResult& r : run_checks(int(*device), build, shape, mode)) {
        if (!table.count(r.call)) calls.push_back(r.call);
        auto& cell = table[r.call];
        cell[build.name] = (cell.count(build.name) ? cell[build.name] : true) && r.pass;
        all_pass = all_pass && r.pass;
        if (!r.pass) failures.push_back(std::string(build.name) + " " + r.call + " " + shape.text() + ": " + r.detail);
        if (json) {
          nlohmann::ordered_json line = {
              {"build", build.name}, {"shape", shape.text()}, {"call", r.call}, {"pass", r.pass}};
          if (!r.pass) line["detail"] = r.detail;
          std::printf("%s\n", line.dump().c_str());
        }
      }
    }
  }
  if (json) {
    const nlohmann::ordered_json last = {
        {"selftest", true}, {"device", name}, {"mode", search_mode_name(mode)}, {"pass", all_pass}};
    std::printf("%s\n", last.dump().c_str());
    return all_pass ? kExitOk : kExitFailed;
  }
  std::printf("%-26s", "call");
  for (const BuildInfo& build : builds) std::printf(" %-9s", build.name);
  std::printf("\n");
  for (const std::string& call : calls) {
    std::printf("%-26s", call.c_str());
    for (const BuildInfo& build : builds) {
      const auto& row = table[call];
      std::printf(" %-9s", !row.count(build.name) ? "-" : row.at(build.name) ? "pass" : "FAIL");
    }
    std::printf("\n");
  }
  for (const std::string& f : failures) std::printf("FAIL %s\n", f.c_str());
  std::printf("%s\n", all_pass ? "all checks passed" : "some checks FAILED");
  return all_pass ? kExitOk : kExitFailed;
}

}  // namespace

CommandSpec selftest_command() {
  return {"selftest",
          "check every build the GPU runs against the reference model (exit 3: no GPU)",
          kUsage,
          {{"device", "N", "GPU ordinal", "0"}, {"json", nullptr, "print one JSON object per check, then a verdict"}},
          run_selftest};
}

}  // namespace qkmine
