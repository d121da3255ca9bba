// qkmine mine: run attempts until told to stop and print a record for every
// share (or every attempt with --all). The CPU path runs the whole pipeline
// on the reference model; the records are those `qkmine verify` checks.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "../../cuda/frame/shape_check.h"
#include "commands.h"
#include "cpu_search.h"
#include "devices.h"
#include "fast_commit.h"
#include "options.h"
#include "quorl_ref/attempt.hpp"
#include "quorl_ref/bonly.hpp"
#include "quorl_ref/commit.hpp"
#include "quorl_ref/hex.hpp"
#include "quorl_ref/matrix_gen.hpp"
#include "quorl_verify.h"
#include "record_json.h"

namespace qkmine {
namespace {

using quorl::ref::Cv;
using Clock = std::chrono::steady_clock;

constexpr const char* kUsage =
    "usage: qkmine mine [--mode full|bonly] [--devices LIST|all|cpu] [--m M --n N --k K]\n"
    "         [--key HEX] [--target HEX | --difficulty BITS]\n"
    "         [--seed-a X --seed-b Y | --prepare-seed S --first-nonce X]\n"
    "         [--attempts N | --seconds T] [--all] [--json]\n";

constexpr int kCpuDifficulty = 12;  // about one share in eight attempts at 256 x 256
constexpr double kProgressSeconds = 3.0;

std::atomic<bool> g_stop{false};
extern "C" void on_interrupt(int) { g_stop.store(true); }

int usage(const std::string& why) {
  std::fprintf(stderr, "qkmine mine: %s\n%s", why.c_str(), kUsage);
  return kExitUsage;
}

// 2^(256 - bits) - 1 as eight little-endian words.
Cv target_for_difficulty(int bits) {
  Cv t{};
  for (int w = 0; w < 8; ++w) {
    const int low = 32 * w, ones = 256 - bits;  // bits below `ones` are set
    if (ones >= low + 32) t[w] = ~0u;
    else if (ones > low) t[w] = (1u << (ones - low)) - 1;
  }
  return t;
}

Cv random_key() {
  std::random_device rd;
  Cv key;
  for (uint32_t& w : key) w = rd();
  return key;
}

void put(const Cv& cv, uint32_t out[8]) { std::copy(cv.begin(), cv.end(), out); }

struct Job {
  int mode;
  quorl::ref::Dims dims;
  Cv key, target;
  uint64_t seed_a, seed_b, prepare_seed, first_nonce;
  int64_t attempts;  // < 0: no limit
  double seconds;    // <= 0: no limit
  bool all, json;
};

// One attempt's record from its operands and search result.
QvRecord make_record(const Job& job, int64_t attempt, const quorl::ref::AttemptOperands& op,
                     const CpuHit& hit) {
  QvRecord r{};
  r.mode = job.mode;
  r.m = job.dims.m, r.n = job.dims.n, r.k = job.dims.k;
  put(job.key, r.key);
  put(job.target, r.target);
  if (job.mode == QV_MODE_FULL) {
    r.seed_a = job.seed_a + uint64_t(attempt);
    r.seed_b = job.seed_b + uint64_t(attempt);
  } else {
    r.prepare_seed = job.prepare_seed;
    r.first_nonce = job.first_nonce;
    r.nonce = job.first_nonce + uint64_t(attempt);
  }
  put(op.a_hash, r.a_hash);
  put(op.b_hash, r.b_hash);
  put(op.seeds.a_seed, r.a_seed);
  put(op.seeds.b_seed, r.b_seed);
  r.found = hit.found;
  r.has_hash = hit.found >= 0;
  if (r.has_hash) put(hit.hash, r.hash);
  return r;
}

// The CPU device: full attempts from scratch, or B-only attempts on a state
// prepared once and mutated by each nonce in turn.
class CpuMiner {
 public:
  explicit CpuMiner(const Job& job) : job_(job) {
    if (job.mode == QV_MODE_BONLY) {
      const int64_t a_bytes = int64_t(job.dims.m) * job.dims.k, b_bytes = int64_t(job.dims.n) * job.dims.k;
      state_.a_plain = quorl::ref::generate(job.prepare_seed, a_bytes);
      state_.b_plain = quorl::ref::generate(job.prepare_seed ^ quorl::ref::kPrepareBSeedXor, b_bytes);
      state_.a_hash = quorl::verify::fast_commit(job.key, state_.a_plain.data(), a_bytes);
    }
  }

  const quorl::ref::AttemptOperands& attempt(int64_t i) {
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

 private:
  Job job_;
  quorl::ref::AttemptOperands state_;
};

void print_progress(const Job& job, int64_t attempts, int64_t shares, double elapsed, bool final) {
  const double rate = elapsed > 0 ? double(attempts) / elapsed : 0.0;
  const double tops = rate * 2.0 * job.dims.m * job.dims.n * job.dims.k / 1e12;
  if (final && job.json) {
    std::printf("{\"summary\":true,\"device\":\"cpu\",\"attempts\":%lld,\"shares\":%lld,"
                "\"seconds\":%.3f,\"attempts_per_s\":%.3f,\"tops\":%.6f}\n",
                (long long)attempts, (long long)shares, elapsed, rate, tops);
    std::fflush(stdout);
    return;
  }
  std::fprintf(stderr, "%s cpu %.2f attempts/s | total %.2f attempts/s, %.4f TOPS int8, %lld shares, %lld attempts in %.1f s\n",
               final ? "done:" : "mining:", rate, rate, tops, (long long)shares, (long long)attempts, elapsed);
}

int mine_on_cpu(const Job& job) {
  CpuMiner miner(job);
  std::signal(SIGINT, on_interrupt);
  std::signal(SIGTERM, on_interrupt);
  const auto start = Clock::now();
  auto last_progress = start;
  int64_t attempts = 0, shares = 0;
  auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
  while (!g_stop.load() && (job.attempts < 0 || attempts < job.attempts) &&
         (job.seconds <= 0 || elapsed() < job.seconds)) {
    const quorl::ref::AttemptOperands& op = miner.attempt(attempts);
    const CpuHit hit = cpu_search(op, job.dims, job.target);
    if (hit.found >= 0) ++shares;
    if (hit.found >= 0 || job.all) {
      const std::string line = quorl::verify::format_record(make_record(job, attempts, op, hit), "cpu");
      std::printf("%s\n", line.c_str());
      std::fflush(stdout);
    }
    ++attempts;
    if (std::chrono::duration<double>(Clock::now() - last_progress).count() >= kProgressSeconds) {
      last_progress = Clock::now();
      print_progress(job, attempts, shares, elapsed(), false);
    }
  }
  print_progress(job, attempts, shares, elapsed(), true);
  return kExitOk;
}

}  // namespace

int run_mine(const std::vector<std::string>& args) {
  Options opt;
  std::string error;
  if (!opt.parse(args, 2,
                 {"mode", "devices", "m", "n", "k", "key", "target", "difficulty", "seed-a", "seed-b",
                  "prepare-seed", "first-nonce", "attempts", "seconds"},
                 {"all", "json"}, error)) {
    return usage(error);
  }
  Job job{};
  const std::string mode = opt.text("mode").value_or("full");
  if (mode != "full" && mode != "bonly") return usage("--mode takes full or bonly");
  job.mode = mode == "full" ? QV_MODE_FULL : QV_MODE_BONLY;

  std::string devices = opt.text("devices").value_or("");
  if (devices.empty()) {
    devices = "cpu";
    if (visible_gpus() > 0) {
      std::fprintf(stderr, "qkmine: GPU mining is not in this build yet; mining on the CPU reference model\n");
    } else {
      std::fprintf(stderr, "qkmine: no CUDA device visible; mining on the CPU reference model\n");
    }
  }
  if (devices != "cpu") {
    if (devices != "all" && devices.find_first_not_of("0123456789,") != std::string::npos) {
      return usage("--devices takes a list of GPU ordinals, 'all' or 'cpu'");
    }
    std::fprintf(stderr, "qkmine mine: GPU mining is not in this build yet; use --devices cpu\n");
    return kExitFailed;
  }

  const auto m = opt.integer("m"), n = opt.integer("n"), k = opt.integer("k");
  if ((opt.has("m") && !m) || (opt.has("n") && !n) || (opt.has("k") && !k)) {
    return usage("--m, --n and --k take integers");
  }
  job.dims = {int(m.value_or(256)), int(n.value_or(256)), int(k.value_or(2048))};
  const int32_t label = 0;
  if (m.value_or(0) > INT32_MAX || n.value_or(0) > INT32_MAX || k.value_or(0) > INT32_MAX ||
      quorl::check_shape(job.dims.m, job.dims.n, job.dims.k, &label, &label) != quorl::ShapeFault::kNone) {
    return usage("unsupported shape: m a positive multiple of 128, n of 256, k of 64, "
                 "and m*k, n*k each 1024 * 2^L bytes");
  }

  if (opt.has("key")) {
    const auto key = quorl::ref::parse_hex32(*opt.text("key"));
    if (!key) return usage("--key must be 64 hex digits");
    job.key = *key;
  } else {
    job.key = random_key();
  }
  if (opt.has("target") && opt.has("difficulty")) return usage("give --target or --difficulty, not both");
  if (opt.has("target")) {
    const auto target = quorl::ref::parse_hex32(*opt.text("target"));
    if (!target) return usage("--target must be 64 hex digits");
    job.target = *target;
  } else {
    const auto bits = opt.has("difficulty") ? opt.integer("difficulty") : std::optional<int64_t>(kCpuDifficulty);
    if (!bits || *bits < 0 || *bits > 256) return usage("--difficulty takes 0 to 256 bits");
    job.target = target_for_difficulty(int(*bits));
  }

  const bool full = job.mode == QV_MODE_FULL;
  for (const char* name : {"seed-a", "seed-b"}) {
    if (!full && opt.has(name)) return usage(std::string("--") + name + " belongs to --mode full");
  }
  for (const char* name : {"prepare-seed", "first-nonce"}) {
    if (full && opt.has(name)) return usage(std::string("--") + name + " belongs to --mode bonly");
  }
  const char* seeds[] = {"seed-a", "seed-b", "prepare-seed", "first-nonce"};
  uint64_t* slots[] = {&job.seed_a, &job.seed_b, &job.prepare_seed, &job.first_nonce};
  for (int i = 0; i < 4; ++i) {
    if (!opt.has(seeds[i])) continue;
    const auto v = opt.u64(seeds[i]);
    if (!v) return usage(std::string("--") + seeds[i] + " takes an unsigned integer");
    *slots[i] = *v;
  }
  if (full && !opt.has("seed-b")) job.seed_b = job.seed_a + 0x9E3779B97F4A7C15ull;

  if (opt.has("attempts") && opt.has("seconds")) return usage("give --attempts or --seconds, not both");
  job.attempts = -1;
  if (opt.has("attempts")) {
    const auto a = opt.integer("attempts");
    if (!a || *a < 1) return usage("--attempts takes a positive integer");
    job.attempts = *a;
  }
  if (opt.has("seconds")) {
    char* end = nullptr;
    const std::string t = *opt.text("seconds");
    job.seconds = std::strtod(t.c_str(), &end);
    if (t.empty() || *end != '\0' || !(job.seconds > 0)) return usage("--seconds takes a positive number");
  }
  job.all = opt.has("all");
  job.json = opt.has("json");
  return mine_on_cpu(job);
}

}  // namespace qkmine
