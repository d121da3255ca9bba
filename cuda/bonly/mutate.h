// Per-phase bodies of the B-chunk mutation kernel: one block of 128 threads
// rewrites the last 64 bytes of one chunk of B from a nonce, then thread 0
// rehashes that chunk from its stored prefix, walks the path to the root of
// B's full tree and, when asked, derives both noise seeds from the new root;
// last it resets the result slot and stores the seeds.
#pragma once

#include <cstdint>

#include "../blake3/modes.h"
#include "../gen/ab_gen.h"
#include "../gen/noise.h"

namespace quorl::bonly {

constexpr uint32_t kMutateThreads = 128;
constexpr int kGroupsPerBlock = 8;  // 8 threads x 8 bytes = the 64-byte block

struct MutateArgs {
  int8_t* data;             // B
  int64_t bytes;            // n * k
  uint64_t nonce;
  const uint32_t* key;      // job key
  const uint32_t* prefix;   // chunk prefix chaining values
  uint32_t* tree;           // full tree: level 0 at node 0, each level after the one below
  uint32_t* root_out;       // b_hash
  int64_t chunks;           // n * k / 1024, a power of two
  int32_t* result;          // found; may be null
  int32_t* save;            // where the old result goes; may be null
  const uint32_t* a_root;   // with both seed outputs: derive the seeds
  uint32_t* seed_b_out;
  uint32_t* seed_a_out;
};

QK_HD uint64_t chosen_chunk(uint64_t nonce, int64_t chunks) { return nonce % uint64_t(chunks); }

// Byte offset of the rewritten block: block 15 of the chosen chunk.
QK_HD uint64_t rewritten_offset(uint64_t chunk) {
  return uint64_t(blake3::kChunkBytes) * chunk + (blake3::kChunkBytes - blake3::kBlockLen);
}

// Before the barrier: threads 0..7 write one 8-byte group of the new block
// each.
QK_HD void mutate_write_phase(uint32_t tid, const MutateArgs& a) {
  if (tid >= kGroupsPerBlock) return;
  const uint64_t c = chosen_chunk(a.nonce, a.chunks);
  const uint64_t p = rewritten_offset(c) + 8 * tid;
  if (p + 7 >= uint64_t(a.bytes)) return;
  // The nonce is the generator's seed and 8c + t the group index (not the
  // group's position in B).
  store_u64(a.data + p, gen::ab_gen8_packed(a.nonce, 8 * c + tid));
}

// The new root's noise seeds, when the arguments ask for them.
struct MutateSeeds {
  bool derived = false;
  uint32_t seed_b[8] = {};
  uint32_t seed_a[8] = {};
};

// After the barrier, thread 0 alone: chunk, path to the root, and the seeds
// (returned; the publish phase stores them). Tree nodes are read with
// ordinary loads because this thread rewrites them.
QK_HD MutateSeeds mutate_update_phase(uint32_t tid, const MutateArgs& a) {
  MutateSeeds seeds;
  if (tid != 0) return seeds;
  const uint64_t c = chosen_chunk(a.nonce, a.chunks);
  uint32_t prefix[8];
  blake3::copy_cv(a.prefix + 8 * c, prefix);
  blake3::chunk_cv_from_prefix(prefix, a.data + rewritten_offset(c), c, a.tree + 8 * c);

  uint32_t key[8];
  noise::load_cv_ro(a.key, key);
  uint64_t i = c, start = 0;
  for (uint64_t count = uint64_t(a.chunks); count >= 2; count /= 2) {
    const uint32_t* left = a.tree + 8 * (start + (i & ~uint64_t(1)));
    const bool root = count == 2 || count == 3;
    i /= 2;
    const uint64_t parent = start + count + i;
    blake3::parent_cv(key, left, left + 8, root, a.tree + 8 * parent);
    start += count;
  }
  uint32_t root[8];
  blake3::copy_cv(a.tree + 8 * start, root);
  blake3::copy_cv(root, a.root_out);

  if (a.a_root == nullptr || a.seed_b_out == nullptr || a.seed_a_out == nullptr) return seeds;
  uint32_t a_root[8];
  noise::load_cv_ro(a.a_root, a_root);
  noise::seed_pair(key, a_root, root, seeds.seed_b, seeds.seed_a);
  seeds.derived = true;
  return seeds;
}

// Thread 0, last: parks the previous result and resets it, and stores the
// seeds. A search still running may read the result slot and its key (the
// seed of A), and nothing else this kernel writes: a mutation launched to
// overlap that search's tail waits for it just before this phase.
QK_HD void mutate_publish_phase(uint32_t tid, const MutateArgs& a, const MutateSeeds& seeds) {
  if (tid != 0) return;
  if (a.result != nullptr) {
    if (a.save != nullptr) *a.save = *a.result;
    *a.result = -1;
  }
  if (!seeds.derived) return;
  blake3::copy_cv(seeds.seed_b, a.seed_b_out);
  blake3::copy_cv(seeds.seed_a, a.seed_a_out);
}

}  // namespace quorl::bonly
