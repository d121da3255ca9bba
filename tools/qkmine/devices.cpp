#include "devices.h"

#include <cuda_runtime_api.h>

#include <cstdio>
#include <cstdlib>

namespace qkmine {

int visible_gpus() {
  int count = 0;
  return cudaGetDeviceCount(&count) == cudaSuccess ? count : 0;
}

std::optional<Device> pick_device(const std::optional<std::string>& requested) {
  if (!requested) {
    if (visible_gpus() > 0) return Device{false, 0};
    std::fprintf(stderr, "qkmine: no CUDA device visible; running on the CPU reference model\n");
    return Device{};
  }
  if (*requested == "cpu") return Device{};
  char* end = nullptr;
  const long ordinal = std::strtol(requested->c_str(), &end, 10);
  if (requested->empty() || *end != '\0' || ordinal < 0) return std::nullopt;
  return Device{false, int(ordinal)};
}

}  // namespace qkmine
