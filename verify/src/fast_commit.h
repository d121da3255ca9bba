// The commitment root of a matrix, hashed with the widest BLAKE3 kernels the
// CPU offers and, when asked, on several threads. Same tree as the miner's:
// keyed chunks, pairs of nodes upward, ROOT on the top parent only; a single
// chunk's root is its chaining value.
#pragma once

#include <cstdint>

#include "blake3_kernels.h"
#include "fast_matrix.h"
#include "quorl_ref/blake3.hpp"

namespace quorl::verify {

using Cv = ref::Cv;

// Root over the whole 1024-byte chunks of `data` (bytes >= 1024; trailing bytes
// and the last node of an odd level are left out, as the miner does).
// threads <= 1 hashes on the calling thread.
Cv fast_commit(const Cv& key, const int8_t* data, int64_t bytes, int threads = 1,
               const blake3::Kernels& kernels = blake3::best_kernels());

// The same root of a matrix that is never stored whole: each pass of the
// kernels reads its chunks into a small buffer and hashes them while they are
// in cache, saving a write and a read of the whole matrix.
Cv fast_commit(const Cv& key, const PlainMatrix& matrix, int threads = 1,
               const blake3::Kernels& kernels = blake3::best_kernels());

}  // namespace quorl::verify
