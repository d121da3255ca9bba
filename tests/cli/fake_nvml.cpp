// A stand-in for the driver's NVML with the calls qkmine makes, for its
// telemetry tests: two GPUs by PCI bus id, the second reporting only its
// clock. Built as a shared library and loaded with dlopen, as the real one.
#include <nvml.h>

#include <cstring>

namespace {

constexpr const char* kFirst = "00000000:01:00.0";
constexpr const char* kSecond = "00000000:02:00.0";

nvmlDevice_t device(int n) { return reinterpret_cast<nvmlDevice_t>(static_cast<size_t>(n)); }
int number(nvmlDevice_t d) { return int(reinterpret_cast<size_t>(d)); }

}  // namespace

extern "C" {

nvmlReturn_t nvmlInit_v2() { return NVML_SUCCESS; }
nvmlReturn_t nvmlShutdown() { return NVML_SUCCESS; }
const char* nvmlErrorString(nvmlReturn_t) { return "stand-in error"; }

nvmlReturn_t nvmlDeviceGetHandleByPciBusId_v2(const char* bus_id, nvmlDevice_t* out) {
  if (std::strcmp(bus_id, kFirst) == 0) return *out = device(1), NVML_SUCCESS;
  if (std::strcmp(bus_id, kSecond) == 0) return *out = device(2), NVML_SUCCESS;
  return NVML_ERROR_NOT_FOUND;
}
nvmlReturn_t nvmlDeviceGetTemperature(nvmlDevice_t d, nvmlTemperatureSensors_t, unsigned* celsius) {
  if (number(d) != 1) return NVML_ERROR_NOT_SUPPORTED;
  return *celsius = 71, NVML_SUCCESS;
}
nvmlReturn_t nvmlDeviceGetPowerUsage(nvmlDevice_t d, unsigned* milliwatts) {
  if (number(d) != 1) return NVML_ERROR_NOT_SUPPORTED;
  return *milliwatts = 349500, NVML_SUCCESS;
}
nvmlReturn_t nvmlDeviceGetClockInfo(nvmlDevice_t d, nvmlClockType_t type, unsigned* mhz) {
  if (type != NVML_CLOCK_SM) return NVML_ERROR_INVALID_ARGUMENT;
  return *mhz = number(d) == 1 ? 1755 : 1980, NVML_SUCCESS;
}
nvmlReturn_t nvmlDeviceGetCurrentClocksThrottleReasons(nvmlDevice_t d, unsigned long long* reasons) {
  if (number(d) != 1) return NVML_ERROR_NOT_SUPPORTED;
  return *reasons = nvmlClocksEventReasonSwPowerCap | nvmlClocksEventReasonGpuIdle, NVML_SUCCESS;
}

}  // extern "C"
