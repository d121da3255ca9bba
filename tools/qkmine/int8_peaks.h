// Dense int8 tensor-core peaks of known GPUs (vendor figures at boost clock,
// without sparsity), to put measured TOPS in proportion.
#pragma once

#include <optional>
#include <string>

namespace qkmine {

// The peak in TOPS for a device name as CUDA reports it, or nullopt when the
// device is not in the table.
std::optional<double> int8_dense_peak_tops(const std::string& device_name);

}  // namespace qkmine
