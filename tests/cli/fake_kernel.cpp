#include "fake_kernel.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "cpu_search.h"
#include "quorl_kernel.h"
#include "quorl_ref/attempt.hpp"
#include "quorl_ref/bonly.hpp"
#include "quorl_ref/commit.hpp"
#include "quorl_ref/engine_messages.hpp"
#include "quorl_ref/matrix_gen.hpp"

namespace {

constexpr int kIllegalAddress = 700;  // cudaErrorIllegalAddress: sticky
constexpr int kUnknownError = 999;    // cudaErrorUnknown

}  // namespace

struct QkCtx {
  int device = 0;
  quorl::ref::Dims d;
  quorl::ref::Cv key, target;
  quorl::ref::AttemptOperands op;  // the latest attempt, or the B-only state
  uint64_t prepare_seed = 0;
  quorl::test::FakeFaults faults;
  int64_t attempts = 0;   // run so far
  int sticky = 0;         // the sticky error, once there is one
  int32_t pinned[64]{};   // the outcomes the last successful batch copied back
  std::vector<std::string> unchecked;  // hits since the last status call
};

namespace {

std::atomic<bool> g_wrong_cells{false};
std::mutex g_lock;
std::condition_variable g_released;
uint64_t g_generation = 0;  // bumped by fake_kernel_reset
std::map<int, quorl::test::FakeFaults> g_faults;
std::vector<std::string> g_hits;

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

// A hit counts as reported once a status call after it succeeded.
void log_hit(QkCtx& c, const std::string& attempt, int32_t found) {
  if (found >= 0) c.unchecked.push_back(attempt + " found=" + std::to_string(found));
}

// The start of a mining call of `attempts` attempts: its delay, a block,
// and whether it fails (the context then holds a sticky error).
bool call_fails(QkCtx& c, int64_t attempts) {
  if (c.faults.call_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(c.faults.call_ms));
  if (c.faults.block_after >= 0 && c.attempts >= c.faults.block_after) {
    // A minute is forever to any watchdog a test sets, and keeps a test of
    // a broken watchdog from hanging.
    std::unique_lock<std::mutex> lock(g_lock);
    const uint64_t generation = g_generation;
    g_released.wait_for(lock, std::chrono::minutes(1), [&] { return g_generation != generation; });
    c.sticky = kIllegalAddress;
  }
  if (c.faults.sticky_after >= 0 && c.attempts + attempts > c.faults.sticky_after) c.sticky = kIllegalAddress;
  return c.sticky != 0 || c.faults.launch_fails;
}

}  // namespace

namespace quorl::test {

void fake_kernel_reports_wrong_cells(bool on) { g_wrong_cells.store(on); }

void fake_kernel_set_faults(int device, const FakeFaults& faults) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_faults[device] = faults;
}

void fake_kernel_reset() {
  std::lock_guard<std::mutex> lock(g_lock);
  g_faults.clear();
  g_hits.clear();
  ++g_generation;
  g_released.notify_all();
}

void fake_kernel_forget_hits() {
  std::lock_guard<std::mutex> lock(g_lock);
  g_hits.clear();
}

std::vector<std::string> fake_kernel_hits() {
  std::lock_guard<std::mutex> lock(g_lock);
  return g_hits;
}

}  // namespace quorl::test

extern "C" {

// The stand-in is a library of one build, fallback: contexts on the others
// are refused, as a library built without them refuses them.
QkCtx* qk_init_fallback(int device, int m, int n, int k, int, int, const int32_t*, const int32_t*) {
  auto* c = new QkCtx{};
  c->device = device;
  c->d = {m, n, k};
  std::lock_guard<std::mutex> lock(g_lock);
  if (g_faults.count(device)) c->faults = g_faults[device];
  return c;
}
void qk_free_fallback(QkCtx* c) { delete c; }
QkCtx* qk_init_sm89(int, int, int, int, int, int, const int32_t*, const int32_t*) { return nullptr; }
QkCtx* qk_init_sm120a(int, int, int, int, int, int, const int32_t*, const int32_t*) { return nullptr; }
QkCtx* qk_init_h100tma(int, int, int, int, int, int, const int32_t*, const int32_t*) { return nullptr; }
void qk_free_sm89(QkCtx*) {}
void qk_free_sm120a(QkCtx*) {}
void qk_free_h100tma(QkCtx*) {}

QkHandle* qk_init(int device, int m, int n, int k, int row_groups, int col_groups, const int32_t* rows,
                  const int32_t* cols) {
  return new QkHandle{QK_VARIANT_FALLBACK, qk_init_fallback(device, m, n, k, row_groups, col_groups, rows, cols)};
}

void qk_free(QkHandle* h) {
  if (h == nullptr) return;
  qk_free_fallback(h->ctx);
  delete h;
}

int qk_mine_full(QkHandle* h, const uint32_t key[8], uint64_t seed_a, uint64_t seed_b, const uint32_t target[8]) {
  QkCtx& c = *h->ctx;
  if (call_fails(c, 1)) return -1;
  c.key = cv(key), c.target = cv(target);
  c.op = quorl::ref::full_attempt(c.key, seed_a, seed_b, c.d);
  ++c.attempts;
  const int32_t found = search(c);
  log_hit(c, "seed_a=" + std::to_string(seed_a), found);
  return found;
}

int qk_get_hashes(QkHandle* h, uint32_t a_hash[8], uint32_t b_hash[8]) {
  QkCtx& c = *h->ctx;
  const bool readback_fails = c.faults.readback_fails_after >= 0 && c.attempts > c.faults.readback_fails_after;
  const int status = c.sticky ? c.sticky : readback_fails ? kUnknownError : 0;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    if (status == 0) g_hits.insert(g_hits.end(), c.unchecked.begin(), c.unchecked.end());
    c.unchecked.clear();
  }
  if (status != 0) return status;
  std::copy(h->ctx->op.a_hash.begin(), h->ctx->op.a_hash.end(), a_hash);
  std::copy(h->ctx->op.b_hash.begin(), h->ctx->op.b_hash.end(), b_hash);
  return 0;
}

int qk_prepare_a(QkHandle* h, const uint32_t key[8], const uint32_t target[8], uint64_t seed) {
  QkCtx& c = *h->ctx;
  if (c.sticky) return c.sticky;
  c.key = cv(key), c.target = cv(target);
  c.prepare_seed = seed;
  c.op.a_plain = quorl::ref::generate(seed, int64_t(c.d.m) * c.d.k);
  c.op.b_plain = quorl::ref::generate(seed ^ quorl::ref::kPrepareBSeedXor, int64_t(c.d.n) * c.d.k);
  c.op.a_hash = quorl::ref::commit(c.key, c.op.a_plain.data(), int64_t(c.op.a_plain.size()));
  c.op.b_hash = quorl::ref::commit(c.key, c.op.b_plain.data(), int64_t(c.op.b_plain.size()));
  return 0;
}

void qk_mine_full_bonly_batch(QkHandle* h, uint64_t first_nonce, int count, int32_t* results) {
  QkCtx& c = *h->ctx;
  if (count <= 0) return;
  const int r = std::min(count, 64);
  // The library resets every outcome before anything can fail.
  if (!c.faults.stale_batches) std::fill(results, results + r, -1);
  if (call_fails(c, r)) {
    if (c.faults.stale_batches) std::copy(c.pinned, c.pinned + r, results);
    return;
  }
  for (int i = 0; i < r; ++i) {
    const uint64_t nonce = first_nonce + uint64_t(i);
    quorl::ref::apply_nonce(c.op.b_plain.data(), int64_t(c.op.b_plain.size()), nonce);
    c.op.b_hash = quorl::ref::commit(c.key, c.op.b_plain.data(), int64_t(c.op.b_plain.size()));
    c.op.seeds = quorl::ref::derive_seeds(c.key, c.op.a_hash, c.op.b_hash);
    quorl::ref::add_noise(c.op, c.d);
    c.pinned[i] = results[i] = search(c);
    log_hit(c, "prepare_seed=" + std::to_string(c.prepare_seed) + " nonce=" + std::to_string(nonce), results[i]);
  }
  c.attempts += r;
}

int qk_gen_ab(QkHandle* h, uint64_t seed_a, uint64_t seed_b) {
  QkCtx& c = *h->ctx;
  if (c.sticky) return c.sticky;
  c.op.a_plain = quorl::ref::generate(seed_a, int64_t(c.d.m) * c.d.k);
  c.op.b_plain = quorl::ref::generate(seed_b, int64_t(c.d.n) * c.d.k);
  return 0;
}

int qk_get_plain(QkHandle* h, int8_t* a, int8_t* b) {
  if (h->ctx->sticky) return h->ctx->sticky;
  std::copy(h->ctx->op.a_plain.begin(), h->ctx->op.a_plain.end(), a);
  std::copy(h->ctx->op.b_plain.begin(), h->ctx->op.b_plain.end(), b);
  return 0;
}

int qk_commit(QkHandle* h, const uint32_t key[8], uint32_t a_hash[8], uint32_t b_hash[8]) {
  QkCtx& c = *h->ctx;
  if (c.sticky) return c.sticky;
  c.op.a_hash = quorl::ref::commit(cv(key), c.op.a_plain.data(), int64_t(c.op.a_plain.size()));
  c.op.b_hash = quorl::ref::commit(cv(key), c.op.b_plain.data(), int64_t(c.op.b_plain.size()));
  return qk_get_hashes(h, a_hash, b_hash);
}

int qk_set_job(QkHandle* h, const uint32_t key[8], const uint32_t target[8]) {
  if (h->ctx->sticky) return h->ctx->sticky;
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
  if (call_fails(c, 1)) return -1;
  c.target = cv(target);
  c.op.a.assign(a, a + int64_t(c.d.m) * c.d.k);
  c.op.b.assign(b, b + int64_t(c.d.n) * c.d.k);
  c.op.seeds.a_seed = cv(search_key);
  ++c.attempts;
  return search(c);
}

int qk_mine_full_bonly(QkHandle* h, uint64_t nonce) {
  int32_t found = -1;
  qk_mine_full_bonly_batch(h, nonce, 1, &found);
  return found;
}

int qk_mine_full_bonly_profile(QkHandle* h, uint64_t nonce, float times[12]) {
  std::fill(times, times + 12, 1.0f);
  return qk_mine_full_bonly(h, nonce);
}

}  // extern "C"
