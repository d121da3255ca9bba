// Runs the commitment launchers' level walk on the host: each "launch" runs
// the tree kernel's body over the grid its launcher would use.
#pragma once

#include <cstring>

#include "../../cuda/commit/commit_levels.h"
#include "../../cuda/commit/tree_kernels.h"
#include "host_grid.h"

namespace quorl::test {

struct HostTreeExec {
  int launches = 0;

  void chunk(const int8_t* data, int64_t chunks, const uint32_t* key, uint32_t* out) {
    ++launches;
    run_grid(commit::tree_shape(chunks),
             [&](Thread1D t) { commit::chunk_thread(t, data, chunks, key, out); });
  }
  void chunk_prefix(const int8_t* data, int64_t chunks, const uint32_t* key, uint32_t* prefix,
                    uint32_t* out) {
    ++launches;
    run_grid(commit::tree_shape(chunks), [&](Thread1D t) {
      commit::chunk_prefix_thread(t, data, chunks, key, prefix, out);
    });
  }
  void parent(const uint32_t* in, uint32_t* out, int64_t count, const uint32_t* key,
              int32_t root) {
    ++launches;
    run_grid(commit::tree_shape(count),
             [&](Thread1D t) { commit::parent_thread(t, in, out, count, key, root); });
  }
  void copy_root(uint32_t* dst, const uint32_t* src) { std::memcpy(dst, src, 32); }
};

}  // namespace quorl::test
