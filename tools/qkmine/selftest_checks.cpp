#include "selftest_checks.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "gpu_context.h"
#include "mine_job.h"
#include "quorl_ref/attempt.hpp"
#include "quorl_ref/commit.hpp"
#include "quorl_ref/engine_messages.hpp"
#include "quorl_ref/hex.hpp"
#include "quorl_ref/matrix_gen.hpp"

namespace qkmine {
namespace {

using quorl::ref::Cv;

const Cv kKey = {0x03020100, 0x07060504, 0x0b0a0908, 0x0f0e0d0c, 0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c};
constexpr int kDifficulty = 4;  // about one cell in 16 qualifies
constexpr uint64_t kSeedA = 11, kSeedB = 12, kPrepareSeed = 5, kFirstNonce = 40;
constexpr int kBatch = 3;

// The cells a correct search may report for these operands: those whose
// message, in the form this build and mode computes, meets the target.
struct Expect {
  int variant;
  SearchMode mode;
  quorl::ref::Dims d;
  Cv target;

  std::vector<int> cells(const std::vector<int8_t>& a, const std::vector<int8_t>& b, const Cv& key) const {
    if (mode == SearchMode::kSkip) return {};
    const auto messages = reports_standard_messages(variant, mode, d.k)
                              ? quorl::ref::standard_cell_messages(a.data(), b.data(), d.m, d.n, d.k)
                              : quorl::ref::tma_engine_cell_messages(a.data(), b.data(), d.m, d.n, d.k);
    return quorl::ref::qualifying_cells(messages, key, target);
  }
};

// "" when `found` is an outcome a correct search may give, else why not.
std::string judge_found(int found, const std::vector<int>& cells) {
  if (cells.empty()) return found == -1 ? "" : "found " + std::to_string(found) + ", but no cell qualifies";
  if (std::find(cells.begin(), cells.end(), found) != cells.end()) return "";
  return "found " + std::to_string(found) + ", expected one of " + std::to_string(cells.size()) +
         " qualifying cells (first " + std::to_string(cells.front()) + ")";
}

std::string judge_cv(const char* what, const uint32_t got[8], const Cv& want) {
  if (std::equal(want.begin(), want.end(), got)) return "";
  Cv g;
  std::copy(got, got + 8, g.begin());
  return std::string(what) + " " + quorl::ref::to_hex(g) + ", expected " + quorl::ref::to_hex(want);
}

std::string status_text(int status) { return status == 0 ? "" : "CUDA error " + std::to_string(status); }

}  // namespace

std::string SelftestShape::text() const {
  return std::to_string(m) + "x" + std::to_string(n) + "x" + std::to_string(k);
}

std::vector<CheckResult> run_checks(int device, const BuildInfo& build, const SelftestShape& shape,
                                    SearchMode mode) {
  GpuContext ctx(device, shape.m, shape.n, shape.k, build.variant);
  if (!ctx.ok() || ctx.variant() != build.variant) {
    return {{"qk_init", false, ctx.ok() ? "the library chose another build" : "no context (see stderr)"}};
  }
  QkHandle* h = ctx.get();
  const quorl::ref::Dims d{shape.m, shape.n, shape.k};
  const Expect expect{build.variant, mode, d, target_for_difficulty(kDifficulty)};
  uint32_t key[8], target[8];
  put(kKey, key);
  put(expect.target, target);
  const quorl::ref::AttemptOperands op = quorl::ref::full_attempt(kKey, kSeedA, kSeedB, d);

  std::vector<CheckResult> results;
  auto check = [&](const char* call, const std::function<std::string()>& body) {
    const std::string why = body();
    results.push_back({call, why.empty(), why});
  };

  check("qk_gen_ab", [&] {
    if (int s = qk_gen_ab(h, kSeedA, kSeedB)) return status_text(s);
    std::vector<int8_t> a(op.a_plain.size()), b(op.b_plain.size());
    if (int s = qk_get_plain(h, a.data(), b.data())) return status_text(s);
    if (a != op.a_plain) return std::string("A differs from the generator's");
    if (b != op.b_plain) return std::string("B differs from the generator's");
    return std::string();
  });
  check("qk_commit", [&] {
    uint32_t a_hash[8], b_hash[8];
    if (int s = qk_commit(h, key, a_hash, b_hash)) return status_text(s);
    const std::string why = judge_cv("a_hash", a_hash, op.a_hash);
    return why.empty() ? judge_cv("b_hash", b_hash, op.b_hash) : why;
  });
  const std::vector<int> full_cells = expect.cells(op.a, op.b, op.seeds.a_seed);
  check("qk_mine_full", [&] {
    const int found = qk_mine_full(h, key, kSeedA, kSeedB, target);
    uint32_t a_hash[8], b_hash[8];
    if (int s = qk_get_hashes(h, a_hash, b_hash)) return status_text(s);
    std::string why = judge_cv("a_hash", a_hash, op.a_hash);
    if (why.empty()) why = judge_cv("b_hash", b_hash, op.b_hash);
    return why.empty() ? judge_found(found, full_cells) : why;
  });
  check("qk_mine_full_profile", [&] {
    float times[8] = {};
    const int found = qk_mine_full_profile(h, key, kSeedA, kSeedB, target, times);
    if (!(times[7] > 0)) return std::string("no total time");
    return judge_found(found, full_cells);
  });
  check("qk_mine_full_loaded", [&] {
    if (int s = qk_set_job(h, key, target)) return "qk_set_job: " + status_text(s);
    return judge_found(qk_mine_full_loaded(h, kSeedA, kSeedB), full_cells);
  });
  check("qk_mine", [&] {
    uint32_t search_key[8];
    put(op.seeds.a_seed, search_key);
    return judge_found(qk_mine(h, op.a.data(), op.b.data(), search_key, target), full_cells);
  });
  check("qk_mine_full_bonly_batch", [&] {
    if (int s = qk_prepare_a(h, key, target, kPrepareSeed)) return "qk_prepare_a: " + status_text(s);
    int32_t found[kBatch];
    qk_mine_full_bonly_batch(h, kFirstNonce, kBatch, found);
    std::vector<uint64_t> nonces;
    quorl::ref::AttemptOperands state;
    for (int i = 0; i < kBatch; ++i) {
      nonces.push_back(kFirstNonce + uint64_t(i));
      state = quorl::ref::bonly_attempt(kKey, kPrepareSeed, nonces, d);
      const std::string why = judge_found(found[i], expect.cells(state.a, state.b, state.seeds.a_seed));
      if (!why.empty()) return "attempt " + std::to_string(i) + ": " + why;
    }
    uint32_t a_hash[8], b_hash[8];
    if (int s = qk_get_hashes(h, a_hash, b_hash)) return status_text(s);
    const std::string why = judge_cv("a_hash", a_hash, state.a_hash);
    return why.empty() ? judge_cv("b_hash after the batch", b_hash, state.b_hash) : why;
  });
  // The single and profiled attempts carry on from the batch's state.
  std::vector<uint64_t> nonces;
  for (int i = 0; i < kBatch; ++i) nonces.push_back(kFirstNonce + uint64_t(i));
  auto next_bonly = [&](const char* call, const std::function<int(uint64_t)>& attempt) {
    check(call, [&] {
      nonces.push_back(nonces.back() + 1);
      const int found = attempt(nonces.back());
      const quorl::ref::AttemptOperands state = quorl::ref::bonly_attempt(kKey, kPrepareSeed, nonces, d);
      uint32_t a_hash[8], b_hash[8];
      if (int s = qk_get_hashes(h, a_hash, b_hash)) return status_text(s);
      const std::string why = judge_cv("b_hash", b_hash, state.b_hash);
      return why.empty() ? judge_found(found, expect.cells(state.a, state.b, state.seeds.a_seed)) : why;
    });
  };
  next_bonly("qk_mine_full_bonly", [&](uint64_t nonce) { return qk_mine_full_bonly(h, nonce); });
  next_bonly("qk_mine_full_bonly_profile", [&](uint64_t nonce) {
    float times[12] = {};
    return qk_mine_full_bonly_profile(h, nonce, times);
  });
  return results;
}

}  // namespace qkmine
