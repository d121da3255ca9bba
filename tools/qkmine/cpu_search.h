// The search pass on the host: every cell message of the standard grid over
// the noised operands, each hashed with a_seed and compared with the target.
#pragma once

#include <array>
#include <cstdint>

#include "quorl_ref/attempt.hpp"

namespace qkmine {

struct CpuHit {
  int32_t found = -1;  // lowest grid index that met the target, or -1
  std::array<uint32_t, 16> message{};
  quorl::ref::Cv hash{};
};

CpuHit cpu_search(const quorl::ref::AttemptOperands& op, quorl::ref::Dims d,
                  const quorl::ref::Cv& target);

}  // namespace qkmine
