#include "nvml_telemetry.h"

#include <cuda_runtime_api.h>
#include <dlfcn.h>
#include <nvml.h>

namespace qkmine {
namespace {

// The functions qkmine calls, typed by nvml.h. nvmlDeviceGetTemperature
// and the throttle-reason call are deprecated names that every driver
// still exports; their successors are missing from older drivers.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
struct NvmlCalls {
  decltype(&nvmlInit_v2) init;
  decltype(&nvmlShutdown) shutdown;
  decltype(&nvmlErrorString) error_string;
  decltype(&nvmlDeviceGetHandleByPciBusId_v2) handle_by_bus_id;
  decltype(&nvmlDeviceGetTemperature) temperature;
  decltype(&nvmlDeviceGetPowerUsage) power_mw;
  decltype(&nvmlDeviceGetClockInfo) clock_mhz;
  decltype(&nvmlDeviceGetCurrentClocksThrottleReasons) throttle_reasons;
};
#pragma GCC diagnostic pop

class NvmlTelemetry : public TelemetrySource {
 public:
  NvmlTelemetry(void* library, const NvmlCalls& calls) : library_(library), nvml_(calls) {}
  ~NvmlTelemetry() override {
    nvml_.shutdown();
    ::dlclose(library_);
  }
  void add(int gpu, nvmlDevice_t device) { devices_[gpu] = device; }

  std::optional<GpuTelemetry> read(int gpu) override {
    const auto it = devices_.find(gpu);
    if (it == devices_.end()) return std::nullopt;
    GpuTelemetry t;
    unsigned value = 0;
    unsigned long long reasons = 0;
    if (nvml_.temperature(it->second, NVML_TEMPERATURE_GPU, &value) == NVML_SUCCESS) t.temperature_c = value;
    if (nvml_.power_mw(it->second, &value) == NVML_SUCCESS) t.power_w = value / 1000.0;
    if (nvml_.clock_mhz(it->second, NVML_CLOCK_SM, &value) == NVML_SUCCESS) t.sm_clock_mhz = value;
    if (nvml_.throttle_reasons(it->second, &reasons) == NVML_SUCCESS) t.throttle_reasons = reasons;
    return t;
  }

 private:
  void* library_;
  NvmlCalls nvml_;
  std::map<int, nvmlDevice_t> devices_;
};

template <class F>
bool find(void* library, const char* name, F& out) {
  out = reinterpret_cast<F>(::dlsym(library, name));
  return out != nullptr;
}

void fail(std::string* why, std::string text) {
  if (why != nullptr) *why = std::move(text);
}

}  // namespace

std::unique_ptr<TelemetrySource> open_nvml(const std::map<int, std::string>& bus_ids, std::string* why,
                                           const char* library) {
  void* handle = ::dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* error = ::dlerror();
    fail(why, std::string("cannot load ") + library + (error ? std::string(": ") + error : ""));
    return nullptr;
  }
  NvmlCalls calls{};
  const bool complete = find(handle, "nvmlInit_v2", calls.init) && find(handle, "nvmlShutdown", calls.shutdown) &&
                        find(handle, "nvmlErrorString", calls.error_string) &&
                        find(handle, "nvmlDeviceGetHandleByPciBusId_v2", calls.handle_by_bus_id) &&
                        find(handle, "nvmlDeviceGetTemperature", calls.temperature) &&
                        find(handle, "nvmlDeviceGetPowerUsage", calls.power_mw) &&
                        find(handle, "nvmlDeviceGetClockInfo", calls.clock_mhz) &&
                        find(handle, "nvmlDeviceGetCurrentClocksThrottleReasons", calls.throttle_reasons);
  if (!complete) {
    fail(why, std::string(library) + " lacks a function qkmine reads telemetry with");
    ::dlclose(handle);
    return nullptr;
  }
  if (const nvmlReturn_t status = calls.init(); status != NVML_SUCCESS) {
    fail(why, std::string("NVML did not start: ") + calls.error_string(status));
    ::dlclose(handle);
    return nullptr;
  }
  auto source = std::make_unique<NvmlTelemetry>(handle, calls);
  for (const auto& [gpu, bus_id] : bus_ids) {
    nvmlDevice_t device{};
    if (calls.handle_by_bus_id(bus_id.c_str(), &device) == NVML_SUCCESS) source->add(gpu, device);
  }
  return source;
}

std::map<int, std::string> gpu_bus_ids() {
  std::map<int, std::string> ids;
  int count = 0;
  if (cudaGetDeviceCount(&count) != cudaSuccess) return ids;
  for (int gpu = 0; gpu < count; ++gpu) {
    char id[32] = "";
    if (cudaDeviceGetPCIBusId(id, sizeof id, gpu) == cudaSuccess) ids[gpu] = id;
  }
  return ids;
}

}  // namespace qkmine
