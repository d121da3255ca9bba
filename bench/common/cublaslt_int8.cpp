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

// The device memory and stream of one timing, released on every path.
struct Scratch {
  int8_t* a = nullptr;
  int8_t* b = nullptr;
  int32_t* c = nullptr;
  void* workspace = nullptr;
  cudaStream_t stream = nullptr;
  cudaEvent_t start = nullptr, stop = nullptr;

  ~Scratch() {
    if (stream != nullptr) cudaStreamSynchronize(stream);
    for (cudaEvent_t e : {start, stop}) {
      if (e != nullptr) cudaEventDestroy(e);
    }
    if (stream != nullptr) cudaStreamDestroy(stream);
    for (void* p : {(void*)a, (void*)b, (void*)c, workspace}) {
      if (p != nullptr) cudaFree(p);
    }
    // A failure is reported through the result; it must not stay pending for
    // the caller's next error check.
    (void)cudaGetLastError();
  }
};

// The first failure of a sequence of CUDA calls.
struct FirstError {
  cudaError_t err = cudaSuccess;
  bool operator()(cudaError_t e) {
    if (err == cudaSuccess) err = e;
    return err == cudaSuccess;
  }
};

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
  const size_t workspace_bytes = size_t(64) << 20;
  Scratch s;
  FirstError ok;
  if (!(ok(cudaMalloc(&s.a, a.size())) && ok(cudaMalloc(&s.b, b.size())) &&
        ok(cudaMalloc(&s.c, size_t(m) * n * 4)) && ok(cudaMalloc(&s.workspace, workspace_bytes)))) {
    say(why, "out of device memory for the cuBLASLt operands");
    return -1.0f;
  }
  if (!(ok(cudaMemcpy(s.a, a.data(), a.size(), cudaMemcpyHostToDevice)) &&
        ok(cudaMemcpy(s.b, b.data(), b.size(), cudaMemcpyHostToDevice)) &&
        ok(cudaStreamCreate(&s.stream)) && ok(cudaEventCreate(&s.start)) &&
        ok(cudaEventCreate(&s.stop)))) {
    say(why, cudaGetErrorString(ok.err));
    return -1.0f;
  }

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
    auto matmul = [&] {
      return lt.cublasLtMatmul(handle, op, &alpha, s.b, la, s.a, lb, &beta, s.c, lc, s.c, lc,
                               &heuristic.algo, s.workspace, workspace_bytes, s.stream);
    };
    bool refused = matmul() != CUBLAS_STATUS_SUCCESS;  // warm-up
    ok(cudaEventRecord(s.start, s.stream));
    for (int i = 0; i < reps; ++i) refused = refused || matmul() != CUBLAS_STATUS_SUCCESS;
    float total = 0.0f;
    if (ok(cudaEventRecord(s.stop, s.stream)) && ok(cudaEventSynchronize(s.stop)) &&
        ok(cudaEventElapsedTime(&total, s.start, s.stop)) && !refused && reps > 0 && total > 0) {
      ms = total / float(reps);
    } else if (refused) {
      say(why, "cuBLASLt refused the int8 GEMM");
    } else {
      say(why, ok.err != cudaSuccess ? cudaGetErrorString(ok.err) : "no time measured");
    }
  } else {
    say(why, "cuBLASLt has no int8 algorithm for this shape");
  }
  lt.cublasLtMatmulPreferenceDestroy(pref);
  lt.cublasLtMatrixLayoutDestroy(la);
  lt.cublasLtMatrixLayoutDestroy(lb);
  lt.cublasLtMatrixLayoutDestroy(lc);
  lt.cublasLtMatmulDescDestroy(op);
  lt.cublasLtDestroy(handle);
  return ms;
}

}  // namespace quorl::bench
