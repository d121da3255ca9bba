#include "gpu_context.h"

#include <cuda_runtime_api.h>

#include <cstdlib>
#include <mutex>
#include <vector>

#include "quorl_ref/grid.hpp"

namespace qkmine {
namespace {

// QUORL_KERNEL_VARIANT is process state: contexts forcing a build are created
// one at a time, and the caller's own value is put back.
std::mutex g_variant_env;

}  // namespace

GpuContext::GpuContext(int device, int m, int n, int k, const char* build) {
  const std::vector<int32_t> rows = quorl::ref::standard_row_groups(m);
  const std::vector<int32_t> cols = quorl::ref::standard_col_groups(n);
  const int row_groups = quorl::ref::standard_grid_rows(m), col_groups = quorl::ref::standard_grid_cols(n);
  if (build == nullptr) {
    handle_ = qk_init(device, m, n, k, row_groups, col_groups, rows.data(), cols.data());
    return;
  }
  std::lock_guard<std::mutex> lock(g_variant_env);
  const char* before = std::getenv("QUORL_KERNEL_VARIANT");
  const std::string saved = before ? before : "";
  ::setenv("QUORL_KERNEL_VARIANT", build, 1);
  handle_ = qk_init(device, m, n, k, row_groups, col_groups, rows.data(), cols.data());
  if (before) ::setenv("QUORL_KERNEL_VARIANT", saved.c_str(), 1);
  else ::unsetenv("QUORL_KERNEL_VARIANT");
}

std::string cuda_error_text(int status) {
  return "CUDA error " + std::to_string(status) + " (" + cudaGetErrorString(cudaError_t(status)) + ")";
}

bool gpu_properties(int device, std::string& name, int& major, int& minor) {
  cudaDeviceProp prop{};
  if (cudaGetDeviceProperties(&prop, device) != cudaSuccess) return false;
  name = prop.name;
  major = prop.major;
  minor = prop.minor;
  return true;
}

}  // namespace qkmine
