// Commitment throughput of the verifier's hasher beside `b3sum --no-mmap`
// (single-threaded) on the same bytes: a keyed BLAKE3 tree over 32 MiB, which
// is exactly the standard keyed hash b3sum computes; then the time to verify
// one share at 8192 x 8192 x 2048.
//   quorl_commit_bench [MiB] [threads]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "blake3_kernels.h"
#include "fast_commit.h"
#include "quorl_ref/commit.hpp"
#include "quorl_ref/hex.hpp"
#include "quorl_ref/matrix_gen.hpp"
#include "quorl_verify.h"

namespace {

using Clock = std::chrono::steady_clock;

template <class F>
double best_seconds(int reps, F&& f) {
  double best = 1e30;
  for (int r = 0; r < reps; ++r) {
    const auto t0 = Clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best;
}

std::string run_b3sum(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buf[256];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    ::pclose(p);
  }
  return out.substr(0, 64);
}

}  // namespace

int main(int argc, char** argv) {
  const int64_t mib = argc > 1 ? std::atoll(argv[1]) : 32;
  const int threads = argc > 2 ? std::atoi(argv[2]) : 4;
  const int64_t bytes = mib << 20;
  const std::vector<int8_t> data = quorl::ref::generate(7, bytes);
  quorl::ref::Cv key{};
  for (int i = 0; i < 8; ++i) key[i] = 0x01010101u * uint32_t(i);

  quorl::ref::Cv root{};
  const double fast1 = best_seconds(5, [&] { root = quorl::verify::fast_commit(key, data.data(), bytes, 1); });
  const double fastn = best_seconds(5, [&] { quorl::verify::fast_commit(key, data.data(), bytes, threads); });
  const double ref = best_seconds(1, [&] { quorl::ref::commit(key, data.data(), bytes); });

  // b3sum reads the same bytes from a file in /tmp (page cache, not disk).
  char path[] = "/tmp/quorl_bench_XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd < 0 || ::write(fd, data.data(), size_t(bytes)) != bytes) return 1;
  ::close(fd);
  char key_bytes[32];
  quorl::ref::cv_to_bytes(key, key_bytes);
  std::string b3_hash;
  const std::string command = "printf '" + [&] {
    std::string esc;
    for (unsigned char c : std::string(key_bytes, 32)) {
      char b[8];
      std::snprintf(b, sizeof b, "\\%03o", c);
      esc += b;
    }
    return esc;
  }() + "' | b3sum --keyed --no-mmap " + path;
  const double b3 = best_seconds(5, [&] { b3_hash = run_b3sum(command); });
  ::unlink(path);

  const double gib = double(bytes) / double(1 << 30);
  std::printf("keyed commitment of %lld MiB (kernels: %s)\n", (long long)mib,
              quorl::verify::blake3::best_kernels().name);
  std::printf("  %-28s %8.2f ms  %6.2f GiB/s\n", "verifier, 1 thread", fast1 * 1e3, gib / fast1);
  std::printf("  %-28s %8.2f ms  %6.2f GiB/s\n", ("verifier, " + std::to_string(threads) + " threads").c_str(),
              fastn * 1e3, gib / fastn);
  std::printf("  %-28s %8.2f ms  %6.2f GiB/s  (process start and file read included)\n",
              "b3sum --no-mmap", b3 * 1e3, gib / b3);
  std::printf("  %-28s %8.2f ms  %6.2f GiB/s\n", "reference model", ref * 1e3, gib / ref);
  std::printf("  ratio verifier/b3sum, 1 thread: %.2f\n", fast1 / b3);

  // A whole share at the miner's default shape: rebuild both matrices, commit
  // them, derive the seeds and check one cell.
  QvRecord share{};
  share.mode = QV_MODE_FULL;
  share.m = share.n = 8192, share.k = 2048;
  share.seed_a = 1, share.seed_b = 2, share.found = 12345;
  std::copy(key.begin(), key.end(), share.key);
  for (uint32_t& w : share.target) w = ~0u;
  qv_attempt_roots(&share, 1, share.a_hash, share.b_hash, share.a_seed, share.b_seed, nullptr, 0);
  QvVerdict verdict{};
  int status = -1;
  const double verify1 = best_seconds(3, [&] { status = qv_verify(&share, 1, &verdict, nullptr, 0); });
  const double verifyn = best_seconds(3, [&] { qv_verify(&share, threads, &verdict, nullptr, 0); });
  std::printf("share at 8192 x 8192 x 2048 (%s)\n", status == QV_OK ? "valid" : "NOT VALID");
  std::printf("  %-28s %8.2f ms\n", "verify, 1 thread", verify1 * 1e3);
  std::printf("  %-28s %8.2f ms\n", ("verify, " + std::to_string(threads) + " threads").c_str(), verifyn * 1e3);

  const bool same = b3_hash == quorl::ref::to_hex(root) && status == QV_OK;
  std::printf("  roots %s (b3sum %s)\n", same ? "agree" : "DIFFER", b3_hash.c_str());
  return same ? 0 : 1;
}
