// cuBLASLt's int8 GEMM (int8 in, int32 out) timed on the same product the
// search pass computes, for the benchmarks to stand beside. cuBLASLt is
// loaded when first asked for (libcublasLt.so.13, found through the usual
// library path), so programs that use this run where it is absent and say so.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorl::bench {

// Milliseconds per GEMM of row-major C (m x n, int32) = A (m x k) times
// B (n x k)^T on the current device: one warm-up, then `reps` back to back on
// a stream of its own between two CUDA events. Negative when cuBLASLt cannot
// be loaded or has no algorithm for the shape; `why` then says which.
float cublaslt_int8_ms(const std::vector<int8_t>& a, const std::vector<int8_t>& b, int m, int n, int k,
                       int reps, std::string* why = nullptr);

}  // namespace quorl::bench
