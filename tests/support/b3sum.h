// The b3sum command as an independent BLAKE3 oracle.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quorl_ref/blake3.hpp"

namespace quorl::test {

// Hex digest b3sum prints for `data`, keyed when `key` is given. Fails the
// calling test (and returns "") if b3sum cannot be run.
std::string b3sum_hex(const std::vector<uint8_t>& data, const ref::Cv* key = nullptr);

// Deterministic pseudo-random bytes for test data.
std::vector<uint8_t> random_bytes(size_t count, uint64_t seed);
ref::Cv random_cv(uint64_t seed);

}  // namespace quorl::test
