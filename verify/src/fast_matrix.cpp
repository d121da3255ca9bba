#include "fast_matrix.h"

#include <algorithm>

#include "fast_gen.h"

namespace quorl::verify {
namespace {

constexpr int64_t kChunk = 1024, kBlock = 64;

}  // namespace

PlainMatrix& PlainMatrix::with_nonces(uint64_t first, uint64_t last) {
  const uint64_t chunks = uint64_t(bytes_ / kChunk);
  last_nonce_ = last;
  // Consecutive nonces select consecutive chunks, so the last `chunks` nonces
  // of the run reach each chunk at most once.
  rewritten_ = chunks == 0 ? 0 : std::min(last - first, chunks - 1) + 1;
  return *this;
}

void PlainMatrix::read(int64_t offset, int64_t size, int8_t* out) const {
  fast_generate_range(seed_, offset, size, out);
  if (rewritten_ == 0) return;
  const uint64_t chunks = uint64_t(bytes_ / kChunk);
  const int64_t end = offset + size;
  // Chunks whose last block meets the range.
  for (int64_t c = offset / kChunk; c * kChunk < end; ++c) {
    const int64_t from = std::max(offset, c * kChunk + kChunk - kBlock);
    const int64_t to = std::min(end, (c + 1) * kChunk);
    if (from >= to || uint64_t(c) >= chunks) continue;
    // The run's nonce of chunk c is `back` steps before the last one.
    const uint64_t back = (last_nonce_ % chunks + chunks - uint64_t(c)) % chunks;
    if (back >= rewritten_) continue;
    // The block is the nonce's own matrix at byte 64 c: groups 8c .. 8c+7.
    const int64_t block = c * kChunk + kChunk - kBlock;
    fast_generate_range(last_nonce_ - back, kBlock * c + (from - block), to - from, out + (from - offset));
  }
}

}  // namespace quorl::verify
