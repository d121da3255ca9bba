// Cell messages over the standard grid, in the two forms the engines produce.
//
// Standard form: word s (s < min(k_blocks, 16)) of cell (R, C) is the XOR over
// the cell's members of their int32 dot products over the first 128(s+1)
// values of k; the other words are 0.
//
// TMA-engine form (the h100tma fused engine, which always multiplies k
// positions 0..2047 and reads zeros at and beyond k): word s, for every
// s < 16, is the XOR of the members' dot products over the first
// min(128(s+1), k) values. It equals the standard form when k >= 2048 and
// k is a multiple of 128; below that, the words from slice k_blocks on hold
// the full dot products.
#pragma once

#include <cstdint>
#include <vector>

#include "quorl_ref/blake3.hpp"

namespace quorl::ref {

// Messages of the m/2 x n/64 standard grid, cell (R, C) at R * (n/64) + C.
std::vector<Block> standard_cell_messages(const int8_t* a, const int8_t* b, int m, int n, int k);
std::vector<Block> tma_engine_cell_messages(const int8_t* a, const int8_t* b, int m, int n, int k);

// The bound rule: the hash as a little-endian 256-bit number is at most the
// target read the same way.
bool meets_target(const Cv& hash, const Cv& target);

// Grid indices of the cells whose keyed hash meets the target, ascending.
std::vector<int> qualifying_cells(const std::vector<Block>& messages, const Cv& key,
                                  const Cv& target);

}  // namespace quorl::ref
