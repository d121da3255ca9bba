#include "gpu_info.h"

#include <cuda_runtime_api.h>

#include <cstdio>

#include "gpu_builds.h"
#include "int8_peak.h"
#include "variant_choice.h"

namespace qkmine {

std::optional<GpuInfo> describe_gpu(int index, const char* forced) {
  cudaDeviceProp prop{};
  if (cudaGetDeviceProperties(&prop, index) != cudaSuccess) {
    (void)cudaGetLastError();
    return std::nullopt;
  }
  GpuInfo g;
  g.index = index;
  g.name = prop.name;
  g.major = prop.major, g.minor = prop.minor;
  g.memory_bytes = prop.totalGlobalMem;
  g.sms = prop.multiProcessorCount;
  int khz = 0;
  if (cudaDeviceGetAttribute(&khz, cudaDevAttrClockRate, index) == cudaSuccess) g.clock_mhz = khz / 1000.0;
  char bus[32] = "";
  if (cudaDeviceGetPCIBusId(bus, sizeof bus, index) == cudaSuccess) g.pci_bus_id = bus;
  (void)cudaGetLastError();
  const int variant = quorl::choose_variant(forced, true, g.major, g.minor);
  g.build = build_name(variant);
  g.build_forced = quorl::forced_variant(forced) >= 0;
  for (const BuildInfo& b : runnable_builds(g.major, g.minor)) g.builds.push_back(b.name);
  g.peak_int8_tops = int8_dense_peak_tops(g.major, g.minor, g.sms, g.clock_mhz);
  return g;
}

std::string devices_table(const std::vector<GpuInfo>& gpus) {
  std::string out;
  char line[512];
  for (const GpuInfo& g : gpus) {
    std::string builds;
    for (const std::string& b : g.builds) builds += (builds.empty() ? "" : ",") + b;
    const std::string peak = g.peak_int8_tops ? std::to_string(int(*g.peak_int8_tops + 0.5)) + " TOPS" : "unknown";
    std::snprintf(line, sizeof line,
                  "gpu:%d  %s  cc %d.%d  %.1f GiB  %d SMs  %.0f MHz  int8 peak %s  build %s%s  runs %s\n", g.index,
                  g.name.c_str(), g.major, g.minor, double(g.memory_bytes) / double(1ull << 30), g.sms, g.clock_mhz,
                  peak.c_str(), g.build.c_str(), g.build_forced ? " (QUORL_KERNEL_VARIANT)" : "",
                  builds.empty() ? "none (before sm_80)" : builds.c_str());
    out += line;
  }
  return out;
}

nlohmann::ordered_json devices_json(const std::vector<GpuInfo>& gpus) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const GpuInfo& g : gpus) {
    nlohmann::ordered_json d = {{"index", g.index},
                                {"device", "gpu:" + std::to_string(g.index)},
                                {"name", g.name},
                                {"pci_bus_id", g.pci_bus_id},
                                {"compute_capability", std::to_string(g.major) + "." + std::to_string(g.minor)},
                                {"memory_bytes", g.memory_bytes},
                                {"multiprocessors", g.sms},
                                {"clock_mhz", g.clock_mhz},
                                {"peak_int8_tops", nullptr},
                                {"build", g.build},
                                {"build_forced", g.build_forced},
                                {"builds", g.builds}};
    if (g.peak_int8_tops) d["peak_int8_tops"] = *g.peak_int8_tops;
    list.push_back(std::move(d));
  }
  return {{"devices", std::move(list)}};
}

}  // namespace qkmine
