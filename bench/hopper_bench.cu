// Times the GEMM kernels themselves, launched directly rather than through a
// context's search pass, beside cuBLASLt's int8 GEMM (int8 in, int32 out,
// C = A * B^T) on the same operands, and reports effective TOPS (2 m n k per
// run) and the ratio: the h100tma engines (fused bound, store digests,
// compute only), and the fused label GEMM of fallback and sm120a compiled
// here for sm_90a. Each kernel change is timed against its old form in the
// same run ("ab" lines): the fused engine's consumers streamed across tile
// boundaries or drained, the label GEMM's digest table slice-major or
// slot-major, the persistent label GEMM's copies streamed or drained.
// Usage: hopper_bench [m n k]...   (default 8192 8192 2048 and 16384 16384 2048)
#include <cuda_runtime.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "../cuda/gemm/hopper_engines.cuh"
#include "cublaslt_int8.h"
#include "quorl_ref/grid.hpp"

namespace {

namespace engines = QK_BUILD_NS;

#define CHECK(call)                                                                            \
  do {                                                                                         \
    const auto status_ = (call);                                                               \
    if (status_ != 0) {                                                                        \
      std::fprintf(stderr, "%s:%d %s failed (%d)\n", __FILE__, __LINE__, #call, int(status_)); \
      std::exit(1);                                                                            \
    }                                                                                          \
  } while (0)

template <class Run>
float time_ms(Run run, cudaStream_t stream, int reps) {
  cudaEvent_t start, stop;
  CHECK(cudaEventCreate(&start));
  CHECK(cudaEventCreate(&stop));
  run();  // warm-up (and attributes, descriptors)
  CHECK(cudaGetLastError());
  CHECK(cudaStreamSynchronize(stream));
  CHECK(cudaEventRecord(start, stream));
  for (int i = 0; i < reps; ++i) run();
  CHECK(cudaEventRecord(stop, stream));
  CHECK(cudaEventSynchronize(stop));
  float ms = 0;
  CHECK(cudaEventElapsedTime(&ms, start, stop));
  cudaEventDestroy(start);
  cudaEventDestroy(stop);
  CHECK(cudaGetLastError());
  return ms / reps;
}

template <class T>
T* device_copy(const std::vector<T>& host) {
  T* p = nullptr;
  CHECK(cudaMalloc(&p, host.size() * sizeof(T)));
  CHECK(cudaMemcpy(p, host.data(), host.size() * sizeof(T), cudaMemcpyHostToDevice));
  return p;
}

void bench(int m, int n, int k, cudaStream_t stream) {
  const int k_blocks = k / 128, row_groups = m / 2, col_groups = n / 64;
  std::vector<int8_t> a(size_t(m) * k), b(size_t(n) * k);
  std::mt19937 rng(uint32_t(m + n + k));
  for (int8_t& x : a) x = int8_t(rng());
  for (int8_t& x : b) x = int8_t(rng());
  int8_t* da = device_copy(a);
  int8_t* db = device_copy(b);
  int32_t* row_group = device_copy(quorl::ref::standard_row_groups(m));
  int32_t* col_group = device_copy(quorl::ref::standard_col_groups(n));
  uint32_t* key = device_copy(std::vector<uint32_t>(8, 0x5A5A5A5Au));
  uint32_t* target = device_copy(std::vector<uint32_t>(8, 0));  // nothing qualifies: every cell is hashed
  int32_t* found = device_copy(std::vector<int32_t>{-1});
  uint32_t* xored = nullptr;
  CHECK(cudaMalloc(&xored, size_t(k_blocks) * row_groups * col_groups * 4));

  const int reps = 20;
  namespace g = quorl::gemm;
  using g::TableOrder;
  using g::TileWalk;
  const float fused = time_ms(
      [&] {
        engines::launch_gemm_hopper_tma_bound(da, db, row_group, col_group, key, target, found, m,
                                              n, k, k_blocks, row_groups, col_groups, stream);
      },
      stream, reps);
  const float fused_drained = time_ms(
      [&] {
        engines::launch_gemm_hopper_tma_bound_of<TileWalk::kDrained>(
            da, db, row_group, col_group, key, target, found, m, n, k, k_blocks, row_groups,
            col_groups, stream);
      },
      stream, reps);
  // The fused label GEMM in its forms (a zero target: every cell is hashed).
  auto label_gemm = [&](auto config) {
    using Config = decltype(config);
    return time_ms(
        [&] {
          engines::launch_gemm_of<Config, true, false>(da, db, nullptr, row_group, col_group, key,
                                                       target, found, m, n, k, k_blocks,
                                                       row_groups, col_groups, stream);
        },
        stream, reps);
  };
  const float labelled = label_gemm(g::LabelledGemm{});
  const float labelled_slot_major = label_gemm(g::LabelledGemmOf<TableOrder::kSlotMajor>{});
  const float persistent = label_gemm(g::StandardGemm{});
  const float persistent_drained =
      label_gemm(g::StandardGemmOf<TableOrder::kSliceMajor, TileWalk::kDrained>{});
  const float persistent_old =
      label_gemm(g::StandardGemmOf<TableOrder::kSlotMajor, TileWalk::kDrained>{});
  const float store = time_ms(
      [&] {
        engines::launch_gemm_gmma_impl<false, true>(da, db, xored, row_group, col_group, nullptr,
                                                    nullptr, nullptr, m, n, k, k_blocks,
                                                    row_groups, col_groups, stream);
      },
      stream, reps);
  const float compute = time_ms(
      [&] {
        engines::launch_gemm_gmma_impl<false, false>(da, db, nullptr, row_group, col_group,
                                                     nullptr, nullptr, nullptr, m, n, k, k_blocks,
                                                     row_groups, col_groups, stream);
      },
      stream, reps);
  std::string why;
  const float cublas = quorl::bench::cublaslt_int8_ms(a, b, m, n, k, reps, &why);

  const double ops = 2.0 * m * n * k;
  auto tops = [&](float ms) { return ms > 0 ? ops / (ms * 1e-3) / 1e12 : 0.0; };
  if (cublas > 0) {
    std::printf("%dx%dx%d  cublasLt %.3f ms %.1f TOPS\n", m, n, k, cublas, tops(cublas));
  } else {
    std::printf("%dx%dx%d  cublasLt unavailable: %s\n", m, n, k, why.c_str());
  }
  const struct {
    const char* name;
    float ms;
  } rows_out[] = {{"fused_tma", fused},
                  {"fused_tma_drained", fused_drained},
                  {"store_gmma", store},
                  {"compute_gmma", compute},
                  {"label_gemm", labelled},
                  {"label_gemm_slot_major", labelled_slot_major},
                  {"persistent_gemm", persistent},
                  {"persistent_gemm_drained", persistent_drained},
                  {"persistent_gemm_old", persistent_old}};
  for (const auto& r : rows_out) {
    std::printf("%dx%dx%d  %-23s %.3f ms %.1f TOPS  %.2fx cublasLt\n", m, n, k, r.name, r.ms,
                tops(r.ms), cublas > 0 ? cublas / r.ms : 0.0);
  }
  // Each change against its old form: the old time over the new.
  const struct {
    const char* change;
    const char* new_form;
    float new_ms;
    const char* old_form;
    float old_ms;
  } ab[] = {
      {"fused engine consumers", "streamed", fused, "drained", fused_drained},
      {"label GEMM digest table", "slice-major", labelled, "slot-major", labelled_slot_major},
      {"persistent GEMM copies", "streamed", persistent, "drained", persistent_drained},
      {"persistent GEMM both", "new", persistent, "old", persistent_old},
  };
  for (const auto& x : ab) {
    std::printf("ab %dx%dx%d %s: %s %.3f ms, %s %.3f ms, %.3fx\n", m, n, k, x.change, x.new_form,
                x.new_ms, x.old_form, x.old_ms, x.new_ms > 0 ? x.old_ms / x.new_ms : 0.0);
  }
  for (void* p : {(void*)da, (void*)db, (void*)xored, (void*)row_group, (void*)col_group,
                  (void*)key, (void*)target, (void*)found}) {
    cudaFree(p);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> dims;
  for (int i = 1; i < argc; ++i) dims.push_back(std::atoi(argv[i]));
  if (dims.empty()) dims = {8192, 8192, 2048, 16384, 16384, 2048};
  cudaStream_t stream;
  CHECK(cudaStreamCreate(&stream));
  for (size_t i = 0; i + 2 < dims.size(); i += 3) bench(dims[i], dims[i + 1], dims[i + 2], stream);
  return 0;
}
