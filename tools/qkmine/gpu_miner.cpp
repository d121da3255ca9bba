#include "gpu_miner.h"

#include <algorithm>

#include "gpu_builds.h"
#include "quorl_ref/noise.hpp"
#include "quorl_verify.h"

namespace qkmine {
namespace {

constexpr int kBatch = 64;  // qk_mine_full_bonly_batch runs at most 64 attempts a call

quorl::ref::Cv cv(const uint32_t words[8]) {
  quorl::ref::Cv out;
  std::copy(words, words + 8, out.begin());
  return out;
}

}  // namespace

GpuMiner::GpuMiner(const Job& job, int gpu, size_t place)
    : job_(job), gpu_(gpu), place_(place), prepare_seed_(job.prepare_seed + place), results_(kBatch) {}

std::string GpuMiner::open() {
  const SearchMode mode = search_mode_from_env();
  if (mode == SearchMode::kSkip) return "!SKIP_BOUND is set: GPU searches would report nothing";
  ctx_ = std::make_unique<GpuContext>(gpu_, job_.dims.m, job_.dims.n, job_.dims.k);
  if (!ctx_->ok()) return "cannot create a context on GPU " + std::to_string(gpu_);
  if (!reports_standard_messages(ctx_->variant(), mode, job_.dims.k)) {
    return "!GPU " + std::to_string(gpu_) + " runs the h100tma fused engine, whose cell messages for k < 2048 "
           "are not the standard ones its shares are verified against; use --k 2048 or more, "
           "SEPARATE_BOUND=1 or QUORL_KERNEL_VARIANT=fallback";
  }
  const std::string failed = trial();
  return failed.empty() ? prepare(job_, nullptr) : failed;
}

std::string GpuMiner::trial() {
  const std::string gpu = "GPU " + std::to_string(gpu_);
  uint32_t key[8], every_cell[8], a_hash[8], b_hash[8];
  put(job_.key, key);
  std::fill(every_cell, every_cell + 8, ~0u);
  int32_t found = -1;
  if (job_.mode == QV_MODE_FULL) {
    found = qk_mine_full(ctx_->get(), key, job_.seed_a, job_.seed_b, every_cell);
  } else {  // on a state of its own: preparing the job afterwards starts afresh
    const int status = qk_prepare_a(ctx_->get(), key, every_cell, prepare_seed_);
    if (status != 0) return gpu + " failed its trial attempt: " + cuda_error_text(status) + " (from qk_prepare_a)";
    qk_mine_full_bonly_batch(ctx_->get(), job_.first_nonce, 1, &found);
  }
  const int status = qk_get_hashes(ctx_->get(), a_hash, b_hash);
  if (status != 0) return gpu + " failed its trial attempt: " + cuda_error_text(status) + " (from qk_get_hashes)";
  if (found < 0) {
    return gpu + " cannot search: a trial attempt against a target every cell meets found none "
           "(its kernels cannot start on it: a build it cannot run forced with QUORL_KERNEL_VARIANT?)";
  }
  return "";
}

std::string GpuMiner::prepare(const Job& job, MineRun* run) {
  const bool new_dims = job.dims.m != job_.dims.m || job.dims.n != job_.dims.n || job.dims.k != job_.dims.k;
  job_ = job;
  prepare_seed_ = run != nullptr ? run->prepare_seed(job, place_) : job.prepare_seed + place_;
  done_ = 0;
  if (new_dims) {
    ctx_ = std::make_unique<GpuContext>(gpu_, job.dims.m, job.dims.n, job.dims.k);
    if (!ctx_->ok()) {
      return "cannot create a context for " + std::to_string(job.dims.m) + "x" + std::to_string(job.dims.n) + "x" +
             std::to_string(job.dims.k) + " on GPU " + std::to_string(gpu_);
    }
  }
  if (job.mode != QV_MODE_BONLY) return "";
  DeviceTally* tally = run != nullptr ? &run->tally(place_) : nullptr;
  uint32_t key[8], target[8];
  put(job.key, key);
  put(job.target, target);
  int status;
  if (tally != nullptr) {
    DeviceCall call(*tally, "qk_prepare_a");
    status = qk_prepare_a(ctx_->get(), key, target, prepare_seed_);
  } else {
    status = qk_prepare_a(ctx_->get(), key, target, prepare_seed_);
  }
  if (status == 0) return "";
  return "preparing B-only mining on GPU " + std::to_string(gpu_) + ": " + cuda_error_text(status);
}

void GpuMiner::run(MineRun& run) {
  // With --all every B-only attempt needs its roots, which only the
  // context's latest attempt has: one attempt per call then.
  auto batch = [this] { return job_.mode == QV_MODE_FULL || job_.all ? int64_t(1) : int64_t(kBatch); };
  for (Work w = run.claim(batch()); w.count > 0; w = run.claim(batch())) {
    // A new job, or a B-only preparation that has run all the nonces the job allows.
    const bool spent = job_.max_nonces > 0 && uint64_t(done_) >= job_.max_nonces;
    if (w.job->id != job_.id || spent) {
      const std::string problem = prepare(*w.job, &run);
      if (!problem.empty()) {
        run.give_back(w);
        run.fail(place_, problem);
        return;
      }
    }
    // What one call of this job may run (claimed under the job before, or
    // short of max_nonces: a B-only batch never crosses it); the rest goes back.
    int64_t most = batch();
    if (job_.max_nonces > 0) most = std::min(most, int64_t(job_.max_nonces) - done_);
    if (w.count > most) {
      run.give_back({w.job, w.first + most, w.count - most});
      w.count = most;
    }
    if (!(job_.mode == QV_MODE_FULL ? mine_full(run, w) : mine_bonly(run, w))) {
      run.give_back(w);
      return;
    }
  }
}

bool GpuMiner::read_roots(MineRun& run, QvRecord& r) {
  // qk_get_hashes waits for the context's stream, and a failed device's
  // wait returns its sticky error; after the mining call's own wait it
  // costs two 32-byte copies, a few microseconds against milliseconds per
  // attempt. A failed wait makes every outcome of the call suspect: none
  // is used.
  int status;
  {
    DeviceCall call(run.tally(place_), "qk_get_hashes");
    status = qk_get_hashes(ctx_->get(), r.a_hash, r.b_hash);
  }
  if (status != 0) {
    run.fail(place_, cuda_error_text(status) + " (from qk_get_hashes)");
    return false;
  }
  const quorl::ref::NoiseSeeds seeds = quorl::ref::derive_seeds(job_.key, cv(r.a_hash), cv(r.b_hash));
  put(seeds.a_seed, r.a_seed);
  put(seeds.b_seed, r.b_seed);
  return true;
}

bool GpuMiner::mine_full(MineRun& run, const Work& w) {
  uint32_t key[8], target[8];
  put(job_.key, key);
  put(job_.target, target);
  QvRecord r = record_base(job_, 0, w.first);
  {
    DeviceCall call(run.tally(place_), "qk_mine_full");
    r.found = qk_mine_full(ctx_->get(), key, r.seed_a, r.seed_b, target);
  }
  if (!read_roots(run, r)) return false;
  run.count_attempts(place_, 1);
  if (r.found >= 0 || job_.all) run.hand_over({r, place_, r.found >= 0 ? Check::kClaims : Check::kNone, job_.id});
  return true;
}

bool GpuMiner::mine_bonly(MineRun& run, const Work& w) {
  const int count = int(std::min<int64_t>(w.count, kBatch));
  // A library that fails before writing an outcome leaves -1, not a stale hit.
  std::fill(results_.begin(), results_.end(), -1);
  {
    DeviceCall call(run.tally(place_), "qk_mine_full_bonly_batch");
    qk_mine_full_bonly_batch(ctx_->get(), job_.first_nonce + uint64_t(done_), count, results_.data());
  }
  QvRecord last = record_base(job_, prepare_seed_, done_ + count - 1);
  if (!read_roots(run, last)) return false;
  run.count_attempts(place_, count);
  for (int j = 0; j < count; ++j) {
    const int32_t found = results_[size_t(j)];
    if (found < 0 && !job_.all) continue;
    if (j == count - 1) {
      last.found = found;
      run.hand_over({last, place_, found >= 0 ? Check::kClaims : Check::kNone, job_.id});
    } else {  // an earlier attempt of the batch: its roots come from the host's check
      QvRecord r = record_base(job_, prepare_seed_, done_ + j);
      r.found = found;
      run.hand_over({r, place_, Check::kHostRoots, job_.id});
    }
  }
  done_ += count;
  return true;
}

}  // namespace qkmine
