#include "share_check.h"

#include <algorithm>
#include <thread>

#include "quorl_ref/engine_messages.hpp"

namespace qkmine {
namespace {

quorl::ref::Cv cv(const uint32_t words[8]) {
  quorl::ref::Cv out;
  std::copy(words, words + 8, out.begin());
  return out;
}

}  // namespace

std::string confirm_outcome(QvRecord& r, Check check, int threads) {
  if (check == Check::kNone) return "";
  QvVerdict v;
  char why[256] = "";
  r.has_hash = 0;
  const int status = qv_verify(&r, threads, &v, why, sizeof why);
  if (status == QV_BAD_RECORD) return why;
  if (check == Check::kHostRoots) {
    // No roots were claimed: the rebuilt ones are the attempt's, and the
    // verdict's cell is computed from them whatever the claims were.
    std::copy(v.a_hash, v.a_hash + 8, r.a_hash);
    std::copy(v.b_hash, v.b_hash + 8, r.b_hash);
    std::copy(v.a_seed, v.a_seed + 8, r.a_seed);
    std::copy(v.b_seed, v.b_seed + 8, r.b_seed);
    if (r.found >= 0 && !quorl::ref::meets_target(cv(v.hash), cv(r.target))) return "target";
  } else if (status != QV_OK) {
    static const char* const kFaults[] = {"", "a_hash", "b_hash", "b_seed", "a_seed", "hash", "target"};
    return kFaults[std::clamp(v.fault, 0, 6)];
  }
  if (r.found >= 0) {
    std::copy(v.hash, v.hash + 8, r.hash);
    r.has_hash = 1;
  }
  return "";
}

int check_threads() {
  const int host = int(std::thread::hardware_concurrency());
  return std::clamp(host / 2, 1, 8);
}

}  // namespace qkmine
