#include "pool_job.h"

#include <algorithm>

namespace qkmine::pool {

QvJob PoolJob::verifier_job() const {
  QvJob j{};
  j.mode = mode;
  j.m = dims.m, j.n = dims.n, j.k = dims.k;
  std::copy(key.begin(), key.end(), j.key);
  std::copy(target.begin(), target.end(), j.target);
  j.max_nonces = max_nonces;
  j.extranonce = extranonce;
  return j;
}

bool in_seed_space(const PoolJob& job, const Share& share) {
  if (job.mode == QV_MODE_FULL) return uint32_t(share.seed_a >> 32) == job.extranonce;
  return uint32_t(share.prepare_seed >> 32) == job.extranonce && share.nonce >= share.first_nonce &&
         share.nonce - share.first_nonce < job.max_nonces;
}

const char* fate_name(ShareFate fate) {
  switch (fate) {
    case ShareFate::kAccepted: return "accepted";
    case ShareFate::kRejected: return "rejected";
    case ShareFate::kDropped: return "dropped";
  }
  return "";
}

}  // namespace qkmine::pool
