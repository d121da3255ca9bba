// The outcome of one exported call: the first CUDA error that any of its
// steps met, whether on entry (a launch or copy the runtime refused) or while
// the work ran (the final wait).
//
// Kernel launches report their entry errors (no kernel image for the device,
// an invalid configuration, too few resources) only through the runtime's
// per-thread last-error state; rejected asynchronous copies and memsets set
// it too. That state belongs to this library alone: the CUDA runtime is
// linked into it statically and none of the runtime's symbols leave it
// (dispatch/exports.map), so a host program's own runtime, static or shared,
// keeps a state of its own. Whatever a call finds there when it starts was
// therefore left by an earlier call of this library on the same thread, which
// has reported it or ignored it on purpose; each call drops it before its
// first step, so it neither reports nor returns an earlier call's error. A
// sticky error (an illegal address, say) cannot be dropped: from then on
// every call fails, as it should.
#pragma once

#include <cuda_runtime_api.h>

namespace quorl {

class CallStatus {
 public:
  // Drops what earlier calls left, then makes `device` current. The caller
  // enqueues nothing when this failed: its work would land on another device.
  explicit CallStatus(int device) {
    (void)cudaGetLastError();
    first_ = cudaSetDevice(device);
  }

  bool failed() const { return first_ != cudaSuccess; }
  cudaError_t error() const { return first_; }

  // Keeps `err` unless an earlier error is kept already; returns `err`.
  cudaError_t note(cudaError_t err) {
    if (first_ == cudaSuccess) first_ = err;
    return err;
  }

  // Folds in what the steps enqueued so far met on entry; returns the first
  // error of the call.
  cudaError_t enqueued() {
    note(cudaGetLastError());
    return first_;
  }

  // Folds in the entry errors, then waits for `stream` whatever they were, so
  // that no copy into the caller's memory is still running when the call
  // returns. Returns the first error of the call.
  cudaError_t wait(cudaStream_t stream) {
    enqueued();
    note(cudaStreamSynchronize(stream));
    return first_;
  }

 private:
  cudaError_t first_;
};

}  // namespace quorl
