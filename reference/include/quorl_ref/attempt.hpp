// Whole attempts up to the operands the search multiplies: a full-pipeline
// attempt from a job key and two seeds, and a B-only attempt from a
// preparation seed and the nonces run since.
#pragma once

#include <cstdint>
#include <vector>

#include "blake3.hpp"
#include "noise.hpp"

namespace quorl::ref {

struct Dims {
  int m, n, k;
};

struct AttemptOperands {
  std::vector<int8_t> a_plain, b_plain;  // before noise
  Cv a_hash, b_hash;                     // commitment roots under the job key
  NoiseSeeds seeds;                      // a_seed also keys the search
  std::vector<int8_t> a, b;              // noised operands
};

// Generate A and B from their seeds, commit, derive the seeds, add noise.
AttemptOperands full_attempt(const Cv& job_key, uint64_t seed_a, uint64_t seed_b, Dims d);

// A from `prepare_seed`, B from prepare_seed ^ 0xD1B54A32D192ED03 with every
// nonce since preparation applied in order; then roots, seeds and noise.
AttemptOperands bonly_attempt(const Cv& job_key, uint64_t prepare_seed,
                              const std::vector<uint64_t>& nonces, Dims d);

// The noise step alone, from given plain matrices and seeds.
void add_noise(AttemptOperands& op, Dims d);

}  // namespace quorl::ref
