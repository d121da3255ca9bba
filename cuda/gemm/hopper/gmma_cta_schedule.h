// The copy and k-tile schedule of gemm_gmma_cta_g. Each thread copies
// 16-byte pieces of a k-tile into a two-stage ring; the three warp groups
// multiply one stage while the other fills. `Steps` performs each step: in
// the kernel with cp.async and wgmma, in the host emulation by those
// instructions' semantics, so this order is proved before it runs on a GPU.
#pragma once

#include <cstdint>

#include "../../common/host_device.h"
#include "../fold_schedule.h"
#include "../pipeline_state.h"
#include "engine_config.h"

namespace quorl::hopper {

// Where thread `thread`'s 16-byte pieces of k-tile `ktile` of a `rows`-row
// operand go: `issue(source, dest, inside)` gets the piece's byte offset in
// the matrix (`stride` bytes a row, the tile's first row `first_row`), its
// byte offset in the stage and whether the row is below `limit`. Rows at or
// past `limit` are zero-filled from offset 0 and never read. 96 rows x 4
// pieces per pass of the 384 threads; Swizzle<2, 4, 3> moves whole 16-byte
// pieces, so each stays contiguous.
template <int rows, class Issue>
QK_HD void copy_stage(int thread, int64_t stride, int first_row, int limit, int ktile,
                      Issue&& issue) {
  using Config = GmmaCtaConfig;
  const int row_in_pass = thread / 4;
  const int byte = 16 * (thread % 4);
  QK_UNROLL
  for (int pass = 0; pass < (rows + Config::kCopyRows - 1) / Config::kCopyRows; ++pass) {
    const int row = pass * Config::kCopyRows + row_in_pass;
    if (row < rows) {
      const bool inside = first_row + row < limit;
      const int64_t source =
          inside ? int64_t(first_row + row) * stride + int64_t(Config::kDepth) * ktile + byte : 0;
      const int offset = row * Config::kDepth + byte;
      issue(source, offset ^ ((offset >> 3) & 0x30), inside);
    }
  }
}

template <class Steps>
QK_HD void run_gmma_cta_k_tiles(Steps& steps, int ktiles) {
  using Config = GmmaCtaConfig;
  gemm::PipelineState<Config::kStages> read, write;  // the stage multiplied, the stage filled next
  steps.load_k_tile(0, write.index);
  write.advance();
  steps.publish_copies();
  for (int j = 0; j < ktiles; ++j) {
    steps.multiply(read.index);
    // Every warp group must be done with k-tile j - 1 before its stage is
    // refilled: B is read by all three, so a warp group's own wait is not enough.
    steps.template wait_mma<1>();
    steps.barrier();
    if (j + 1 < ktiles) steps.load_k_tile(j + 1, write.index);
    write.advance();
    const int slice = gemm::completed_slice<Config::kDepth>(j);
    if (slice >= 0) {
      steps.template wait_mma<0>();
      steps.fold(slice);
    }
    steps.publish_copies();
    read.advance();
  }
  steps.template wait_mma<0>();
}

}  // namespace quorl::hopper
