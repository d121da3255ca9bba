#include "gpu_miner.h"

#include <cstdio>
#include <vector>

#include "gpu_builds.h"
#include "quorl_ref/noise.hpp"
#include "quorl_verify.h"
#include "record_json.h"

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
    : job_(job), gpu_(gpu), place_(place), prepare_seed_(job.prepare_seed + place) {}

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
  if (job_.mode == QV_MODE_BONLY) {
    uint32_t key[8], target[8];
    put(job_.key, key);
    put(job_.target, target);
    const int status = qk_prepare_a(ctx_->get(), key, target, prepare_seed_);
    if (status != 0) return "preparing B-only mining on GPU " + std::to_string(gpu_) + ": CUDA error " + std::to_string(status);
  }
  return "";
}

void GpuMiner::run(MineRun& run) {
  if (job_.mode == QV_MODE_FULL) run_full(run);
  else run_bonly(run);
}

void GpuMiner::roots_from_gpu(QvRecord& r) {
  qk_get_hashes(ctx_->get(), r.a_hash, r.b_hash);
  const quorl::ref::NoiseSeeds seeds = quorl::ref::derive_seeds(job_.key, cv(r.a_hash), cv(r.b_hash));
  put(seeds.a_seed, r.a_seed);
  put(seeds.b_seed, r.b_seed);
}

void GpuMiner::settle(MineRun& run, QvRecord& r) {
  DeviceTally& tally = run.tally(place_);
  if (r.found >= 0) {
    QvVerdict verdict;
    char why[256] = "";
    r.has_hash = 0;
    const int status = qv_verify(&r, 1, &verdict, why, sizeof why);
    if (status != QV_OK) {
      tally.rejected.fetch_add(1);
      static const char* const kFaults[] = {"", "a_hash", "b_hash", "b_seed", "a_seed", "hash", "target"};
      std::fprintf(stderr, "qkmine mine: GPU %d reported cell %d, which the host verifier rejects (%s)\n", gpu_,
                   r.found, status == QV_INVALID ? kFaults[verdict.fault % 7] : why);
      return;
    }
    std::copy(verdict.hash, verdict.hash + 8, r.hash);
    r.has_hash = 1;
    tally.shares.fetch_add(1);
  }
  run.emit(quorl::verify::format_record(r, "gpu:" + std::to_string(gpu_)));
}

void GpuMiner::run_full(MineRun& run) {
  uint32_t key[8], target[8];
  put(job_.key, key);
  put(job_.target, target);
  DeviceTally& tally = run.tally(place_);
  for (MineRun::Claim c = run.claim(1); c.count == 1; c = run.claim(1)) {
    QvRecord r = record_base(job_, 0, c.first);
    r.found = qk_mine_full(ctx_->get(), key, r.seed_a, r.seed_b, target);
    tally.attempts.fetch_add(1);
    if (r.found < 0 && !job_.all) continue;
    roots_from_gpu(r);
    settle(run, r);
  }
}

void GpuMiner::run_bonly(MineRun& run) {
  // With --all every attempt needs its roots, which only the context's last
  // attempt has: one attempt per call then.
  const int batch = job_.all ? 1 : kBatch;
  DeviceTally& tally = run.tally(place_);
  std::vector<int32_t> results(kBatch);
  int64_t done = 0;  // nonces since preparation
  for (MineRun::Claim c = run.claim(batch); c.count > 0; c = run.claim(batch)) {
    const int count = int(c.count);
    qk_mine_full_bonly_batch(ctx_->get(), job_.first_nonce + uint64_t(done), count, results.data());
    tally.attempts.fetch_add(count);
    for (int j = 0; j < count; ++j) {
      if (results[size_t(j)] < 0 && !job_.all) continue;
      QvRecord r = record_base(job_, prepare_seed_, done + j);
      r.found = results[size_t(j)];
      if (j == count - 1) {
        roots_from_gpu(r);
      } else {  // an earlier attempt of the batch: its roots come from the host
        char why[256] = "";
        if (qv_attempt_roots(&r, 1, r.a_hash, r.b_hash, r.a_seed, r.b_seed, why, sizeof why) != QV_OK) {
          std::fprintf(stderr, "qkmine mine: GPU %d: %s\n", gpu_, why);
          tally.rejected.fetch_add(1);
          continue;
        }
      }
      settle(run, r);
    }
    done += count;
  }
}

}  // namespace qkmine
