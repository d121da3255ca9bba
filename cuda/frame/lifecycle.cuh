// Creation and release of a build's context.
#pragma once

#include <cuda_runtime.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "../common/build_name.h"
#include "../common/env_switch.h"
#include "context.cuh"
#include "diagnostic.h"
#include "l2_window.h"
#include "label_check.h"
#include "shape_check.h"

namespace QK_BUILD_NS {

// One buffer of the context: where its pointer lives, its size and the site
// number reported when it cannot be allocated. Allocation and release both
// walk the plan in its order.
struct BufferPlan {
  int site;
  void** slot;
  int64_t bytes;
  bool pinned_host;
};

constexpr int kBufferCount = 29;

inline void buffer_plan(QkCtx* c, BufferPlan plan[kBufferCount]) {
  const int64_t m = c->m, n = c->n, k = c->k;
  const int64_t a_chunks = m * k / 1024, b_chunks = n * k / 1024;
  const int64_t cells = int64_t(c->k_blocks) * c->row_groups * c->col_groups;
  const BufferPlan p[kBufferCount] = {
      {3009, (void**)&c->a, m * k, false},
      {3010, (void**)&c->b, k * n, false},
      {3011, (void**)&c->row_group, m * 4, false},
      {3012, (void**)&c->col_group, n * 4, false},
      {3013, (void**)&c->xored, cells * 4, false},
      {3014, (void**)&c->search_key, 32, false},
      {3015, (void**)&c->target, 32, false},
      {3016, (void**)&c->found, 4, false},
      {3017, (void**)&c->batch_found, 256, false},
      {3018, (void**)&c->host_found, 256, true},
      {3020, (void**)&c->a_plain, m * k, false},
      {3021, (void**)&c->b_plain, n * k, false},
      {3022, (void**)&c->a_noise, m * 128, false},
      {3023, (void**)&c->b_noise, n * 128, false},
      {3024, (void**)&c->a_perm, 2 * k, false},
      {3025, (void**)&c->b_perm, 2 * k, false},
      {3026, (void**)&c->a_seed, 32, false},
      {3027, (void**)&c->b_seed, 32, false},
      {3028, (void**)&c->a_tag, 32, false},
      {3029, (void**)&c->b_tag, 32, false},
      {3033, (void**)&c->a_tree0, a_chunks * 32, false},
      {3034, (void**)&c->a_tree1, a_chunks * 32, false},
      {3035, (void**)&c->b_tree0, b_chunks * 32, false},
      {3036, (void**)&c->b_tree1, b_chunks * 32, false},
      {3037, (void**)&c->b_tree_full, b_chunks * 64, false},
      {3038, (void**)&c->b_chunk_prefix, b_chunks * 32, false},
      {3039, (void**)&c->a_hash, 32, false},
      {3040, (void**)&c->b_hash, 32, false},
      {3041, (void**)&c->job_key, 32, false},
  };
  for (int i = 0; i < kBufferCount; ++i) plan[i] = p[i];
}

inline int persist_a_l2() {
  static std::atomic<int> cache{-1};
  return quorl::cached_switch(cache, "PERSIST_A_L2");
}

// Keeps A in the persisting part of L2 while B streams through `stream`. A
// hint only: the device may refuse it (under MIG or MPS, say), and the
// context works the same without it, so its results are not checked.
inline void persist_a(QkCtx* c) {
  cudaDeviceProp prop;
  std::memset(&prop, 0, sizeof prop);
  cudaGetDeviceProperties(&prop, c->device);
  if (prop.persistingL2CacheMaxSize != 0) {
    cudaDeviceSetLimit(cudaLimitPersistingL2CacheSize, size_t(prop.persistingL2CacheMaxSize));
  }
  const int64_t window =
      quorl::persist_window_bytes(int64_t(c->m) * c->k, prop.accessPolicyMaxWindowSize);
  if (window == 0) return;
  cudaStreamAttrValue attr;
  std::memset(&attr, 0, sizeof attr);
  attr.accessPolicyWindow.base_ptr = c->a;
  attr.accessPolicyWindow.num_bytes = size_t(window);
  attr.accessPolicyWindow.hitRatio = 0.75f;
  attr.accessPolicyWindow.hitProp = cudaAccessPropertyPersisting;
  attr.accessPolicyWindow.missProp = cudaAccessPropertyStreaming;
  cudaStreamSetAttribute(c->stream, cudaStreamAttributeAccessPolicyWindow, &attr);
}

// Releases whatever exists, in the plan's order; also undoes a creation that
// failed part-way.
inline void release(QkCtx* c) {
  if (c == nullptr) return;
  cudaSetDevice(c->device);
  for (cudaStream_t s : {c->stream, c->stream_a, c->stream_b}) {
    if (s != nullptr) cudaStreamDestroy(s);
  }
  for (cudaEvent_t e : {c->ev_fork, c->ev_a_done, c->ev_b_done}) {
    if (e != nullptr) cudaEventDestroy(e);
  }
  BufferPlan plan[kBufferCount];
  buffer_plan(c, plan);
  for (const BufferPlan& b : plan) {
    if (*b.slot == nullptr) continue;
    if (b.pinned_host) {
      cudaFreeHost(*b.slot);
    } else {
      cudaFree(*b.slot);
    }
  }
  std::free(c);
}

inline cudaError_t write_tag(uint32_t* dst, const char* text) {
  unsigned char tag[32] = {};
  std::memcpy(tag, text, 8);
  return cudaMemcpy(dst, tag, sizeof tag, cudaMemcpyHostToDevice);
}

inline int visible_devices() {
  int count = 0;
  return cudaGetDeviceCount(&count) == cudaSuccess ? count : 0;
}

// Labels, tags, streams, L2 hint and events of a context whose buffers all
// exist. Returns the first failure: a context without its labels, tags,
// streams or events would compute garbage or enqueue onto nothing.
inline cudaError_t set_up(QkCtx* c, const int32_t* row_group, const int32_t* col_group) {
  cudaError_t first = cudaSuccess;
  const auto keep = [&first](cudaError_t err) {
    if (first == cudaSuccess) first = err;
  };
  keep(cudaMemcpy(c->row_group, row_group, size_t(c->m) * 4, cudaMemcpyHostToDevice));
  keep(cudaMemcpy(c->col_group, col_group, size_t(c->n) * 4, cudaMemcpyHostToDevice));
  keep(write_tag(c->a_tag, "A_tensor"));
  keep(write_tag(c->b_tag, "B_tensor"));
  keep(cudaStreamCreate(&c->stream));
  keep(cudaStreamCreate(&c->stream_a));
  keep(cudaStreamCreate(&c->stream_b));
  if (first == cudaSuccess && persist_a_l2()) persist_a(c);
  keep(cudaEventCreateWithFlags(&c->ev_fork, cudaEventDisableTiming));
  keep(cudaEventCreateWithFlags(&c->ev_a_done, cudaEventDisableTiming));
  keep(cudaEventCreateWithFlags(&c->ev_b_done, cudaEventDisableTiming));
  return first;
}

inline QkCtx* create(int device, int m, int n, int k, int row_groups, int col_groups,
                     const int32_t* row_group, const int32_t* col_group) {
  if (quorl::check_shape(m, n, k, row_group, col_group) != quorl::ShapeFault::kNone) {
    quorl::report(quorl::site::kShapeRefused, cudaErrorInvalidValue);
    return nullptr;
  }
  if (quorl::check_labels(m, n, row_groups, col_groups, row_group, col_group) !=
      quorl::LabelFault::kNone) {
    quorl::report(quorl::site::kLabelsRefused, cudaErrorInvalidValue);
    return nullptr;
  }
  // An error an earlier call left behind is not this one's (call_status.h).
  (void)cudaGetLastError();
  const cudaError_t selected = cudaSetDevice(device);
  if (selected != cudaSuccess && visible_devices() > 0) {
    // Going on would build the context on whichever device is current.
    quorl::report(quorl::site::kDeviceRefused, selected);
    return nullptr;
  }
  // With no device at all, the first allocation below fails and says why.
  cudaSetDeviceFlags(cudaDeviceScheduleBlockingSync);  // a preference; the context works without

  auto* c = static_cast<QkCtx*>(std::calloc(1, sizeof(QkCtx)));
  if (c == nullptr) return nullptr;
  c->device = device;
  c->m = m;
  c->n = n;
  c->k = k;
  c->k_blocks = k / 128;
  c->row_groups = row_groups;
  c->col_groups = col_groups;

  BufferPlan plan[kBufferCount];
  buffer_plan(c, plan);
  for (const BufferPlan& b : plan) {
    const cudaError_t err = b.pinned_host ? cudaMallocHost(b.slot, size_t(b.bytes))
                                          : cudaMalloc(b.slot, size_t(b.bytes));
    if (err != cudaSuccess) {
      quorl::report(b.site, err);
      release(c);
      return nullptr;
    }
  }
  const cudaError_t setup = set_up(c, row_group, col_group);
  if (setup != cudaSuccess) {
    quorl::report(quorl::site::kContextSetup, setup);
    release(c);
    return nullptr;
  }
  return c;
}

}  // namespace QK_BUILD_NS

extern "C" QkCtx* QK_NAME(qk_init)(int device, int m, int n, int k, int row_groups,
                                   int col_groups, const int32_t* row_group,
                                   const int32_t* col_group) {
  return QK_BUILD_NS::create(device, m, n, k, row_groups, col_groups, row_group, col_group);
}

extern "C" void QK_NAME(qk_free)(QkCtx* ctx) { QK_BUILD_NS::release(ctx); }
