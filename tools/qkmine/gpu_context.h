// A context with the standard hash grid on one GPU, optionally on a named
// build, released when it goes out of scope.
#pragma once

#include <string>

#include "quorl_kernel.h"

namespace qkmine {

class GpuContext {
 public:
  // `build` null: the build the library picks (QUORL_KERNEL_VARIANT or the
  // device's compute capability). Check ok() afterwards.
  GpuContext(int device, int m, int n, int k, const char* build = nullptr);
  ~GpuContext() { qk_free(handle_); }
  GpuContext(const GpuContext&) = delete;
  GpuContext& operator=(const GpuContext&) = delete;

  bool ok() const { return handle_ != nullptr; }
  QkHandle* get() const { return handle_; }
  int variant() const { return handle_->variant; }

 private:
  QkHandle* handle_ = nullptr;
};

// "CUDA error 700 (an illegal memory access was encountered)".
std::string cuda_error_text(int status);

// "NVIDIA H100 80GB HBM3", and its compute capability; false without one.
bool gpu_properties(int device, std::string& name, int& major, int& minor);

}  // namespace qkmine
