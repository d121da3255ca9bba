#include "fast_gen.h"

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "quorl_ref/matrix_gen.hpp"

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

}  // namespace

void fast_generate(uint64_t seed, int8_t* out, int64_t count, int threads) {
  const int64_t whole = count / 8;
  auto fill = [&](int64_t begin, int64_t end) {
    for (int64_t g = begin; g < end; ++g) {
      const uint64_t y = elements(mixed_word(seed, uint64_t(g)));
      std::memcpy(out + 8 * g, &y, 8);  // little-endian: lane j in byte j
    }
  };
  // Groups are independent: each thread fills one run of them.
  const int64_t workers = std::clamp<int64_t>(threads, 1, std::max<int64_t>(whole / 4096, 1));
  std::vector<std::thread> pool;
  for (int64_t w = 1; w < workers; ++w) pool.emplace_back(fill, whole * w / workers, whole * (w + 1) / workers);
  fill(0, whole / workers);
  for (std::thread& t : pool) t.join();
  // A partial last group (never in a matrix the miner accepts).
  for (int64_t i = 8 * whole; i < count; ++i) {
    out[i] = ref::ab_gen8(seed, uint64_t(whole))[size_t(i - 8 * whole)];
  }
}

}  // namespace quorl::verify
