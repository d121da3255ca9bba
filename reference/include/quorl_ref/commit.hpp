// Commitment trees over a matrix's bytes: level 0 holds the chunk chaining
// values, each level above pairs nodes 2i and 2i+1, the top node alone is
// hashed with ROOT. A single chunk's root is its chaining value (no ROOT).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "blake3.hpp"

namespace quorl::ref {

// Root of the tree over the whole 1024-byte chunks of `data`. Bytes after the
// last whole chunk are ignored and an odd level drops its last node, as the
// device launchers do; for 2^L chunks (L >= 1) this is the standard BLAKE3
// keyed hash of the data.
Cv commit(const Cv& key, const int8_t* data, int64_t bytes);

// The tree with every level kept and each chunk's prefix chaining value.
struct FullTree {
  std::vector<Cv> nodes;     // level 0 at 0..C-1, each level right after the one below
  std::vector<Cv> prefixes;  // chaining value of chunk c after block 14
  Cv root;
  int64_t root_node;  // index of the root in `nodes`
};
FullTree commit_full(const Cv& key, const int8_t* data, int64_t bytes);

// Chunk chaining values of `chunks` whole chunks, spread over `threads`
// host threads (1 = the calling thread only).
std::vector<Cv> chunk_level(const Cv& key, const int8_t* data, int64_t chunks, int threads = 1);

}  // namespace quorl::ref
