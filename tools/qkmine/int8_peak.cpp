#include "int8_peak.h"

namespace qkmine {
namespace {

// From vendor figures (dense int8 TOPS / (SMs x boost clock)): A100 624 at
// 108 x 1410 MHz; A10 250 at 72 x 1695 MHz; L40S 733 at 142 x 2520 MHz and
// RTX 4090 661 at 128 x 2520 MHz; H100 SXM 1979 at 132 x 1830 MHz and
// H100 PCIe 1513 at 114 x 1620 MHz; RTX 5090 838 at 170 x 2407 MHz. Some
// products are rated below their generation's rate (L40: half), so their
// percent of peak reads low.
struct Rate {
  int major, minor, ops;
};
constexpr Rate kRates[] = {
    {8, 0, 4096},  // A100, A30
    {8, 6, 2048},  // A10, A40, RTX 30
    {8, 9, 2048},  // L4, L40S, RTX 40
    {9, 0, 8192},  // H100, H200
    {12, 0, 2048}, // RTX 50, RTX PRO Blackwell
};

}  // namespace

std::optional<int> int8_ops_per_clock_per_sm(int major, int minor) {
  for (const Rate& r : kRates) {
    if (r.major == major && r.minor == minor) return r.ops;
  }
  return std::nullopt;
}

std::optional<double> int8_dense_peak_tops(int major, int minor, int sms, double clock_mhz) {
  const std::optional<int> ops = int8_ops_per_clock_per_sm(major, minor);
  if (!ops || sms <= 0 || !(clock_mhz > 0)) return std::nullopt;
  return double(*ops) * sms * clock_mhz * 1e6 / 1e12;
}

}  // namespace qkmine
