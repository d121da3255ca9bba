// Builds the GPU at hand can run besides its own and fallback, so their
// kernels execute on the machines we can borrow: sm89 through its compute_89
// PTX, which the driver compiles for any newer device, and sm120a on Hopper
// when the library was configured with QK_SM120A_ON_SM90 (the GPU check's
// build compiles it for sm_90 too).
#pragma once

#include <cuda_runtime_api.h>

#include <string>

#include "quorl_kernel.h"

#ifndef QK_SM120A_ON_SM90
#define QK_SM120A_ON_SM90 0
#endif

namespace quorl::test {

// Compute capability of device 0 as 10 * major + minor; 0 when unknown.
inline int device_cc() {
  int major = 0, minor = 0;
  if (cudaDeviceGetAttribute(&major, cudaDevAttrComputeCapabilityMajor, 0) != cudaSuccess ||
      cudaDeviceGetAttribute(&minor, cudaDevAttrComputeCapabilityMinor, 0) != cudaSuccess) {
    return 0;
  }
  return 10 * major + minor;
}

// Whether sm120a's kernels run on device 0; otherwise says why.
inline bool sm120a_runs_here(std::string* why) {
  const int cc = device_cc();
  if (cc / 10 == 12 || (cc == 90 && QK_SM120A_ON_SM90)) return true;
  *why = cc == 90 ? "sm120a runs on Hopper only in the GPU check's build (QK_SM120A_ON_SM90=ON)"
                  : "sm120a has no code for a cc " + std::to_string(cc) + " device";
  return false;
}

// Whether sm89 runs here through its PTX (a device newer than cc 8.9).
inline bool sm89_through_ptx_here() { return device_cc() > 89; }

}  // namespace quorl::test
