// A context with the standard hash grid on one GPU, released when it goes
// out of scope: on the build the library picks (qk_init), or on a named
// build opened through that build's exported initialiser (qk_init_<build>),
// so one process can run every build a GPU runs without touching the
// environment.
#pragma once

#include <string>

#include "quorl_kernel.h"

namespace qkmine {

class GpuContext {
 public:
  // The library's choice: QUORL_KERNEL_VARIANT or the device's compute
  // capability. Check ok() afterwards.
  GpuContext(int device, int m, int n, int k);
  // Build `variant` (enum QkVariant), whatever the environment says.
  GpuContext(int device, int m, int n, int k, int variant);
  ~GpuContext();
  GpuContext(const GpuContext&) = delete;
  GpuContext& operator=(const GpuContext&) = delete;

  bool ok() const { return get() != nullptr; }
  // For every undecorated qk_ call except qk_free.
  QkHandle* get() const;
  int variant() const { return get()->variant; }

 private:
  QkHandle* chosen_ = nullptr;  // from qk_init, released with qk_free
  // A named build's context in a handle of qkmine's own: the dispatching
  // calls read only the build number and the context (quorl_kernel.h).
  QkHandle named_{};
};

// "CUDA error 700 (an illegal memory access was encountered)".
std::string cuda_error_text(int status);

// "NVIDIA H100 80GB HBM3", and its compute capability; false without one.
bool gpu_properties(int device, std::string& name, int& major, int& minor);

}  // namespace qkmine
