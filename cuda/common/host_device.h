// Marks the per-thread bodies that run inside kernels and, unchanged, in the
// host tests (which build these headers with a plain C++ compiler).
#pragma once

#if defined(__CUDACC__)
#define QK_HD __host__ __device__ __forceinline__
#else
#define QK_HD inline
#endif

// Full unrolling where the device compiler must resolve indices into registers.
#if defined(__CUDA_ARCH__)
#define QK_UNROLL _Pragma("unroll")
#else
#define QK_UNROLL
#endif

#include <cstdint>
#include <cstring>

namespace quorl {

// One aligned 8-byte store (a plain memcpy when the body runs on the host).
QK_HD void store_u64(void* dst, uint64_t value) {
#if defined(__CUDA_ARCH__)
  *static_cast<uint64_t*>(dst) = value;
#else
  std::memcpy(dst, &value, sizeof value);
#endif
}

// One aligned 4-byte store.
QK_HD void store_u32(void* dst, uint32_t value) {
#if defined(__CUDA_ARCH__)
  *static_cast<uint32_t*>(dst) = value;
#else
  std::memcpy(dst, &value, sizeof value);
#endif
}

// A load through the read-only data path, for data no thread of the kernel
// writes.
template <class T>
QK_HD T load_ro(const T* p) {
#if defined(__CUDA_ARCH__)
  return __ldg(p);
#else
  return *p;
#endif
}

}  // namespace quorl
