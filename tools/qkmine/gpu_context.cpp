#include "gpu_context.h"

#include <cuda_runtime_api.h>

#include <vector>

#include "quorl_ref/grid.hpp"

// Each build's exported entry points, as the library declares them.
#include "all_build_calls.inc"

namespace qkmine {
namespace {

using Init = QkCtx* (*)(int, int, int, int, int, int, const int32_t*, const int32_t*);
using Release = void (*)(QkCtx*);

struct BuildEntry {
  Init init;
  Release release;
};

BuildEntry entry(int variant) {
  switch (variant) {
    case QK_VARIANT_SM89: return {qk_init_sm89, qk_free_sm89};
    case QK_VARIANT_SM120A: return {qk_init_sm120a, qk_free_sm120a};
    case QK_VARIANT_H100TMA: return {qk_init_h100tma, qk_free_h100tma};
    case QK_VARIANT_FALLBACK: return {qk_init_fallback, qk_free_fallback};
  }
  return {nullptr, nullptr};
}

}  // namespace

GpuContext::GpuContext(int device, int m, int n, int k) {
  const std::vector<int32_t> rows = quorl::ref::standard_row_groups(m);
  const std::vector<int32_t> cols = quorl::ref::standard_col_groups(n);
  chosen_ = qk_init(device, m, n, k, quorl::ref::standard_grid_rows(m), quorl::ref::standard_grid_cols(n),
                    rows.data(), cols.data());
}

GpuContext::GpuContext(int device, int m, int n, int k, int variant) {
  const BuildEntry build = entry(variant);
  if (build.init == nullptr) return;
  const std::vector<int32_t> rows = quorl::ref::standard_row_groups(m);
  const std::vector<int32_t> cols = quorl::ref::standard_col_groups(n);
  named_.variant = variant;
  named_.ctx = build.init(device, m, n, k, quorl::ref::standard_grid_rows(m), quorl::ref::standard_grid_cols(n),
                          rows.data(), cols.data());
}

GpuContext::~GpuContext() {
  if (chosen_ != nullptr) qk_free(chosen_);
  if (named_.ctx != nullptr) entry(named_.variant).release(named_.ctx);
}

QkHandle* GpuContext::get() const {
  if (chosen_ != nullptr) return chosen_;
  return named_.ctx != nullptr ? const_cast<QkHandle*>(&named_) : nullptr;
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
