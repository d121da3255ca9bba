#include "cpu_miner.h"

#include "cpu_search.h"
#include "fast_commit.h"
#include "quorl_ref/bonly.hpp"
#include "quorl_ref/matrix_gen.hpp"
#include "record_json.h"

namespace qkmine {

void CpuMiner::prepare() {
  const int64_t a_bytes = int64_t(job_.dims.m) * job_.dims.k, b_bytes = int64_t(job_.dims.n) * job_.dims.k;
  state_.a_plain = quorl::ref::generate(job_.prepare_seed, a_bytes);
  state_.b_plain = quorl::ref::generate(job_.prepare_seed ^ quorl::ref::kPrepareBSeedXor, b_bytes);
  state_.a_hash = quorl::verify::fast_commit(job_.key, state_.a_plain.data(), a_bytes);
}

const quorl::ref::AttemptOperands& CpuMiner::attempt(int64_t i) {
  if (job_.mode == QV_MODE_FULL) {
    state_ = quorl::ref::full_attempt(job_.key, job_.seed_a + uint64_t(i), job_.seed_b + uint64_t(i), job_.dims);
    return state_;
  }
  const int64_t b_bytes = int64_t(state_.b_plain.size());
  quorl::ref::apply_nonce(state_.b_plain.data(), b_bytes, job_.first_nonce + uint64_t(i));
  state_.b_hash = quorl::verify::fast_commit(job_.key, state_.b_plain.data(), b_bytes);
  state_.seeds = quorl::ref::derive_seeds(job_.key, state_.a_hash, state_.b_hash);
  quorl::ref::add_noise(state_, job_.dims);
  return state_;
}

void CpuMiner::run(MineRun& run) {
  if (job_.mode == QV_MODE_BONLY) prepare();
  DeviceTally& tally = run.tally(0);
  for (int64_t i = 0; run.claim(1).count == 1; ++i) {
    const quorl::ref::AttemptOperands& op = attempt(i);
    const CpuHit hit = cpu_search(op, job_.dims, job_.target);
    if (hit.found >= 0) tally.shares.fetch_add(1);
    if (hit.found >= 0 || job_.all) {
      QvRecord r = record_base(job_, job_.prepare_seed, i);
      put(op.a_hash, r.a_hash);
      put(op.b_hash, r.b_hash);
      put(op.seeds.a_seed, r.a_seed);
      put(op.seeds.b_seed, r.b_seed);
      r.found = hit.found;
      r.has_hash = hit.found >= 0;
      if (r.has_hash) put(hit.hash, r.hash);
      run.emit(quorl::verify::format_record(r, "cpu"));
    }
    tally.attempts.fetch_add(1);
  }
}

}  // namespace qkmine
