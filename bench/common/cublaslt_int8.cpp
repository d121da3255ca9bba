#include "cublaslt_int8.h"

#include <cublasLt.h>
#include <cuda_runtime.h>
#include <dlfcn.h>

namespace quorl::bench {
namespace {

// The cuBLASLt entry points this file calls, resolved from the shared library.
struct Lt {
#define QK_LT_FN(name) decltype(&::name) name = nullptr;
  QK_LT_FN(cublasLtCreate)
  QK_LT_FN(cublasLtDestroy)
  QK_LT_FN(cublasLtMatmulDescCreate)
  QK_LT_FN(cublasLtMatmulDescDestroy)
  QK_LT_FN(cublasLtMatmulDescSetAttribute)
  QK_LT_FN(cublasLtMatrixLayoutCreate)
  QK_LT_FN(cublasLtMatrixLayoutDestroy)
  QK_LT_FN(cublasLtMatmulPreferenceCreate)
  QK_LT_FN(cublasLtMatmulPreferenceDestroy)
  QK_LT_FN(cublasLtMatmulPreferenceSetAttribute)
  QK_LT_FN(cublasLtMatmulAlgoGetHeuristic)
  QK_LT_FN(cublasLtMatmul)
#undef QK_LT_FN
  bool ok = false;
};

const Lt& lt_api() {
  static const Lt api = [] {
    Lt lt;
    void* lib = dlopen("libcublasLt.so.13", RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) lib = dlopen("libcublasLt.so", RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) return lt;
    bool all = true;
#define QK_LT_LOAD(name)                                                 \
  lt.name = reinterpret_cast<decltype(lt.name)>(dlsym(lib, #name)); \
  all = all && lt.name != nullptr;
    QK_LT_LOAD(cublasLtCreate)
    QK_LT_LOAD(cublasLtDestroy)
    QK_LT_LOAD(cublasLtMatmulDescCreate)
    QK_LT_LOAD(cublasLtMatmulDescDestroy)
    QK_LT_LOAD(cublasLtMatmulDescSetAttribute)
    QK_LT_LOAD(cublasLtMatrixLayoutCreate)
    QK_LT_LOAD(cublasLtMatrixLayoutDestroy)
    QK_LT_LOAD(cublasLtMatmulPreferenceCreate)
    QK_LT_LOAD(cublasLtMatmulPreferenceDestroy)
    QK_LT_LOAD(cublasLtMatmulPreferenceSetAttribute)
    QK_LT_LOAD(cublasLtMatmulAlgoGetHeuristic)
    QK_LT_LOAD(cublasLtMatmul)
#undef QK_LT_LOAD
    lt.ok = all;
    return lt;
  }();
  return api;
}

void say(std::string* why, const char* text) {
  if (why != nullptr) *why = text;
}

}  // namespace

// In cuBLASLt's column-major terms the row-major product is D (n x m) =
// B^T-op (k x n) times A (k x m): the TN int8 form.
float cublaslt_int8_ms(const std::vector<int8_t>& a, const std::vector<int8_t>& b, int m, int n, int k,
                       int reps, std::string* why) {
  const Lt& lt = lt_api();
  if (!lt.ok) {
    say(why, "cuBLASLt not found (libcublasLt.so.13 on the library path)");
    return -1.0f;
  }
  int8_t *da = nullptr, *db = nullptr;
  int32_t* dc = nullptr;
  void* workspace = nullptr;
  const size_t workspace_bytes = size_t(64) << 20;
  if (cudaMalloc(&da, a.size()) != cudaSuccess || cudaMalloc(&db, b.size()) != cudaSuccess ||
      cudaMalloc(&dc, size_t(m) * n * 4) != cudaSuccess || cudaMalloc(&workspace, workspace_bytes) != cudaSuccess) {
    cudaFree(da), cudaFree(db), cudaFree(dc);
    say(why, "out of device memory for the cuBLASLt operands");
    return -1.0f;
  }
  cudaMemcpy(da, a.data(), a.size(), cudaMemcpyHostToDevice);
  cudaMemcpy(db, b.data(), b.size(), cudaMemcpyHostToDevice);

  cublasLtHandle_t handle;
  lt.cublasLtCreate(&handle);
  cublasLtMatmulDesc_t op;
  lt.cublasLtMatmulDescCreate(&op, CUBLAS_COMPUTE_32I, CUDA_R_32I);
  const cublasOperation_t trans = CUBLAS_OP_T, no_trans = CUBLAS_OP_N;
  lt.cublasLtMatmulDescSetAttribute(op, CUBLASLT_MATMUL_DESC_TRANSA, &trans, sizeof trans);
  lt.cublasLtMatmulDescSetAttribute(op, CUBLASLT_MATMUL_DESC_TRANSB, &no_trans, sizeof no_trans);
  cublasLtMatrixLayout_t la, lb, lc;
  lt.cublasLtMatrixLayoutCreate(&la, CUDA_R_8I, k, n, k);
  lt.cublasLtMatrixLayoutCreate(&lb, CUDA_R_8I, k, m, k);
  lt.cublasLtMatrixLayoutCreate(&lc, CUDA_R_32I, n, m, n);
  cublasLtMatmulPreference_t pref;
  lt.cublasLtMatmulPreferenceCreate(&pref);
  lt.cublasLtMatmulPreferenceSetAttribute(pref, CUBLASLT_MATMUL_PREF_MAX_WORKSPACE_BYTES, &workspace_bytes,
                                          sizeof workspace_bytes);
  cublasLtMatmulHeuristicResult_t heuristic{};
  int returned = 0;
  lt.cublasLtMatmulAlgoGetHeuristic(handle, op, la, lb, lc, lc, pref, 1, &heuristic, &returned);
  float ms = -1.0f;
  if (returned > 0) {
    const int32_t alpha = 1, beta = 0;
    cudaStream_t stream;
    cudaStreamCreate(&stream);
    auto matmul = [&] {
      return lt.cublasLtMatmul(handle, op, &alpha, db, la, da, lb, &beta, dc, lc, dc, lc, &heuristic.algo,
                               workspace, workspace_bytes, stream);
    };
    const cublasStatus_t status = matmul();  // warm-up
    cudaEvent_t start, stop;
    cudaEventCreate(&start);
    cudaEventCreate(&stop);
    cudaEventRecord(start, stream);
    for (int i = 0; i < reps; ++i) matmul();
    cudaEventRecord(stop, stream);
    cudaEventSynchronize(stop);
    cudaEventElapsedTime(&ms, start, stop);
    ms /= float(reps);
    if (status != CUBLAS_STATUS_SUCCESS) {
      ms = -1.0f;
      say(why, "cuBLASLt refused the int8 GEMM");
    }
    cudaEventDestroy(start);
    cudaEventDestroy(stop);
    cudaStreamDestroy(stream);
  } else {
    say(why, "cuBLASLt has no int8 algorithm for this shape");
  }
  lt.cublasLtMatmulPreferenceDestroy(pref);
  lt.cublasLtMatrixLayoutDestroy(la);
  lt.cublasLtMatrixLayoutDestroy(lb);
  lt.cublasLtMatrixLayoutDestroy(lc);
  lt.cublasLtMatmulDescDestroy(op);
  lt.cublasLtDestroy(handle);
  cudaFree(da);
  cudaFree(db);
  cudaFree(dc);
  cudaFree(workspace);
  return ms;
}

}  // namespace quorl::bench
