// The host's check of an outcome a device reported, before its record is
// printed: the library reports only a cell index, so every hit is rebuilt
// by the host verifier, which also supplies the cell's hash.
#pragma once

#include <string>

#include "quorl_verify.h"

namespace qkmine {

// What the host still has to establish about an outcome.
enum class Check {
  kNone,       // nothing: found on the host, or a non-hit whose roots came from the device
  kClaims,     // a hit with the device's roots and seeds: all of them and the cell are checked
  kHostRoots,  // a hit inside a B-only batch, whose roots only the host can give: the one
               // rebuild that checks the cell supplies them too
};

// "" when the outcome stands, the record then completed (the cell's hash;
// with kHostRoots also the roots and seeds); else why not: the first claim
// that failed ("a_hash", ..., "target") or the verifier's reason.
std::string confirm_outcome(QvRecord& record, Check check, int threads);

// Threads for one check: half the host's, at most 8 (the rest keep feeding
// the GPUs).
int check_threads();

}  // namespace qkmine
