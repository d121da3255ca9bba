// What the fused engine asks the driver's cuTensorMapEncodeTiled to encode
// for one operand, and whether the encoder can take it. Checked on the host
// before encoding, so a descriptor the driver would refuse is never built
// and never launched with: the encoder's own result is not visible through
// CuTe, and a refused descriptor need not be left zeroed.
#pragma once

#include <cstdint>
#include <cstdio>

namespace quorl::hopper {

// Rank 2, 8-bit unsigned elements, no interleave: the rows x k int8 matrix
// read in boxes of `box[1]` rows by `box[0]` bytes of k.
struct TmaParams {
  const void* address;
  uint64_t dims[2];     // innermost first: k, rows
  uint64_t row_stride;  // bytes from one row to the next
  uint32_t box[2];      // innermost first
  uint32_t element_strides[2];
  uint32_t swizzle_bytes;  // 0 (none), 32, 64 or 128
};

inline TmaParams stage_tma_params(const void* matrix, int rows, int k, int box_rows, int box_depth,
                                  int swizzle_bytes) {
  return {matrix,
          {uint64_t(int64_t(k)), uint64_t(int64_t(rows))},
          uint64_t(int64_t(k)),
          {uint32_t(box_depth), uint32_t(box_rows)},
          {1, 1},
          uint32_t(swizzle_bytes)};
}

// The first requirement of the encoder that `p` breaks, or null when it can
// be encoded. Element size is one byte, so byte and element counts agree.
inline const char* tma_params_fault(const TmaParams& p) {
  constexpr uint64_t kMaxDim = uint64_t(1) << 32, kMaxStride = uint64_t(1) << 40;
  if (reinterpret_cast<uintptr_t>(p.address) % 16 != 0) return "global address not 16-byte aligned";
  for (uint64_t dim : p.dims) {
    if (dim < 1 || dim > kMaxDim) return "global dimension outside 1 .. 2^32";
  }
  if (p.row_stride % 16 != 0) return "row stride not a multiple of 16 bytes";
  if (p.row_stride >= kMaxStride) return "row stride not below 2^40 bytes";
  if (p.row_stride < p.dims[0]) return "row stride shorter than a row";
  for (uint32_t box : p.box) {
    if (box < 1 || box > 256) return "box dimension outside 1 .. 256";
  }
  if (p.box[0] % 16 != 0) return "box row not a multiple of 16 bytes";
  if (p.swizzle_bytes != 0 && p.box[0] > p.swizzle_bytes)
    return "box row wider than the swizzle span";
  for (uint32_t step : p.element_strides) {
    if (step < 1 || step > 8) return "element stride outside 1 .. 8";
  }
  return nullptr;
}

// The descriptor's fields in the form of CuTe's failure dump, then the error
// (the driver's code for it and why), on standard error.
inline void print_tma_refusal(const TmaParams& p, int code, const char* why) {
  std::fprintf(stderr,
               "TMA Desc Addr:   (not encoded)\n"
               "format         0\n"
               "dim            2\n"
               "gmem_address   %p\n"
               "globalDim      (%llu,%llu)\n"
               "globalStrides  (1,%llu)\n"
               "boxDim         (%u,%u)\n"
               "elementStrides (%u,%u)\n"
               "interleave     0\n"
               "swizzle        %u bytes\n"
               "l2Promotion    2\n"
               "oobFill        0\n"
               "Error: Failed to initialize the TMA descriptor %d (%s)\n",
               p.address, static_cast<unsigned long long>(p.dims[0]),
               static_cast<unsigned long long>(p.dims[1]),
               static_cast<unsigned long long>(p.row_stride), p.box[0], p.box[1],
               p.element_strides[0], p.element_strides[1], p.swizzle_bytes, code, why);
}

}  // namespace quorl::hopper
