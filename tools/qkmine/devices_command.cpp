// qkmine devices: every visible GPU with what qkmine would run on it.
#include <cstdio>
#include <cstdlib>

#include "commands.h"
#include "devices.h"
#include "gpu_info.h"

namespace qkmine {
namespace {

constexpr const char* kUsage = "usage: qkmine devices [--json]\n";

int run_devices(const OptionValues& opt) {
  const int visible = visible_gpus();
  if (visible == 0) {
    std::fprintf(stderr, "qkmine devices: no CUDA device visible\n");
    return kExitNoGpu;
  }
  std::vector<GpuInfo> gpus;
  for (int i = 0; i < visible; ++i) {
    if (const std::optional<GpuInfo> g = describe_gpu(i, std::getenv("QUORL_KERNEL_VARIANT"))) gpus.push_back(*g);
    else std::fprintf(stderr, "qkmine devices: CUDA cannot describe GPU %d\n", i);
  }
  if (opt.has("json")) std::printf("%s\n", devices_json(gpus).dump().c_str());
  else std::fputs(devices_table(gpus).c_str(), stdout);
  return gpus.size() == size_t(visible) ? kExitOk : kExitFailed;
}

}  // namespace

CommandSpec devices_command() {
  return {"devices",
          "list every visible GPU: name, compute capability, memory, its build and the builds it runs (exit 3: no GPU)",
          kUsage,
          {{"json", nullptr, "print one JSON object"}},
          run_devices};
}

}  // namespace qkmine
