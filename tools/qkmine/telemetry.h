// What a GPU reports of itself while it works: temperature, power draw, SM
// clock and why its clocks are held down. Every field is optional: a GPU
// or driver that does not report one, or a machine without NVML, leaves it
// out, and so does every output that shows it.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace qkmine {

struct GpuTelemetry {
  std::optional<unsigned> temperature_c;
  std::optional<double> power_w;
  std::optional<unsigned> sm_clock_mhz;
  std::optional<uint64_t> throttle_reasons;  // NVML's clock event reasons, a bit mask
};

// The reasons that slow the GPU (power cap, thermal and hardware
// slowdowns), as opposed to idling or clocks set by the user.
bool throttled(uint64_t reasons);
// "power cap", "hw thermal", ... for each bit set, in bit order.
std::vector<std::string> throttle_reason_names(uint64_t reasons);

// "63 C, 287 W, 1980 MHz, throttled: power cap"; "" when nothing is known.
std::string telemetry_text(const GpuTelemetry& t);
// The known fields: temperature_c, power_w, sm_clock_mhz, throttle_reasons
// (names) and throttled.
nlohmann::ordered_json telemetry_json(const GpuTelemetry& t);

// Where telemetry comes from: NVML (nvml_telemetry.h), or a stand-in.
class TelemetrySource {
 public:
  virtual ~TelemetrySource() = default;
  // The GPU with CUDA ordinal `gpu`; nullopt when it is unknown to the source.
  virtual std::optional<GpuTelemetry> read(int gpu) = 0;
};

}  // namespace qkmine
