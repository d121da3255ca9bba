// What `qkmine mine` was asked to do, read from its options.
#pragma once

#include <cstdint>
#include <string>

#include "option_values.h"
#include "quorl_ref/attempt.hpp"
#include "quorl_ref/blake3.hpp"
#include "quorl_verify.h"

namespace qkmine {

struct Job {
  uint64_t id = 0;          // 0: the command line's; a source that switches jobs numbers them
  int mode = QV_MODE_FULL;  // enum QvMode
  quorl::ref::Dims dims{};
  quorl::ref::Cv key{}, target{};
  uint64_t seed_a = 0, seed_b = 0, prepare_seed = 0, first_nonce = 0;
  uint64_t max_nonces = 0;  // B-only: nonces one preparation may run (0: no limit)
  int64_t attempts = -1;  // < 0: no limit
  double seconds = 0;     // <= 0: no limit
  bool all = false, json = false;
};

// 2^(256 - bits) - 1 as eight little-endian words.
quorl::ref::Cv target_for_difficulty(int bits);

// The default difficulty: about one share in 2^extra attempts, from the
// number of hash-grid cells an attempt hashes (m/2 x n/64).
int default_difficulty(const quorl::ref::Dims& d, int extra);

// Fills `job` from the options; on a GPU the default dims are 8192 x 8192 x
// 2048, on the CPU 256 x 256 x 2048. "" or the usage error.
std::string read_job(const OptionValues& opt, bool on_gpu, Job& job);

// The record of attempt `attempt` of a run that started at the job's seeds
// (full mode: both seeds + attempt; B-only: nonce first_nonce + attempt after
// preparing with `prepare_seed`); roots, seeds and the cell come later.
QvRecord record_base(const Job& job, uint64_t prepare_seed, int64_t attempt);

void put(const quorl::ref::Cv& cv, uint32_t out[8]);

}  // namespace qkmine
