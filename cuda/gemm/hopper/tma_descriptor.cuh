// TMA descriptors of the fused engine. Before anything is encoded the
// parameters are checked against the encoder's documented requirements and
// the encoder must be reachable; a search cannot run without its
// descriptors, so a refusal prints them and the reason and aborts the
// process. CuTe does not return the encoder's status, so a descriptor it
// leaves empty is refused the same way, as a last net.
#pragma once

#include <cuda.h>
#include <cuda_runtime.h>

#include <cstdint>
#include <cstdlib>

#include "../../common/build_name.h"
#include "tma_copy.h"
#include "tma_params.h"

namespace QK_BUILD_NS {

[[noreturn]] inline void refuse_tma(const quorl::hopper::TmaParams& params, int code,
                                    const char* why) {
  quorl::hopper::print_tma_refusal(params, code, why);
  std::abort();
}

inline bool tma_encoder_reachable() {
  void* encode = nullptr;
  cudaDriverEntryPointQueryResult status = cudaDriverEntryPointSymbolNotFound;
  const cudaError_t err = cudaGetDriverEntryPointByVersion("cuTensorMapEncodeTiled", &encode, 12000,
                                                           cudaEnableDefault, &status);
  return err == cudaSuccess && status == cudaDriverEntryPointSuccess && encode != nullptr;
}

template <class StageLayout>
auto make_stage_tma(const int8_t* matrix, int rows, int k) {
  const quorl::hopper::TmaParams params =
      quorl::hopper::stage_tma_params_of<StageLayout>(matrix, rows, k);
  if (const char* fault = quorl::hopper::tma_params_fault(params)) {
    refuse_tma(params, CUDA_ERROR_INVALID_VALUE, fault);
  }
  if (!tma_encoder_reachable()) {
    refuse_tma(params, CUDA_ERROR_NOT_FOUND,
               "the driver's cuTensorMapEncodeTiled is not reachable");
  }
  auto tma = quorl::hopper::build_stage_tma<StageLayout>(matrix, rows, k);
  const auto* desc = reinterpret_cast<const unsigned char*>(tma.get_tma_descriptor());
  bool encoded = false;
  for (size_t i = 0; i < sizeof(cute::TmaDescriptor); ++i) encoded |= desc[i] != 0;
  if (!encoded) refuse_tma(params, CUDA_ERROR_UNKNOWN, "the encoder left the descriptor empty");
  return tma;
}

}  // namespace QK_BUILD_NS
