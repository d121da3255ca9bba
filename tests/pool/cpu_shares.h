// Shares of a pool job found on the CPU reference path: what a miner would
// submit, for the tests of the stratum client (no miner run loop needed).
#pragma once

#include <memory>
#include <vector>

#include "pool_job.h"
#include "quorl_ref/attempt.hpp"
#include "quorl_ref/engine_messages.hpp"

namespace quorl::test {

using qkmine::pool::PoolJob;
using qkmine::pool::Share;

// The cells of the attempt `share` names (its found is not read) that meet
// the job's target, and those that do not.
struct CellSplit {
  std::vector<int> meeting, above;
};

inline CellSplit split_cells(const PoolJob& job, const Share& share) {
  const ref::Dims d = job.dims;
  ref::AttemptOperands op;
  if (job.mode == QV_MODE_FULL) {
    op = ref::full_attempt(job.key, share.seed_a, share.seed_b, d);
  } else {
    std::vector<uint64_t> nonces;
    for (uint64_t x = share.first_nonce; x <= share.nonce; ++x) nonces.push_back(x);
    op = ref::bonly_attempt(job.key, share.prepare_seed, nonces, d);
  }
  const auto messages = ref::standard_cell_messages(op.a.data(), op.b.data(), d.m, d.n, d.k);
  CellSplit split;
  split.meeting = ref::qualifying_cells(messages, op.seeds.a_seed, job.target);
  for (int c = 0, next = 0; c < int(messages.size()); ++c) {
    if (next < int(split.meeting.size()) && split.meeting[size_t(next)] == c) {
      ++next;
    } else {
      split.above.push_back(c);
    }
  }
  return split;
}

// Attempt `i` in the job's seed space: full mode seed_a = E << 32 | (from + i);
// B-only one preparation (E << 32 | 7) and the nonce run from..from + i.
inline Share attempt(const std::shared_ptr<const PoolJob>& job, uint64_t from, uint64_t i) {
  Share s;
  s.job = job;
  const uint64_t space = uint64_t(job->extranonce) << 32;
  if (job->mode == QV_MODE_FULL) {
    s.seed_a = space | ((from + i) & 0xffffffffu);
    s.seed_b = 0x9E3779B97F4A7C15ull + from + i;
  } else {
    s.prepare_seed = space | 7;
    s.first_nonce = from, s.nonce = from + i;
  }
  return s;
}

// The first `count` attempts from `from` that find a share, each with the
// lowest qualifying cell, as the CPU path reports.
inline std::vector<Share> find_shares(const std::shared_ptr<const PoolJob>& job, size_t count, uint64_t from) {
  std::vector<Share> out;
  for (uint64_t i = 0; out.size() < count && i < 64 * count; ++i) {
    Share s = attempt(job, from, i);
    const CellSplit split = split_cells(*job, s);
    if (split.meeting.empty()) continue;
    s.found = split.meeting.front();
    s.tag = i;
    out.push_back(s);
  }
  return out;
}

}  // namespace quorl::test
