#include "int8_peaks.h"

namespace qkmine {
namespace {

struct Peak {
  const char* name_part;  // matched against the CUDA device name; first match wins
  double tops;
};

// More specific names first ("H100 PCIe" before "H100", "L40S" before "L40").
constexpr Peak kPeaks[] = {
    {"H100 PCIe", 1513}, {"H100 NVL", 1671}, {"H100", 1979}, {"H200", 1979}, {"GH200", 1979},
    {"H800", 1979},      {"A100", 624},      {"A800", 624},  {"A30", 330},
    {"A10", 250},        {"L40S", 733},      {"L40", 362},   {"L4", 242},    {"RTX 4090", 661},
    {"RTX 6000 Ada", 729},
};

}  // namespace

std::optional<double> int8_dense_peak_tops(const std::string& device_name) {
  for (const Peak& p : kPeaks) {
    if (device_name.find(p.name_part) != std::string::npos) return p.tops;
  }
  return std::nullopt;
}

}  // namespace qkmine
