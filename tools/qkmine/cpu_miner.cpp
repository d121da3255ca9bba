#include "cpu_miner.h"

#include "cpu_search.h"
#include "fast_commit.h"
#include "quorl_ref/bonly.hpp"
#include "quorl_ref/matrix_gen.hpp"

namespace qkmine {

void CpuMiner::prepare(MineRun& run) {
  prepare_seed_ = run.prepare_seed(job_, 0);
  done_ = 0;
  const int64_t a_bytes = int64_t(job_.dims.m) * job_.dims.k, b_bytes = int64_t(job_.dims.n) * job_.dims.k;
  state_.a_plain = quorl::ref::generate(prepare_seed_, a_bytes);
  state_.b_plain = quorl::ref::generate(prepare_seed_ ^ quorl::ref::kPrepareBSeedXor, b_bytes);
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
  DeviceTally& tally = run.tally(0);
  bool prepared = false;
  for (Work w = run.claim(1); w.count == 1; w = run.claim(1)) {
    if (!prepared || w.job->id != job_.id) {
      job_ = *w.job;
      if (job_.mode == QV_MODE_BONLY) prepare(run);
      prepared = true;
    } else if (job_.mode == QV_MODE_BONLY && job_.max_nonces > 0 && uint64_t(done_) >= job_.max_nonces) {
      prepare(run);
    }
    // Full mode: the run's attempt number; B-only: the next nonce of this preparation.
    const int64_t i = job_.mode == QV_MODE_FULL ? w.first : done_++;
    CpuHit hit;
    {
      DeviceCall call(tally, "an attempt on the reference model");
      hit = cpu_search(attempt(i), job_.dims, job_.target);
    }
    run.count_attempts(0, 1);
    if (hit.found < 0 && !job_.all) continue;
    // Found on the host: the record needs no further check.
    QvRecord r = record_base(job_, prepare_seed_, i);
    put(state_.a_hash, r.a_hash);
    put(state_.b_hash, r.b_hash);
    put(state_.seeds.a_seed, r.a_seed);
    put(state_.seeds.b_seed, r.b_seed);
    r.found = hit.found;
    r.has_hash = hit.found >= 0;
    if (r.has_hash) put(hit.hash, r.hash);
    run.hand_over({r, 0, Check::kNone, job_.id});
  }
}

}  // namespace qkmine
