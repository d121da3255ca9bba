// Host-side rule of the fused engine's launcher, kept pure so the tests can
// state it. The cache preference and the per-device attribute table are the
// GEMM launcher's own (../launch_env.h).
#pragma once

#include "../launch_env.h"

namespace quorl::hopper {

// CTAs per multiprocessor of the fused engine: the base-10 value of
// QUORL_HOPPER_TMA_PERSISTENT_CTAS_PER_SM when positive, else 1.
inline int persistent_ctas_per_sm(const char* text) {
  const long value = gemm::positive_value(text);
  return value > 0 && value < (1L << 16) ? int(value) : 1;
}

}  // namespace quorl::hopper
