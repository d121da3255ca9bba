#include "fast_gen.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace quorl::verify {
namespace {

inline uint64_t mixed_word(uint64_t seed, uint64_t g) {
  uint64_t z = (seed + 0x9E3779B97F4A7C15ull) ^ (g * 0xD2B74407B1CE6E93ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Byte j = (7-bit field j of x) - 64. A field f in [0, 127] minus 64 mod 256
// is f XOR 0x40 when bit 6 is set and f XOR 0xC0 when it is clear, so the
// subtraction never carries between bytes.
// The fields are spread to bytes in three halving steps (28-, 14-, 7-bit
// groups) rather than eight shifts.
inline uint64_t elements(uint64_t x) {
  uint64_t y = (x & 0x000000000FFFFFFFull) | ((x & 0x00FFFFFFF0000000ull) << 4);
  y = (y & 0x00003FFF00003FFFull) | ((y & 0x0FFFC0000FFFC000ull) << 2);
  y = (y & 0x007F007F007F007Full) | ((y & 0x3F803F803F803F80ull) << 1);
  return y ^ 0xC0C0C0C0C0C0C0C0ull ^ ((y & 0x4040404040404040ull) << 1);
}

// Written once, inlined into one function per instruction set, where the
// compiler vectorises it: no shuffles, only 64-bit lanes of multiplies,
// shifts and masks.
__attribute__((always_inline)) inline void fill_groups(uint64_t seed, int64_t begin, int64_t end,
                                                       int8_t* out) {
  for (int64_t g = begin; g < end; ++g) {
    const uint64_t y = elements(mixed_word(seed, uint64_t(g)));
    std::memcpy(out + 8 * (g - begin), &y, 8);  // little-endian: lane j in byte j
  }
}

void fill_portable(uint64_t seed, int64_t begin, int64_t end, int8_t* out) {
  fill_groups(seed, begin, end, out);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QV_HAS_X86_FILLERS 1
// Four groups per register; the 64-bit multiplies are built from 32-bit ones.
__attribute__((target("avx2"))) void fill_avx2(uint64_t seed, int64_t begin, int64_t end, int8_t* out) {
  fill_groups(seed, begin, end, out);
}
// Eight groups per register, with AVX-512DQ's 64-bit multiply.
__attribute__((target("avx512f,avx512dq"))) void fill_avx512(uint64_t seed, int64_t begin, int64_t end,
                                                             int8_t* out) {
  fill_groups(seed, begin, end, out);
}
#endif

const GroupFiller& best_filler() {
  static const GroupFiller f = supported_group_fillers().front();
  return f;
}

}  // namespace

std::vector<GroupFiller> supported_group_fillers() {
  std::vector<GroupFiller> fillers;
#if defined(QV_HAS_X86_FILLERS)
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq")) {
    fillers.push_back({"avx512", fill_avx512});
  }
  if (__builtin_cpu_supports("avx2")) fillers.push_back({"avx2", fill_avx2});
#endif
  fillers.push_back({"portable", fill_portable});
  return fillers;
}

void fast_generate_range(uint64_t seed, int64_t first, int64_t count, int8_t* out) {
  if (count <= 0) return;
  const auto fill = best_filler().fill;
  const int64_t end = first + count;
  const int64_t whole_begin = (first + 7) / 8, whole_end = end / 8;
  // A group cut at either end (or a range inside one group): through a copy.
  auto partial = [&](int64_t g, int64_t from, int64_t to) {
    int8_t lanes[8];
    fill(seed, g, g + 1, lanes);
    std::memcpy(out + (from - first), lanes + (from - 8 * g), size_t(to - from));
  };
  if (whole_begin > whole_end) {
    partial(first / 8, first, end);
    return;
  }
  if (first < 8 * whole_begin) partial(first / 8, first, 8 * whole_begin);
  fill(seed, whole_begin, whole_end, out + (8 * whole_begin - first));
  if (8 * whole_end < end) partial(whole_end, 8 * whole_end, end);
}

void fast_generate(uint64_t seed, int8_t* out, int64_t count, int threads) {
  // Groups are independent: each thread fills one run of them.
  const int64_t groups = count / 8;
  const int64_t workers = std::clamp<int64_t>(threads, 1, std::max<int64_t>(groups / 4096, 1));
  auto fill = [&](int64_t w) {
    const int64_t begin = 8 * (groups * w / workers);
    const int64_t end = w + 1 == workers ? count : 8 * (groups * (w + 1) / workers);
    fast_generate_range(seed, begin, end - begin, out + begin);
  };
  std::vector<std::thread> pool;
  for (int64_t w = 1; w < workers; ++w) pool.emplace_back(fill, w);
  fill(0);
  for (std::thread& t : pool) t.join();
}

}  // namespace quorl::verify
