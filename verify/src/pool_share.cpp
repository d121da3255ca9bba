#include "pool_share.h"

#include <algorithm>

#include "attempt.h"
#include "quorl_ref/grid.hpp"
#include "record_fields.h"

namespace quorl::verify {
namespace {

uint32_t space_of(uint64_t seed) { return uint32_t(seed >> 32); }

uint64_t chunks_of_b(const QvJob& job) { return uint64_t(int64_t(job.n) * job.k / 1024); }

}  // namespace

std::string job_problem(const QvJob& job) {
  QvRecord probe = empty_record();
  probe.mode = job.mode;
  probe.m = job.m, probe.n = job.n, probe.k = job.k;
  const std::string problem = record_problem(probe);
  if (!problem.empty()) return problem;
  if (job.mode == QV_MODE_BONLY && job.max_nonces == 0) return "a B-only job needs max_nonces >= 1";
  return "";
}

int share_precheck(const QvJob& job, const QvShare& share) {
  if (job.mode == QV_MODE_FULL) {
    if (space_of(share.seed_a) != job.extranonce) return QV_SHARE_OUTSIDE_SPACE;
  } else {
    // The run must go forwards: a wrapped difference could pass the length test.
    if (space_of(share.prepare_seed) != job.extranonce || share.nonce < share.first_nonce ||
        share.nonce - share.first_nonce >= job.max_nonces) {
      return QV_SHARE_OUTSIDE_SPACE;
    }
  }
  const int64_t cells = int64_t(ref::standard_grid_rows(job.m)) * ref::standard_grid_cols(job.n);
  if (share.found < 0 || share.found >= cells) return QV_SHARE_NO_CELL;
  return QV_SHARE_ACCEPTED;
}

QvRecord share_record(const QvJob& job, const QvShare& share) {
  QvRecord r = empty_record();
  r.mode = job.mode;
  r.m = job.m, r.n = job.n, r.k = job.k;
  std::copy(job.key, job.key + 8, r.key);
  std::copy(job.target, job.target + 8, r.target);
  if (job.mode == QV_MODE_FULL) {
    r.seed_a = share.seed_a, r.seed_b = share.seed_b;
  } else {
    r.prepare_seed = share.prepare_seed;
    r.first_nonce = share.first_nonce, r.nonce = share.nonce;
  }
  r.found = share.found;
  return r;
}

QvShare canonical_share(const QvJob& job, const QvShare& share) {
  QvShare c{};
  c.found = share.found;
  if (job.mode == QV_MODE_FULL) {
    c.seed_a = share.seed_a, c.seed_b = share.seed_b;
    return c;
  }
  c.prepare_seed = share.prepare_seed;
  c.nonce = share.nonce;
  c.first_nonce = share.first_nonce;
  if (share.nonce >= share.first_nonce) {
    // The last `chunks` nonces select every chunk once and overwrite whatever
    // earlier nonces wrote there.
    const uint64_t kept = std::min(share.nonce - share.first_nonce, chunks_of_b(job) - 1);
    c.first_nonce = share.nonce - kept;
  }
  return c;
}

}  // namespace quorl::verify
