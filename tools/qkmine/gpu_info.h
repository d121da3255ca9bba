// What `qkmine devices` and `qkmine bench` say about a GPU: what CUDA
// reports of it, the build the dispatcher picks, the builds qkmine runs on
// it and its int8 peak.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace qkmine {

struct GpuInfo {
  int index = 0;  // CUDA ordinal
  std::string name, pci_bus_id;
  int major = 0, minor = 0;
  uint64_t memory_bytes = 0;
  int sms = 0;
  double clock_mhz = 0;  // the SM clock's peak, as CUDA reports it
  std::string build;     // the dispatcher's choice (QUORL_KERNEL_VARIANT honoured)
  bool build_forced = false;
  std::vector<std::string> builds;  // the device's own build, then fallback
  std::optional<double> peak_int8_tops;
};

// nullopt when CUDA cannot describe the ordinal. `forced` is
// QUORL_KERNEL_VARIANT (null: unset).
std::optional<GpuInfo> describe_gpu(int index, const char* forced);

// A table for people, one line per GPU.
std::string devices_table(const std::vector<GpuInfo>& gpus);
// {"devices":[{...}, ...]}
nlohmann::ordered_json devices_json(const std::vector<GpuInfo>& gpus);

}  // namespace qkmine
