// Programmatic dependent launch between a search engine and the kernel
// queued after it on the same stream (sm_90 and later; elsewhere both are
// nothing). A grid launched with programmatic stream serialization may start
// once every CTA of the grid before it has signalled, long before that grid
// ends; it must wait before it touches anything that grid reads or writes.
#pragma once

namespace quorl::search {

// Lets the dependent grid start. Every CTA of this grid must signal (or
// exit) first; signalling twice in a CTA is the same as once.
__device__ __forceinline__ void allow_dependent_grid() {
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 900
  asm volatile("griddepcontrol.launch_dependents;" ::: "memory");
#endif
}

// Waits until the grids this one depends on have completed and their
// memory operations are visible; returns at once when there are none.
__device__ __forceinline__ void wait_for_prior_grids() {
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 900
  asm volatile("griddepcontrol.wait;" ::: "memory");
#endif
}

}  // namespace quorl::search
