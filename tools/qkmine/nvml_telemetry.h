// Telemetry from NVML, the driver's management library, loaded at run time
// with dlopen: qkmine has no link-time dependency on the driver, and a
// machine without it simply reports no telemetry.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "telemetry.h"

namespace qkmine {

constexpr const char* kNvmlLibrary = "libnvidia-ml.so.1";

// Opens `library` and finds the GPUs by their PCI bus ids (CUDA ordinal ->
// "0000:01:00.0", as cudaDeviceGetPCIBusId gives them: CUDA and NVML number
// GPUs differently). Null, with `why` set, when the library cannot be
// loaded, lacks a function or does not start.
std::unique_ptr<TelemetrySource> open_nvml(const std::map<int, std::string>& bus_ids, std::string* why = nullptr,
                                           const char* library = kNvmlLibrary);

// The PCI bus id of every visible GPU by CUDA ordinal (empty without one).
std::map<int, std::string> gpu_bus_ids();

}  // namespace qkmine
