// The level walk of both commitment launchers, written once over an executor
// that either enqueues the tree kernels (the library) or runs their bodies on
// the host (the tests). An executor provides:
//   chunk(data, chunks, key, out)
//   chunk_prefix(data, chunks, key, prefix_out, chunk_out)
//   parent(in, out, count, key, root)
//   copy_root(dst, src)                      32 bytes
#pragma once

#include <cstdint>
#include <utility>

namespace quorl::commit {

constexpr int64_t kNodeWords = 8;

// Ping-pong form: level 0 into `first`, each further level into the array that
// does not hold its children. Bytes past the last whole chunk are not hashed;
// an odd level drops its last node.
template <class Exec>
void commit_pingpong(Exec& ex, const int8_t* data, int64_t rows, int64_t cols, const uint32_t* key,
                     uint32_t* first, uint32_t* second, uint32_t* root_out) {
  const int64_t bytes = rows * cols;
  const int64_t chunks = bytes / 1024;
  ex.chunk(data, chunks, key, first);
  const uint32_t* root = first;
  if (bytes >= 2048) {
    int64_t count = chunks;
    uint32_t* src = first;
    uint32_t* dst = second;
    for (;;) {
      count >>= 1;
      ex.parent(src, dst, count, key, int32_t(count == 1));
      if (count == 1) break;
      std::swap(src, dst);
    }
    root = dst;
  }
  ex.copy_root(root_out, root);
}

// Full form: every level kept back to back in `tree` (level 0 at node 0, each
// level right after the one below), plus each chunk's prefix chaining value.
template <class Exec>
void commit_full_tree(Exec& ex, const int8_t* data, int64_t rows, int64_t cols,
                      const uint32_t* key, uint32_t* tree, uint32_t* prefix,
                      uint32_t* root_out) {
  const int64_t bytes = rows * cols;
  const int64_t chunks = bytes / 1024;
  ex.chunk_prefix(data, chunks, key, prefix, tree);
  int64_t start = 0;
  if (bytes >= 2048) {
    int64_t count = chunks;
    do {
      const int64_t next = start + count;
      count >>= 1;
      ex.parent(tree + start * kNodeWords, tree + next * kNodeWords, count, key,
                int32_t(count == 1));
      start = next;
    } while (count != 1);
  }
  ex.copy_root(root_out, tree + start * kNodeWords);
}

}  // namespace quorl::commit
