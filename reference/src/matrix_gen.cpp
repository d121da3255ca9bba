#include "quorl_ref/matrix_gen.hpp"

namespace quorl::ref {

uint64_t ab_word(uint64_t seed, uint64_t g) {
  uint64_t z = (seed + 0x9E3779B97F4A7C15ull) ^ (g * 0xD2B74407B1CE6E93ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::array<int8_t, 8> ab_gen8(uint64_t seed, uint64_t g) {
  const uint64_t x = ab_word(seed, g);
  std::array<int8_t, 8> lanes;
  for (int j = 0; j < 8; ++j) lanes[j] = static_cast<int8_t>(static_cast<int>((x >> (7 * j)) & 0x7F) - 64);
  return lanes;
}

void generate_into(uint64_t seed, int8_t* out, int64_t count) {
  for (int64_t i = 0; i < count; i += 8) {
    const std::array<int8_t, 8> lanes = ab_gen8(seed, uint64_t(i / 8));
    for (int64_t j = 0; j < 8 && i + j < count; ++j) out[i + j] = lanes[j];
  }
}

std::vector<int8_t> generate(uint64_t seed, int64_t count) {
  std::vector<int8_t> out(static_cast<size_t>(count));
  generate_into(seed, out.data(), count);
  return out;
}

}  // namespace quorl::ref
