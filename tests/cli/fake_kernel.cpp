#include "fake_kernel.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "cpu_search.h"
#include "quorl_kernel.h"
#include "quorl_ref/attempt.hpp"
#include "quorl_ref/bonly.hpp"
#include "quorl_ref/commit.hpp"
#include "quorl_ref/engine_messages.hpp"
#include "quorl_ref/matrix_gen.hpp"

struct QkCtx {
  quorl::ref::Dims d;
  quorl::ref::Cv key, target;
  quorl::ref::AttemptOperands op;  // the latest attempt, or the B-only state
};

namespace {

std::atomic<bool> g_wrong_cells{false};

quorl::ref::Cv cv(const uint32_t w[8]) {
  quorl::ref::Cv out;
  std::copy(w, w + 8, out.begin());
  return out;
}

int32_t search(const QkCtx& c) {
  const int32_t found = qkmine::cpu_search(c.op, c.d, c.target).found;
  if (found < 0 || !g_wrong_cells.load()) return found;
  const auto messages = quorl::ref::standard_cell_messages(c.op.a.data(), c.op.b.data(), c.d.m, c.d.n, c.d.k);
  const std::vector<int> good = quorl::ref::qualifying_cells(messages, c.op.seeds.a_seed, c.target);
  for (int32_t cell = 0; cell < int32_t(messages.size()); ++cell) {
    if (!std::binary_search(good.begin(), good.end(), cell)) return cell;
  }
  return found;
}

}  // namespace

namespace quorl::test {
void fake_kernel_reports_wrong_cells(bool on) { g_wrong_cells.store(on); }
}  // namespace quorl::test

extern "C" {

QkHandle* qk_init(int, int m, int n, int k, int, int, const int32_t*, const int32_t*) {
  auto* c = new QkCtx{};
  c->d = {m, n, k};
  return new QkHandle{QK_VARIANT_FALLBACK, c};
}

void qk_free(QkHandle* h) {
  if (h == nullptr) return;
  delete h->ctx;
  delete h;
}

int qk_mine_full(QkHandle* h, const uint32_t key[8], uint64_t seed_a, uint64_t seed_b, const uint32_t target[8]) {
  QkCtx& c = *h->ctx;
  c.key = cv(key), c.target = cv(target);
  c.op = quorl::ref::full_attempt(c.key, seed_a, seed_b, c.d);
  return search(c);
}

int qk_get_hashes(QkHandle* h, uint32_t a_hash[8], uint32_t b_hash[8]) {
  std::copy(h->ctx->op.a_hash.begin(), h->ctx->op.a_hash.end(), a_hash);
  std::copy(h->ctx->op.b_hash.begin(), h->ctx->op.b_hash.end(), b_hash);
  return 0;
}

int qk_prepare_a(QkHandle* h, const uint32_t key[8], const uint32_t target[8], uint64_t seed) {
  QkCtx& c = *h->ctx;
  c.key = cv(key), c.target = cv(target);
  c.op.a_plain = quorl::ref::generate(seed, int64_t(c.d.m) * c.d.k);
  c.op.b_plain = quorl::ref::generate(seed ^ quorl::ref::kPrepareBSeedXor, int64_t(c.d.n) * c.d.k);
  c.op.a_hash = quorl::ref::commit(c.key, c.op.a_plain.data(), int64_t(c.op.a_plain.size()));
  c.op.b_hash = quorl::ref::commit(c.key, c.op.b_plain.data(), int64_t(c.op.b_plain.size()));
  return 0;
}

void qk_mine_full_bonly_batch(QkHandle* h, uint64_t first_nonce, int count, int32_t* results) {
  QkCtx& c = *h->ctx;
  for (int i = 0; i < std::min(count, 64); ++i) {
    quorl::ref::apply_nonce(c.op.b_plain.data(), int64_t(c.op.b_plain.size()), first_nonce + uint64_t(i));
    c.op.b_hash = quorl::ref::commit(c.key, c.op.b_plain.data(), int64_t(c.op.b_plain.size()));
    c.op.seeds = quorl::ref::derive_seeds(c.key, c.op.a_hash, c.op.b_hash);
    quorl::ref::add_noise(c.op, c.d);
    results[i] = search(c);
  }
}

int qk_gen_ab(QkHandle* h, uint64_t seed_a, uint64_t seed_b) {
  QkCtx& c = *h->ctx;
  c.op.a_plain = quorl::ref::generate(seed_a, int64_t(c.d.m) * c.d.k);
  c.op.b_plain = quorl::ref::generate(seed_b, int64_t(c.d.n) * c.d.k);
  return 0;
}

int qk_get_plain(QkHandle* h, int8_t* a, int8_t* b) {
  std::copy(h->ctx->op.a_plain.begin(), h->ctx->op.a_plain.end(), a);
  std::copy(h->ctx->op.b_plain.begin(), h->ctx->op.b_plain.end(), b);
  return 0;
}

int qk_commit(QkHandle* h, const uint32_t key[8], uint32_t a_hash[8], uint32_t b_hash[8]) {
  QkCtx& c = *h->ctx;
  c.op.a_hash = quorl::ref::commit(cv(key), c.op.a_plain.data(), int64_t(c.op.a_plain.size()));
  c.op.b_hash = quorl::ref::commit(cv(key), c.op.b_plain.data(), int64_t(c.op.b_plain.size()));
  return qk_get_hashes(h, a_hash, b_hash);
}

int qk_set_job(QkHandle* h, const uint32_t key[8], const uint32_t target[8]) {
  h->ctx->key = cv(key), h->ctx->target = cv(target);
  return 0;
}

int qk_mine_full_loaded(QkHandle* h, uint64_t seed_a, uint64_t seed_b) {
  uint32_t key[8], target[8];
  std::copy(h->ctx->key.begin(), h->ctx->key.end(), key);
  std::copy(h->ctx->target.begin(), h->ctx->target.end(), target);
  return qk_mine_full(h, key, seed_a, seed_b, target);
}

int qk_mine_full_profile(QkHandle* h, const uint32_t key[8], uint64_t seed_a, uint64_t seed_b,
                         const uint32_t target[8], float times[8]) {
  std::fill(times, times + 8, 1.0f);
  return qk_mine_full(h, key, seed_a, seed_b, target);
}

int qk_mine(QkHandle* h, const int8_t* a, const int8_t* b, const uint32_t search_key[8], const uint32_t target[8]) {
  QkCtx& c = *h->ctx;
  c.target = cv(target);
  c.op.a.assign(a, a + int64_t(c.d.m) * c.d.k);
  c.op.b.assign(b, b + int64_t(c.d.n) * c.d.k);
  c.op.seeds.a_seed = cv(search_key);
  return search(c);
}

int qk_mine_full_bonly(QkHandle* h, uint64_t nonce) {
  int32_t found;
  qk_mine_full_bonly_batch(h, nonce, 1, &found);
  return found;
}

int qk_mine_full_bonly_profile(QkHandle* h, uint64_t nonce, float times[12]) {
  std::fill(times, times + 12, 1.0f);
  return qk_mine_full_bonly(h, nonce);
}

}  // extern "C"
