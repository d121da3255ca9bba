// B-only mining: each attempt rewrites the last 64 bytes of one 1024-byte
// chunk of B from its nonce. Mutations accumulate from the last preparation.
#pragma once

#include <cstdint>
#include <vector>

#include "blake3.hpp"
#include "commit.hpp"
#include "noise.hpp"

namespace quorl::ref {

// The seed XOR that generates B from A's seed in B-only preparation.
constexpr uint64_t kPrepareBSeedXor = 0xD1B54A32D192ED03ull;

// The chunk a nonce selects: nonce mod chunk count.
int64_t bonly_chunk(uint64_t nonce, int64_t chunks);

// Rewrites bytes 960..1023 of the selected chunk: group t (0..7) is ab_gen8
// with the nonce as seed and 8c + t as group index.
void apply_nonce(int8_t* b, int64_t bytes, uint64_t nonce);

// The whole B-only state after preparation and a sequence of attempts,
// recomputed from scratch (full recommitment, fresh seed derivation).
struct BonlyState {
  Cv job_key;
  Cv a_hash;
  std::vector<int8_t> b;
  FullTree tree;      // nodes, prefixes and root of B
  NoiseSeeds seeds;   // from job_key, a_hash and the current root of B
};

BonlyState bonly_state(const Cv& job_key, const Cv& a_hash, std::vector<int8_t> b,
                       const std::vector<uint64_t>& nonces);

}  // namespace quorl::ref
