// The measurements of the mining drivers that the benchmarks and `qkmine
// bench` share: the profile calls' stage times, the full and B-only attempt
// rates, and the search pass over uploaded operands. Each takes a context
// of whichever build the caller opened and reports a failed call by its
// result instead of a figure.
#pragma once

#include <cstdint>
#include <vector>

#include "quorl_kernel.h"

namespace quorl::bench {

constexpr int kFullStages = 8, kBonlyStages = 12;
inline constexpr const char* kFullStageNames[kFullStages] = {"upload", "generate", "commit", "seeds",
                                                             "noise",  "search",   "result", "total"};
inline constexpr const char* kBonlyStageNames[kBonlyStages] = {
    "mutate", "seeds", "noise_a_table", "selectors_a", "fuse_a", "noise_b_table",
    "selectors_b", "fuse_b", "noise", "search", "result", "total"};

// qk_mine_full_profile's stage times in ms, averaged over `attempts` after a
// warm-up, against a target nothing meets (every cell is hashed). False,
// with `ms` zeroed, when a profile failed.
bool full_stage_ms(QkHandle* h, int attempts, double ms[kFullStages]);

// qk_prepare_a, then qk_mine_full_bonly_profile's stage times likewise.
bool bonly_stage_ms(QkHandle* h, int attempts, double ms[kBonlyStages]);

// Full attempts per second with qk_mine_full back to back (host clock,
// overlap included); negative when the attempts failed.
double full_attempts_per_s(QkHandle* h, int attempts);

// B-only attempts per second from qk_bench_bonly_batch and
// qk_bench_bonly_pipeline (CUDA events) on the prepared context; negative
// when the bench failed.
double bonly_batch_per_s(QkHandle* h, int attempts);
double bonly_pipeline_per_s(QkHandle* h, int attempts);

// Uploads a and b with qk_mine (the warm-up), then milliseconds per search
// pass over `reps` passes (search_timing.h); negative on failure.
double search_ms(QkHandle* h, const std::vector<int8_t>& a, const std::vector<int8_t>& b, int reps);

}  // namespace quorl::bench
