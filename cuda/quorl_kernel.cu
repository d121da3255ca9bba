// The library source of one build. CMake compiles it once per build with
// QK_VARIANT set to the build's suffix and that build's GPU targets.
#include "../dispatch/build_calls.inc"
#include "blake3/compress_export.cuh"
#include "bonly/mutate_kernel.cuh"
#include "commit/commit_calls.cuh"
#include "drivers/run_calls.cuh"
#include "frame/job_calls.cuh"
#include "frame/lifecycle.cuh"
#include "gemm/hopper_engines.cuh"
#include "gen/gen_kernels.cuh"
#include "gen/noise_pipeline.cuh"
#include "pending_calls.cuh"
