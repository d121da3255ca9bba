// A GPU's dense int8 tensor-core peak, derived from what the device says of
// itself: multiprocessors x clock x int8 operations per clock per
// multiprocessor, the last from a table by compute capability, so a new
// GPU of a known generation needs no edit.
#pragma once

#include <optional>

namespace qkmine {

// Dense (no sparsity) int8 operations per clock per multiprocessor of the
// generation's full-rate tensor cores; nullopt for a generation not in the
// table.
std::optional<int> int8_ops_per_clock_per_sm(int major, int minor);

// The peak in TOPS at `clock_mhz`; nullopt for an unknown generation or
// without a clock.
std::optional<double> int8_dense_peak_tops(int major, int minor, int sms, double clock_mhz);

}  // namespace qkmine
