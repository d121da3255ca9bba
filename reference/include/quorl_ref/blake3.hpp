// BLAKE3 as the system uses it: one compression function and the four calling
// modes (chunk, parent, plain single block, keyed single block). Plain C++,
// written independently of the GPU code so that it can serve as its oracle.
#pragma once

#include <array>
#include <cstdint>

namespace quorl::ref {

// A chaining value: eight words, word i = little-endian bytes 4i..4i+3.
using Cv = std::array<uint32_t, 8>;
// A 64-byte message block as sixteen little-endian words.
using Block = std::array<uint32_t, 16>;

enum : uint32_t {
  CHUNK_START = 1,
  CHUNK_END = 2,
  PARENT = 4,
  ROOT = 8,
  KEYED_HASH = 16,
};

constexpr int kChunkLen = 1024;
constexpr int kBlockLen = 64;

Cv compress(const Cv& cv, const Block& block, uint64_t counter, uint32_t block_len,
            uint32_t flags);

Block block_from_bytes(const void* bytes64);
Cv cv_from_bytes(const void* bytes32);
void cv_to_bytes(const Cv& cv, void* bytes32);
Cv iv();

// Standard BLAKE3 of one 64-byte message (flags 11), and its keyed form
// (flags 27).
Cv hash_block(const Block& message);
Cv keyed_hash_block(const Cv& key, const Block& message);

// Chaining value of a 1024-byte chunk under `key`; the prefix form stops
// after block 14, and finish_chunk adds block 15 to a prefix.
Cv chunk_cv(const Cv& key, const void* chunk, uint64_t chunk_index);
Cv chunk_prefix_cv(const Cv& key, const void* chunk, uint64_t chunk_index);
Cv finish_chunk(const Cv& prefix, const void* last_block, uint64_t chunk_index);

Cv parent_cv(const Cv& key, const Cv& left, const Cv& right, bool root);

}  // namespace quorl::ref
