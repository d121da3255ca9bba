// cuBLASLt timing where the toolkit had no cuBLASLt to build against.
#include "cublaslt_int8.h"

namespace quorl::bench {

float cublaslt_int8_ms(const std::vector<int8_t>&, const std::vector<int8_t>&, int, int, int, int,
                       std::string* why) {
  if (why != nullptr) *why = "built without cuBLASLt (the CUDA toolkit had none)";
  return -1.0f;
}

}  // namespace quorl::bench
