// The GPU check's first question: is there a GPU the CUDA runtime can use?
// Prints one line, "gpu|NAME|MAJOR.MINOR|MULTIPROCESSORS" for device 0 (exit
// 0) or "none|REASON" (exit 1), so a shell script can decide what to run.
#include <cuda_runtime_api.h>

#include <cstdio>

int main() {
  int count = 0;
  cudaError_t err = cudaGetDeviceCount(&count);
  if (err == cudaSuccess && count == 0) {
    std::printf("none|no CUDA device visible\n");
    return 1;
  }
  cudaDeviceProp prop{};
  if (err == cudaSuccess) err = cudaGetDeviceProperties(&prop, 0);
  if (err != cudaSuccess) {
    std::printf("none|%s\n", cudaGetErrorString(err));
    return 1;
  }
  std::printf("gpu|%s|%d.%d|%d\n", prop.name, prop.major, prop.minor, prop.multiProcessorCount);
  return 0;
}
