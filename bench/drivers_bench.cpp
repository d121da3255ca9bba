// Attempt rates of the mining drivers on the GPU: full-pipeline attempts with
// the profile's stage breakdown, and B-only attempts from the batch and
// pipeline benches beside the bare search pass on the same shape. With
// "bonly" only the B-only figures are measured (the GPU check runs them once
// more with QUORL_BONLY_OVERLAP=1 to compare the overlap with the default).
// Usage: quorl_drivers_bench [M N K [ATTEMPTS [bonly]]]   (default 8192 8192 2048 40)
#include <cuda_runtime.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <cstring>

#include "../cuda/common/env_switch.h"
#include "quorl_kernel.h"
#include "search_timing.h"
#include "quorl_ref/grid.hpp"

namespace {

struct Shape {
  int m, n, k, attempts;
  bool bonly_only;
};

constexpr uint32_t kKey[8] = {0x01234567, 0x89ABCDEF, 3, 4, 5, 6, 7, 8};
constexpr uint32_t kTarget[8] = {};  // nothing qualifies: every cell is hashed

double tops(const Shape& s, double ms) { return 2.0 * s.m * s.n * s.k / (ms * 1e-3) / 1e12; }

void print_stages(const char* what, const char* const* names, const double* ms, int count) {
  std::printf("%s stages (ms):", what);
  for (int i = 0; i < count; ++i) std::printf(" %s %.3f", names[i], ms[i]);
  std::printf("\n");
}

// A failed call says so on stderr; the figure it would have given is left out
// rather than divided by an elapsed time of 0.
bool failed(const char* what) {
  std::fprintf(stderr, "%s failed\n", what);
  return false;
}

// A failed profile returns -1 and times nothing; a profile that worked has a
// positive total (the zero target makes -1 the normal outcome).
bool full_pipeline(QkHandle* h, const Shape& s) {
  static const char* const kNames[8] = {"upload", "generate", "commit", "seeds",
                                        "noise",  "search",   "result", "total"};
  float times[8];
  double sum[8] = {};
  qk_mine_full_profile(h, kKey, 0, 1, kTarget, times);  // warm-up
  for (int i = 0; i < s.attempts; ++i) {
    qk_mine_full_profile(h, kKey, 2 * i, 2 * i + 1, kTarget, times);
    if (!(times[7] > 0)) return failed("qk_mine_full_profile");
    for (int j = 0; j < 8; ++j) sum[j] += times[j] / s.attempts;
  }
  print_stages("full profile", kNames, sum, 8);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < s.attempts; ++i) qk_mine_full(h, kKey, 2 * i, 2 * i + 1, kTarget);
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() /
      s.attempts;
  uint32_t roots[2][8];
  if (qk_get_hashes(h, roots[0], roots[1]) != 0) return failed("qk_mine_full");
  std::printf("full attempts/s: overlapped %.1f, profiled (sequential) %.1f\n", 1000.0 / ms,
              1000.0 / sum[7]);
  return true;
}

bool bonly(QkHandle* h, const Shape& s) {
  static const char* const kNames[12] = {"mutate", "seeds",   "noiseA", "selA",   "fuseA",
                                         "noiseB", "selB",    "fuseB",  "noise",  "search",
                                         "result", "total"};
  if (qk_prepare_a(h, kKey, kTarget, 7) != 0) return failed("qk_prepare_a");
  float times[12];
  double sum[12] = {};
  qk_mine_full_bonly_profile(h, 1, times);  // warm-up
  for (int i = 0; i < s.attempts; ++i) {
    qk_mine_full_bonly_profile(h, 100 + i, times);
    if (!(times[11] > 0)) return failed("qk_mine_full_bonly_profile");
    for (int j = 0; j < 12; ++j) sum[j] += times[j] / s.attempts;
  }
  print_stages("bonly profile", kNames, sum, 12);
  qk_run(h);  // warm-up; prints a launch error itself
  const double search_ms = quorl::bench::search_pass_ms(h, s.attempts);
  if (!(search_ms > 0)) return failed("the search pass timing");
  float batch_ms = 0, pipeline_ms = 0;
  if (qk_bench_bonly_batch(h, s.attempts, &batch_ms) < 0 || !(batch_ms > 0)) {
    return failed("qk_bench_bonly_batch");
  }
  if (qk_bench_bonly_pipeline(h, s.attempts, &pipeline_ms) < 0 || !(pipeline_ms > 0)) {
    return failed("qk_bench_bonly_pipeline");
  }
  const double bare = 1000.0 / search_ms;
  const double batch = 1000.0 * s.attempts / batch_ms;
  const double pipeline = 1000.0 * s.attempts / pipeline_ms;
  std::printf("bare search: %.3f ms, %.1f TOPS, %.1f passes/s\n", search_ms, tops(s, search_ms),
              bare);
  std::printf("bonly attempts/s: batch %.1f (%.1f%% of bare), pipeline %.1f (%.1f%% of bare)\n",
              batch, 100.0 * batch / bare, pipeline, 100.0 * pipeline / bare);
  return true;
}

// Whether the library overlaps B-only attempts: QUORL_BONLY_OVERLAP, which
// only the h100tma build reads.
const char* bonly_overlap(int variant) {
  return variant == 2 && quorl::switch_value(std::getenv("QUORL_BONLY_OVERLAP")) ? "on" : "off";
}

}  // namespace

int main(int argc, char** argv) {
  Shape s{8192, 8192, 2048, 40, false};
  if (argc >= 4) s = {std::atoi(argv[1]), std::atoi(argv[2]), std::atoi(argv[3]), s.attempts, false};
  if (argc >= 5) s.attempts = std::atoi(argv[4]);
  if (argc >= 6) s.bonly_only = std::strcmp(argv[5], "bonly") == 0;
  if (s.attempts <= 0 || argc > 6 || (argc == 6 && !s.bonly_only)) {
    std::fprintf(stderr, "usage: quorl_drivers_bench [M N K [ATTEMPTS > 0 [bonly]]]\n");
    return 2;
  }
  cudaDeviceProp prop{};
  if (cudaGetDeviceProperties(&prop, 0) != cudaSuccess) {
    std::fprintf(stderr, "no CUDA device\n");
    return 1;
  }
  const std::vector<int32_t> rows = quorl::ref::standard_row_groups(s.m);
  const std::vector<int32_t> cols = quorl::ref::standard_col_groups(s.n);
  QkHandle* h = qk_init(0, s.m, s.n, s.k, quorl::ref::standard_grid_rows(s.m),
                        quorl::ref::standard_grid_cols(s.n), rows.data(), cols.data());
  if (h == nullptr) return 1;
  static const char* const kBuilds[] = {"sm89", "sm120a", "h100tma", "fallback"};
  std::printf(
      "device %s (cc %d.%d), build %s, %dx%dx%d, %d attempts per figure, B-only overlap %s\n",
      prop.name, prop.major, prop.minor, kBuilds[h->variant & 3], s.m, s.n, s.k, s.attempts,
      bonly_overlap(h->variant));
  const bool ok = (s.bonly_only || full_pipeline(h, s)) && bonly(h, s);
  qk_free(h);
  return ok ? 0 : 1;
}
