// One attempt rebuilt on the host from its record: the plain matrices, their
// roots and noise seeds, and any single cell of the hash grid.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "fast_matrix.h"
#include "quorl_ref/blake3.hpp"
#include "quorl_ref/noise.hpp"
#include "quorl_verify.h"

namespace quorl::verify {

using ref::Cv;
using Message = std::array<uint32_t, 16>;

// Largest matrix the verifier rebuilds (bytes each of A and B).
constexpr int64_t kMaxMatrixBytes = int64_t(1) << 32;

// "" when the record describes an attempt the miner could have run: a mode,
// dims that qk_init accepts, matrices within kMaxMatrixBytes, a B-only nonce
// run that does not go backwards, and found = -1 or a cell of the grid.
std::string record_problem(const QvRecord& record);

// Plain A (m x k) and B (n x k) as the attempt searched them, described rather
// than stored: their bytes are produced where they are read, so building this
// costs nothing (`threads` is not needed and kept for the callers).
struct Matrices {
  PlainMatrix a, b;
};
Matrices attempt_matrices(const QvRecord& record, int threads = 1);

struct Roots {
  Cv a_hash, b_hash;
  ref::NoiseSeeds seeds;
};
Roots attempt_roots(const QvRecord& record, const Matrices& plain, int threads);

struct Cell {
  Message message;
  Cv hash;  // keyed with a_seed
};
// Cell `index` of the standard grid, from the noised rows and columns of its
// members only.
Cell attempt_cell(const QvRecord& record, const Matrices& plain, const ref::NoiseSeeds& seeds,
                  int32_t index);

Cv to_cv(const uint32_t words[8]);

}  // namespace quorl::verify
