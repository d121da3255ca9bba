#include "quorl_ref/noise.hpp"

#include <cstring>

namespace quorl::ref {
namespace {

Cv hash_pair(const Cv& first, const Cv& second) {
  Block message;
  for (int i = 0; i < 8; ++i) {
    message[i] = first[i];
    message[i + 8] = second[i];
  }
  return hash_block(message);
}

Cv text_tag(const char* text) {
  uint8_t bytes[32] = {};
  std::memcpy(bytes, text, 8);
  return cv_from_bytes(bytes);
}

}  // namespace

NoiseSeeds derive_seeds(const Cv& job_key, const Cv& a_hash, const Cv& b_hash) {
  NoiseSeeds s;
  s.b_seed = hash_pair(job_key, b_hash);
  s.a_seed = hash_pair(s.b_seed, a_hash);
  return s;
}

Cv a_tag() { return text_tag("A_tensor"); }
Cv b_tag() { return text_tag("B_tensor"); }

Cv noise_prf(const Cv& seed, const Cv& tag, uint32_t word0, uint32_t word1) {
  Block message{};
  message[0] = word0;
  message[1] = word1;
  for (int i = 0; i < 8; ++i) message[8 + i] = tag[i];
  return keyed_hash_block(seed, message);
}

void noise_row(const Cv& seed, const Cv& tag, int64_t row, int8_t out[kNoiseWidth]) {
  for (int quarter = 0; quarter < 4; ++quarter) {
    const uint32_t counter = uint32_t(4 * row + quarter + 1);
    uint8_t bytes[32];
    cv_to_bytes(noise_prf(seed, tag, counter, 0), bytes);
    for (int b = 0; b < 32; ++b) out[32 * quarter + b] = noise_value(bytes[b]);
  }
}

std::vector<int8_t> noise_table(const Cv& seed, const Cv& tag, int64_t rows) {
  std::vector<int8_t> table(size_t(rows) * kNoiseWidth);
  for (int64_t r = 0; r < rows; ++r) noise_row(seed, tag, r, table.data() + r * kNoiseWidth);
  return table;
}

uint16_t selector_entry(uint32_t word, uint32_t width) {
  const uint32_t p = word & (width - 1);
  const uint32_t d = uint32_t((uint64_t(word) * (width - 1)) >> 32) + 1;
  const uint32_t q = p ^ d;
  return uint16_t(q << 8 | p);
}

std::vector<uint16_t> selector_table(const Cv& seed, const Cv& tag, int64_t k) {
  std::vector<uint16_t> table(static_cast<size_t>(k));
  for (int64_t c = 0; c < k; c += 8) {
    const Cv words = noise_prf(seed, tag, 0, uint32_t(c / 8 + 1));
    for (int64_t j = 0; j < 8 && c + j < k; ++j) table[c + j] = selector_entry(words[j]);
  }
  return table;
}

int8_t fuse_element(int8_t x, const int8_t* noise_row, uint16_t selector) {
  const int p = selector & 0xFF, q = selector >> 8;
  return int8_t(uint8_t(x + noise_row[p] - noise_row[q]));
}

std::vector<int8_t> noised_operand(const int8_t* plain, int64_t rows, int64_t k, const Cv& seed,
                                   const Cv& tag) {
  const std::vector<uint16_t> selectors = selector_table(seed, tag, k);
  std::vector<int8_t> out(size_t(rows * k));
  int8_t row_noise[kNoiseWidth];
  for (int64_t r = 0; r < rows; ++r) {
    noise_row(seed, tag, r, row_noise);
    for (int64_t c = 0; c < k; ++c) {
      out[r * k + c] = fuse_element(plain[r * k + c], row_noise, selectors[c]);
    }
  }
  return out;
}

}  // namespace quorl::ref
