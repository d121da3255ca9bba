// Where a walk around a ring of shared stages stands: the stage and the
// parity of the barrier phase that stage is in, flipping at every wrap. The
// one pipeline state of every GEMM engine (the label GEMM's copy and read
// positions, the 192-row engine's two stages, the fused engine's TMA ring).
#pragma once

#include <cstdint>

#include "../common/host_device.h"

namespace quorl::gemm {

template <int kStages_>
struct PipelineState {
  static constexpr int kStages = kStages_;
  static_assert(kStages > 0, "a ring has stages");

  int index = 0;
  uint32_t phase = 0;

  QK_HD void advance() {
    if (++index == kStages) {
      index = 0;
      phase ^= 1;
    }
  }
};

}  // namespace quorl::gemm
