#include "telemetry.h"

#include <nvml.h>

#include <cmath>

namespace qkmine {
namespace {

// NVML's clock event reasons, with the names people read.
struct Reason {
  uint64_t bit;
  const char* name;
  bool slows;  // holds the clocks below what the work would get
};
constexpr Reason kReasons[] = {
    {nvmlClocksEventReasonGpuIdle, "idle", false},
    {nvmlClocksEventReasonApplicationsClocksSetting, "app clocks", false},
    {nvmlClocksEventReasonSwPowerCap, "power cap", true},
    {nvmlClocksThrottleReasonHwSlowdown, "hw slowdown", true},
    {nvmlClocksEventReasonSyncBoost, "sync boost", false},
    {nvmlClocksEventReasonSwThermalSlowdown, "sw thermal", true},
    {nvmlClocksThrottleReasonHwThermalSlowdown, "hw thermal", true},
    {nvmlClocksThrottleReasonHwPowerBrakeSlowdown, "power brake", true},
    {nvmlClocksEventReasonDisplayClockSetting, "display clocks", false},
};

}  // namespace

bool throttled(uint64_t reasons) {
  for (const Reason& r : kReasons) {
    if (r.slows && (reasons & r.bit)) return true;
  }
  return false;
}

std::vector<std::string> throttle_reason_names(uint64_t reasons) {
  std::vector<std::string> names;
  for (const Reason& r : kReasons) {
    if (reasons & r.bit) names.push_back(r.name);
  }
  return names;
}

std::string telemetry_text(const GpuTelemetry& t) {
  std::string out;
  auto add = [&](const std::string& part) { out += (out.empty() ? "" : ", ") + part; };
  if (t.temperature_c) add(std::to_string(*t.temperature_c) + " C");
  if (t.power_w) add(std::to_string(std::lround(*t.power_w)) + " W");
  if (t.sm_clock_mhz) add(std::to_string(*t.sm_clock_mhz) + " MHz");
  if (t.throttle_reasons && throttled(*t.throttle_reasons)) {
    std::string slowing;
    for (const Reason& r : kReasons) {
      if (r.slows && (*t.throttle_reasons & r.bit)) slowing += (slowing.empty() ? "" : "+") + std::string(r.name);
    }
    add("throttled: " + slowing);
  }
  return out;
}

nlohmann::ordered_json telemetry_json(const GpuTelemetry& t) {
  nlohmann::ordered_json out = nlohmann::ordered_json::object();
  if (t.temperature_c) out["temperature_c"] = *t.temperature_c;
  if (t.power_w) out["power_w"] = std::round(*t.power_w * 1000) / 1000;
  if (t.sm_clock_mhz) out["sm_clock_mhz"] = *t.sm_clock_mhz;
  if (t.throttle_reasons) {
    out["throttle_reasons"] = throttle_reason_names(*t.throttle_reasons);
    out["throttled"] = throttled(*t.throttle_reasons);
  }
  return out;
}

}  // namespace qkmine
