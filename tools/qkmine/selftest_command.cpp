// qkmine selftest: every build the GPU can run (its own and fallback) against
// the reference model on small shapes; a table of pass/fail per call and
// build. Exit 0 when every check passes, 1 when one fails, 3 without a GPU.
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "commands.h"
#include "devices.h"
#include "gpu_builds.h"
#include "gpu_context.h"
#include "options.h"
#include "selftest_checks.h"

namespace qkmine {
namespace {

constexpr const char* kUsage = "usage: qkmine selftest [--device N] [--json]\n";

// Small enough for the reference model; k = 1024 also exercises the h100tma
// fused engine's own message form.
const SelftestShape kShapes[] = {{128, 256, 2048}, {256, 256, 1024}};

int usage(const std::string& why) {
  std::fprintf(stderr, "qkmine selftest: %s\n%s", why.c_str(), kUsage);
  return kExitUsage;
}

std::string escaped(const std::string& s) {
  std::string out;
  for (char c : s) out += (c == '"' || c == '\\') ? std::string("\\") + c : std::string(1, c);
  return out;
}

}  // namespace

int run_selftest(const std::vector<std::string>& args) {
  Options opt;
  std::string error;
  if (!opt.parse(args, 2, {"device"}, {"json"}, error)) return usage(error);
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
    for (const SelftestShape& shape : kShapes) {
      for (const CheckResult& r : run_checks(int(*device), build, shape, mode)) {
        if (!table.count(r.call)) calls.push_back(r.call);
        auto& cell = table[r.call];
        cell[build.name] = (cell.count(build.name) ? cell[build.name] : true) && r.pass;
        all_pass = all_pass && r.pass;
        if (!r.pass) failures.push_back(std::string(build.name) + " " + r.call + " " + shape.text() + ": " + r.detail);
        if (json) {
          std::printf("{\"build\":\"%s\",\"shape\":\"%s\",\"call\":\"%s\",\"pass\":%s%s}\n", build.name,
                      shape.text().c_str(), r.call.c_str(), r.pass ? "true" : "false",
                      r.pass ? "" : (",\"detail\":\"" + escaped(r.detail) + "\"").c_str());
        }
      }
    }
  }
  if (json) {
    std::printf("{\"selftest\":true,\"device\":\"%s\",\"mode\":\"%s\",\"pass\":%s}\n", escaped(name).c_str(),
                search_mode_name(mode), all_pass ? "true" : "false");
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

}  // namespace qkmine
