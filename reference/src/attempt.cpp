#include "quorl_ref/attempt.hpp"

#include "quorl_ref/bonly.hpp"
#include "quorl_ref/commit.hpp"
#include "quorl_ref/matrix_gen.hpp"

namespace quorl::ref {

void add_noise(AttemptOperands& op, Dims d) {
  op.a = noised_operand(op.a_plain.data(), d.m, d.k, op.seeds.a_seed, a_tag());
  op.b = noised_operand(op.b_plain.data(), d.n, d.k, op.seeds.b_seed, b_tag());
}

AttemptOperands full_attempt(const Cv& job_key, uint64_t seed_a, uint64_t seed_b, Dims d) {
  AttemptOperands op;
  op.a_plain = generate(seed_a, int64_t(d.m) * d.k);
  op.b_plain = generate(seed_b, int64_t(d.n) * d.k);
  op.a_hash = commit(job_key, op.a_plain.data(), int64_t(op.a_plain.size()));
  op.b_hash = commit(job_key, op.b_plain.data(), int64_t(op.b_plain.size()));
  op.seeds = derive_seeds(job_key, op.a_hash, op.b_hash);
  add_noise(op, d);
  return op;
}

AttemptOperands bonly_attempt(const Cv& job_key, uint64_t prepare_seed,
                              const std::vector<uint64_t>& nonces, Dims d) {
  AttemptOperands op;
  op.a_plain = generate(prepare_seed, int64_t(d.m) * d.k);
  op.a_hash = commit(job_key, op.a_plain.data(), int64_t(op.a_plain.size()));
  BonlyState state = bonly_state(job_key, op.a_hash,
                                 generate(prepare_seed ^ kPrepareBSeedXor, int64_t(d.n) * d.k),
                                 nonces);
  op.b_plain = std::move(state.b);
  op.b_hash = state.tree.root;
  op.seeds = state.seeds;
  add_noise(op, d);
  return op;
}

}  // namespace quorl::ref
