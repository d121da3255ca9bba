// The counter-based generator of the plain matrices: group g of eight
// elements is a pure function of (seed, g), every element in [-64, 63].
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorl::ref {

// The mixed 64-bit word of group g; element 8g+j is its j-th 7-bit field - 64.
uint64_t ab_word(uint64_t seed, uint64_t g);
std::array<int8_t, 8> ab_gen8(uint64_t seed, uint64_t g);

// Elements 0 .. count-1 of the matrix generated from `seed`.
void generate_into(uint64_t seed, int8_t* out, int64_t count);
std::vector<int8_t> generate(uint64_t seed, int64_t count);

}  // namespace quorl::ref
