#include "quorl_ref/bonly.hpp"

#include "quorl_ref/matrix_gen.hpp"

namespace quorl::ref {

int64_t bonly_chunk(uint64_t nonce, int64_t chunks) { return int64_t(nonce % uint64_t(chunks)); }

void apply_nonce(int8_t* b, int64_t bytes, uint64_t nonce) {
  const int64_t c = bonly_chunk(nonce, bytes / kChunkLen);
  const int64_t offset = c * kChunkLen + kChunkLen - kBlockLen;
  for (int t = 0; t < 8; ++t) {
    const int64_t p = offset + 8 * t;
    if (p + 7 >= bytes) continue;
    const std::array<int8_t, 8> lanes = ab_gen8(nonce, uint64_t(8 * c + t));
    for (int j = 0; j < 8; ++j) b[p + j] = lanes[j];
  }
}

BonlyState bonly_state(const Cv& job_key, const Cv& a_hash, std::vector<int8_t> b,
                       const std::vector<uint64_t>& nonces) {
  for (uint64_t nonce : nonces) apply_nonce(b.data(), int64_t(b.size()), nonce);
  BonlyState s{job_key, a_hash, std::move(b), {}, {}};
  s.tree = commit_full(job_key, s.b.data(), int64_t(s.b.size()));
  s.seeds = derive_seeds(job_key, a_hash, s.tree.root);
  return s;
}

}  // namespace quorl::ref
