#include "mine_job.h"

#include <algorithm>
#include <cstdlib>
#include <random>

#include "../../cuda/frame/shape_check.h"
#include "quorl_ref/hex.hpp"

namespace qkmine {
namespace {

using quorl::ref::Cv;

constexpr int kCpuExtraBits = 3;  // a share in about 8 attempts: the CPU is slow
constexpr int kGpuExtraBits = 8;  // about one in 256: seconds apart at 8192^2 x 2048

Cv random_key() {
  std::random_device rd;
  Cv key;
  for (uint32_t& w : key) w = rd();
  return key;
}

int log2_floor(int64_t x) {
  int bits = 0;
  while (x > 1) x >>= 1, ++bits;
  return bits;
}

}  // namespace

Cv target_for_difficulty(int bits) {
  Cv t{};
  for (int w = 0; w < 8; ++w) {
    const int low = 32 * w, ones = 256 - bits;  // bits below `ones` are set
    if (ones >= low + 32) t[w] = ~0u;
    else if (ones > low) t[w] = (1u << (ones - low)) - 1;
  }
  return t;
}

int default_difficulty(const quorl::ref::Dims& d, int extra) {
  return std::min(256, log2_floor(int64_t(d.m / 2) * (d.n / 64)) + extra);
}

void put(const Cv& cv, uint32_t out[8]) { std::copy(cv.begin(), cv.end(), out); }

std::string read_job(const OptionValues& opt, bool on_gpu, Job& job) {
  const std::string mode = opt.text("mode").value_or("full");
  if (mode != "full" && mode != "bonly") return "--mode takes full or bonly";
  job.mode = mode == "full" ? QV_MODE_FULL : QV_MODE_BONLY;

  const auto m = opt.integer("m"), n = opt.integer("n"), k = opt.integer("k");
  if ((opt.has("m") && !m) || (opt.has("n") && !n) || (opt.has("k") && !k)) {
    return "--m, --n and --k take integers";
  }
  const int fallback_mn = on_gpu ? 8192 : 256;
  job.dims = {int(m.value_or(fallback_mn)), int(n.value_or(fallback_mn)), int(k.value_or(2048))};
  const int32_t label = 0;
  if (m.value_or(0) > INT32_MAX || n.value_or(0) > INT32_MAX || k.value_or(0) > INT32_MAX ||
      quorl::check_shape(job.dims.m, job.dims.n, job.dims.k, &label, &label) != quorl::ShapeFault::kNone) {
    return "unsupported shape: m a positive multiple of 128, n of 256, k of 64, "
           "and m*k, n*k each 1024 * 2^L bytes";
  }

  if (opt.has("key")) {
    const auto key = quorl::ref::parse_hex32(*opt.text("key"));
    if (!key) return "--key must be 64 hex digits";
    job.key = *key;
  } else {
    job.key = random_key();
  }
  if (opt.has("target") && opt.has("difficulty")) return "give --target or --difficulty, not both";
  if (opt.has("target")) {
    const auto target = quorl::ref::parse_hex32(*opt.text("target"));
    if (!target) return "--target must be 64 hex digits";
    job.target = *target;
  } else {
    const int fallback_bits = default_difficulty(job.dims, on_gpu ? kGpuExtraBits : kCpuExtraBits);
    const auto bits = opt.has("difficulty") ? opt.integer("difficulty") : std::optional<int64_t>(fallback_bits);
    if (!bits || *bits < 0 || *bits > 256) return "--difficulty takes 0 to 256 bits";
    job.target = target_for_difficulty(int(*bits));
  }

  const bool full = job.mode == QV_MODE_FULL;
  for (const char* name : {"seed-a", "seed-b"}) {
    if (!full && opt.has(name)) return std::string("--") + name + " belongs to --mode full";
  }
  for (const char* name : {"prepare-seed", "first-nonce"}) {
    if (full && opt.has(name)) return std::string("--") + name + " belongs to --mode bonly";
  }
  const char* seeds[] = {"seed-a", "seed-b", "prepare-seed", "first-nonce"};
  uint64_t* slots[] = {&job.seed_a, &job.seed_b, &job.prepare_seed, &job.first_nonce};
  for (int i = 0; i < 4; ++i) {
    if (!opt.has(seeds[i])) continue;
    const auto v = opt.u64(seeds[i]);
    if (!v) return std::string("--") + seeds[i] + " takes an unsigned integer";
    *slots[i] = *v;
  }
  if (full && !opt.has("seed-b")) job.seed_b = job.seed_a + 0x9E3779B97F4A7C15ull;

  if (opt.has("attempts") && opt.has("seconds")) return "give --attempts or --seconds, not both";
  job.attempts = -1;
  if (opt.has("attempts")) {
    const auto a = opt.integer("attempts");
    if (!a || *a < 1) return "--attempts takes a positive integer";
    job.attempts = *a;
  }
  if (opt.has("seconds")) {
    char* end = nullptr;
    const std::string t = *opt.text("seconds");
    job.seconds = std::strtod(t.c_str(), &end);
    if (t.empty() || *end != '\0' || !(job.seconds > 0)) return "--seconds takes a positive number";
  }
  job.all = opt.has("all");
  job.json = opt.has("json");
  return "";
}

QvRecord record_base(const Job& job, uint64_t prepare_seed, int64_t attempt) {
  QvRecord r{};
  r.mode = job.mode;
  r.m = job.dims.m, r.n = job.dims.n, r.k = job.dims.k;
  put(job.key, r.key);
  put(job.target, r.target);
  if (job.mode == QV_MODE_FULL) {
    r.seed_a = job.seed_a + uint64_t(attempt);
    r.seed_b = job.seed_b + uint64_t(attempt);
  } else {
    r.prepare_seed = prepare_seed;
    r.first_nonce = job.first_nonce;
    r.nonce = job.first_nonce + uint64_t(attempt);
  }
  r.found = -1;
  return r;
}

}  // namespace qkmine
