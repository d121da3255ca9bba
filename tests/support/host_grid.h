// Runs a kernel's per-thread body on the host over the kernel's exact
// one-dimensional launch grid.
#pragma once

#include "../../cuda/common/launch_shape.h"

namespace quorl::test {

template <class Body>
void run_grid(LaunchShape shape, Body&& body) {
  for (uint32_t b = 0; b < shape.grid; ++b) {
    for (uint32_t t = 0; t < shape.block; ++t) body(Thread1D{b, shape.block, t});
  }
}

}  // namespace quorl::test
