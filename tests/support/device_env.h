// What the device tier needs to know about the GPU at hand.
#pragma once

#include <cuda_runtime_api.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "quorl_kernel.h"
#include "quorl_ref/grid.hpp"

namespace quorl::test {

inline bool gpu_visible(std::string* why = nullptr) {
  int count = 0;
  const cudaError_t err = cudaGetDeviceCount(&count);
  if (err != cudaSuccess || count == 0) {
    if (why) *why = std::string("no CUDA device visible (") + cudaGetErrorString(err) + ")";
    return false;
  }
  return true;
}

#define QK_REQUIRE_GPU()                               \
  do {                                                 \
    std::string why_;                                  \
    if (!::quorl::test::gpu_visible(&why_)) GTEST_SKIP() << why_; \
  } while (0)

struct BuildName {
  const char* name;
  int variant;
};

// The builds device 0 can run: its own, and fallback (sm_80 and later).
inline std::vector<BuildName> runnable_builds() {
  cudaDeviceProp prop{};
  if (cudaGetDeviceProperties(&prop, 0) != cudaSuccess) return {};
  std::vector<BuildName> builds;
  if (prop.major == 8 && prop.minor == 9) builds.push_back({"sm89", QK_VARIANT_SM89});
  if (prop.major == 9) builds.push_back({"h100tma", QK_VARIANT_H100TMA});
  if (prop.major == 12) builds.push_back({"sm120a", QK_VARIANT_SM120A});
  if (prop.major >= 8) builds.push_back({"fallback", QK_VARIANT_FALLBACK});
  return builds;
}

// A build whose code device 0 cannot run, to force through
// QUORL_KERNEL_VARIANT: sm120a (sm_120a code, compute_120 PTX) on anything
// below compute capability 12. From 12 on every build runs (the others carry
// PTX of lower targets), so there is none.
inline std::optional<BuildName> build_out_of_reach(std::string* why = nullptr) {
  cudaDeviceProp prop{};
  if (cudaGetDeviceProperties(&prop, 0) != cudaSuccess) return std::nullopt;
  if (prop.major < 12) return BuildName{"sm120a", QK_VARIANT_SM120A};
  if (why) *why = "compute capability " + std::to_string(prop.major) + "." +
                  std::to_string(prop.minor) + " runs every build";
  return std::nullopt;
}

// Takes nearly all free device memory for the life of the object.
struct MemoryHog {
  void* block = nullptr;
  MemoryHog() {
    size_t free_bytes = 0, total = 0;
    cudaMemGetInfo(&free_bytes, &total);
    for (size_t size = free_bytes; size > (size_t(1) << 20) && block == nullptr;
         size -= size_t(1) << 20) {
      if (cudaMalloc(&block, size) != cudaSuccess) {
        block = nullptr;
        cudaGetLastError();
      }
    }
  }
  ~MemoryHog() { cudaFree(block); }
  MemoryHog(const MemoryHog&) = delete;
  MemoryHog& operator=(const MemoryHog&) = delete;
};

// A context on device 0 for `build` with the standard grid labelling.
inline QkHandle* open_standard(const BuildName& build, int m, int n, int k) {
  ::setenv("QUORL_KERNEL_VARIANT", build.name, 1);
  const std::vector<int32_t> rows = ref::standard_row_groups(m);
  const std::vector<int32_t> cols = ref::standard_col_groups(n);
  QkHandle* h = qk_init(0, m, n, k, ref::standard_grid_rows(m), ref::standard_grid_cols(n),
                        rows.data(), cols.data());
  ::unsetenv("QUORL_KERNEL_VARIANT");
  if (h != nullptr) EXPECT_EQ(h->variant, build.variant) << build.name;
  return h;
}

}  // namespace quorl::test
