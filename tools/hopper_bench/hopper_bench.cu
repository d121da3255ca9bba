// Times the h100tma engines (fused bound, store digests, compute only) and
// cuBLASLt's int8 GEMM (int8 in, int32 out, C = A * B^T) on the same operands
// and reports effective TOPS (2 m n k per run) and the ratio to cuBLASLt.
// Usage: hopper_bench [m n k]...   (default 8192 8192 2048 and 16384 16384 2048)
#include <cublasLt.h>
#include <cuda_runtime.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "../../cuda/gemm/hopper_engines.cuh"

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

__global__ void fill_bytes(int8_t* p, size_t count, uint32_t seed) {
  for (size_t i = blockIdx.x * size_t(blockDim.x) + threadIdx.x; i < count;
       i += size_t(gridDim.x) * blockDim.x) {
    uint32_t x = uint32_t(i) * 0x9E3779B9u ^ seed;
    x ^= x >> 15;
    x *= 0x2C1B3C6Du;
    x ^= x >> 12;
    p[i] = int8_t(x & 0x7F) - 64;
  }
}

template <class Run>
float time_ms(Run run, cudaStream_t stream, int reps) {
  cudaEvent_t start, stop;
  cudaEventCreate(&start);
  cudaEventCreate(&stop);
  run();  // warm-up (and attributes, descriptors)
  CHECK(cudaStreamSynchronize(stream));
  cudaEventRecord(start, stream);
  for (int i = 0; i < reps; ++i) run();
  cudaEventRecord(stop, stream);
  CHECK(cudaEventSynchronize(stop));
  float ms = 0;
  cudaEventElapsedTime(&ms, start, stop);
  cudaEventDestroy(start);
  cudaEventDestroy(stop);
  CHECK(cudaGetLastError());
  return ms / reps;
}

void bench(int m, int n, int k, cudaStream_t stream, cublasLtHandle_t lt) {
  const int k_blocks = k / 128, row_groups = m / 2, col_groups = n / 64;
  int8_t *a, *b;
  int32_t *row_group, *col_group, *found, *c;
  uint32_t *key, *target, *xored;
  CHECK(cudaMalloc(&a, size_t(m) * k));
  CHECK(cudaMalloc(&b, size_t(n) * k));
  CHECK(cudaMalloc(&c, size_t(m) * n * 4));
  CHECK(cudaMalloc(&xored, size_t(k_blocks) * row_groups * col_groups * 4));
  CHECK(cudaMalloc(&row_group, m * 4));
  CHECK(cudaMalloc(&col_group, n * 4));
  CHECK(cudaMalloc(&key, 32));
  CHECK(cudaMalloc(&target, 32));
  CHECK(cudaMalloc(&found, 4));
  fill_bytes<<<1024, 256, 0, stream>>>(a, size_t(m) * k, 1);
  fill_bytes<<<1024, 256, 0, stream>>>(b, size_t(n) * k, 2);
  std::vector<int32_t> rows(m), cols(n);
  for (int r = 0; r < m; ++r) rows[r] = 8 * (r / 16) + r % 8;
  for (int col = 0; col < n; ++col) cols[col] = 4 * (col / 256) + (col % 8) / 2;
  CHECK(cudaMemcpy(row_group, rows.data(), m * 4, cudaMemcpyHostToDevice));
  CHECK(cudaMemcpy(col_group, cols.data(), n * 4, cudaMemcpyHostToDevice));
  CHECK(cudaMemset(key, 0x5A, 32));
  CHECK(cudaMemset(target, 0, 32));  // nothing qualifies: every cell is hashed and compared
  CHECK(cudaMemset(found, 0xFF, 4));

  const int reps = 20;
  const float fused = time_ms(
      [&] {
        engines::launch_gemm_hopper_tma_bound(a, b, row_group, col_group, key, target, found, m, n,
                                              k, k_blocks, row_groups, col_groups, stream);
      },
      stream, reps);
  const float store = time_ms(
      [&] {
        engines::launch_gemm_gmma_impl<false, true>(a, b, xored, row_group, col_group, nullptr,
                                                    nullptr, nullptr, m, n, k, k_blocks, row_groups,
                                                    col_groups, stream);
      },
      stream, reps);
  const float compute = time_ms(
      [&] {
        engines::launch_gemm_gmma_impl<false, false>(a, b, nullptr, row_group, col_group, nullptr,
                                                     nullptr, nullptr, m, n, k, k_blocks,
                                                     row_groups, col_groups, stream);
      },
      stream, reps);

  // Row-major C (m x n) = A B^T is column-major C^T (n x m) = B A^T: with B
  // and A as column-major k x n and k x m, that is op(B) = T, op(A) = N (TN).
  cublasLtMatmulDesc_t op;
  CHECK(cublasLtMatmulDescCreate(&op, CUBLAS_COMPUTE_32I, CUDA_R_32I));
  const cublasOperation_t trans = CUBLAS_OP_T, no_trans = CUBLAS_OP_N;
  CHECK(cublasLtMatmulDescSetAttribute(op, CUBLASLT_MATMUL_DESC_TRANSA, &trans, sizeof trans));
  CHECK(
      cublasLtMatmulDescSetAttribute(op, CUBLASLT_MATMUL_DESC_TRANSB, &no_trans, sizeof no_trans));
  cublasLtMatrixLayout_t la, lb, lc;
  CHECK(cublasLtMatrixLayoutCreate(&la, CUDA_R_8I, k, n, k));
  CHECK(cublasLtMatrixLayoutCreate(&lb, CUDA_R_8I, k, m, k));
  CHECK(cublasLtMatrixLayoutCreate(&lc, CUDA_R_32I, n, m, n));
  const size_t workspace_bytes = size_t(32) << 20;
  void* workspace;
  CHECK(cudaMalloc(&workspace, workspace_bytes));
  cublasLtMatmulPreference_t pref;
  CHECK(cublasLtMatmulPreferenceCreate(&pref));
  CHECK(cublasLtMatmulPreferenceSetAttribute(pref, CUBLASLT_MATMUL_PREF_MAX_WORKSPACE_BYTES,
                                             &workspace_bytes, sizeof workspace_bytes));
  cublasLtMatmulHeuristicResult_t heuristic{};
  int returned = 0;
  CHECK(cublasLtMatmulAlgoGetHeuristic(lt, op, la, lb, lc, lc, pref, 1, &heuristic, &returned));
  const int32_t alpha = 1, beta = 0;
  float cublas = 0;
  if (returned > 0) {
    cublas = time_ms(
        [&] {
          cublasLtMatmul(lt, op, &alpha, b, la, a, lb, &beta, c, lc, c, lc, &heuristic.algo,
                         workspace, workspace_bytes, stream);
        },
        stream, reps);
  }

  const double ops = 2.0 * m * n * k;
  auto tops = [&](float ms) { return ms > 0 ? ops / (ms * 1e-3) / 1e12 : 0.0; };
  std::printf("%dx%dx%d  cublasLt %.3f ms %.1f TOPS\n", m, n, k, cublas, tops(cublas));
  const struct {
    const char* name;
    float ms;
  } rows_out[] = {{"fused_tma", fused}, {"store_gmma", store}, {"compute_gmma", compute}};
  for (const auto& r : rows_out) {
    std::printf("%dx%dx%d  %-12s %.3f ms %.1f TOPS  %.2fx cublasLt\n", m, n, k, r.name, r.ms,
                tops(r.ms), cublas > 0 ? cublas / r.ms : 0.0);
  }
  cublasLtMatmulPreferenceDestroy(pref);
  cublasLtMatrixLayoutDestroy(la);
  cublasLtMatrixLayoutDestroy(lb);
  cublasLtMatrixLayoutDestroy(lc);
  cublasLtMatmulDescDestroy(op);
  for (void* p : {(void*)a, (void*)b, (void*)c, (void*)xored, (void*)row_group, (void*)col_group,
                  (void*)key, (void*)target, (void*)found, workspace}) {
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
  cublasLtHandle_t lt;
  CHECK(cublasLtCreate(&lt));
  for (size_t i = 0; i + 2 < dims.size(); i += 3)
    bench(dims[i], dims[i + 1], dims[i + 2], stream, lt);
  cublasLtDestroy(lt);
  return 0;
}
