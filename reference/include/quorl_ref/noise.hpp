// Noise seeds, noise tables, selector tables and their fusion into the
// operands the search multiplies.
//
// Each operand X (rows of length k) gets a noise table N (128 values in
// [-32, 31] per row) and a selector table S (one pair (p, q), p != q, per
// column); element (r, c) becomes X[r][c] + N[r][p_c] - N[r][q_c] mod 256, so
// the noise matrix has rank at most 128.
#pragma once

#include <cstdint>
#include <vector>

#include "blake3.hpp"

namespace quorl::ref {

struct NoiseSeeds {
  Cv a_seed;
  Cv b_seed;
};

// b_seed = BLAKE3(job_key || b_hash), a_seed = BLAKE3(b_seed || a_hash).
NoiseSeeds derive_seeds(const Cv& job_key, const Cv& a_hash, const Cv& b_hash);

// The domain tags: "A_tensor" / "B_tensor" followed by 24 zero bytes.
Cv a_tag();
Cv b_tag();

// Keyed BLAKE3 (key = seed) of the block (word0, word1, 24 zero bytes, tag).
Cv noise_prf(const Cv& seed, const Cv& tag, uint32_t word0, uint32_t word1);

constexpr int kNoiseWidth = 128;  // values per noise-table row

// A noise value from one hash byte: its low six bits minus 32.
inline int8_t noise_value(uint8_t hash_byte) { return int8_t((hash_byte & 0x3F) - 32); }

// Row r of a noise table: the hashes with counters 4r+1 .. 4r+4, each byte
// reduced to its low six bits minus 32.
void noise_row(const Cv& seed, const Cv& tag, int64_t row, int8_t out[kNoiseWidth]);
std::vector<int8_t> noise_table(const Cv& seed, const Cv& tag, int64_t rows);

// One selector pair from a hash word: p = low bits, q = p XOR d with
// d = (word * (width - 1)) >> 32 + 1; stored as (q << 8) | p.
uint16_t selector_entry(uint32_t word, uint32_t width = kNoiseWidth);
std::vector<uint16_t> selector_table(const Cv& seed, const Cv& tag, int64_t k);

// x + noise[p] - noise[q], wrapped to eight bits.
int8_t fuse_element(int8_t x, const int8_t* noise_row, uint16_t selector);

// The noised copy of `plain` (rows x k) under `seed` and `tag`.
std::vector<int8_t> noised_operand(const int8_t* plain, int64_t rows, int64_t k, const Cv& seed,
                                   const Cv& tag);

}  // namespace quorl::ref
