// What the stratum client hands the miner (jobs) and takes back (shares),
// and how each share ended.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "quorl_ref/attempt.hpp"
#include "quorl_ref/blake3.hpp"
#include "quorl_verify.h"

namespace qkmine::pool {

// A job as one connection received it. Immutable once handed out.
struct PoolJob {
  std::string id;          // the pool's job id, echoed in submissions
  int mode = QV_MODE_FULL; // enum QvMode
  quorl::ref::Dims dims{};
  quorl::ref::Cv key{}, target{};
  uint64_t max_nonces = 0; // B-only: a preparation runs at most this many nonces
  bool pool_clean = false; // the pool's clean_jobs flag

  // Set by the client:
  uint32_t extranonce = 0; // E of the connection: the job's seed space
  size_t pool = 0;         // index of the pool in ClientOptions::pools
  uint64_t serial = 0;     // 1, 2, ... in arrival order over the client's life
  // The miner must drop all older work now: the pool said clean_jobs, or the
  // job comes on a connection with another seed space than the job before.
  bool clean = false;

  QvJob verifier_job() const;
};

// One share the miner found. Fields the job's mode does not use are ignored.
struct Share {
  std::shared_ptr<const PoolJob> job;        // the job it was mined on
  uint64_t seed_a = 0, seed_b = 0;           // full mode
  uint64_t prepare_seed = 0, first_nonce = 0, nonce = 0;  // B-only
  int32_t found = -1;                        // the cell
  uint64_t tag = 0;                          // the miner's own; handed back with the fate
};

// Whether a share lies in its job's seed space: full, seed_a >> 32 == E;
// B-only, prepare_seed >> 32 == E and first_nonce <= nonce < first_nonce + max_nonces.
bool in_seed_space(const PoolJob& job, const Share& share);

enum class ShareFate { kAccepted, kRejected, kDropped };

struct ShareOutcome {
  Share share;
  ShareFate fate = ShareFate::kDropped;
  size_t pool = 0;   // the pool it was meant for
  int code = 0;      // the pool's error code when rejected (0 if it gave none)
  std::string why;   // the pool's message when rejected; the reason when dropped
};

const char* fate_name(ShareFate fate);  // "accepted", "rejected", "dropped"

}  // namespace qkmine::pool
