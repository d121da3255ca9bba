// A plain matrix as the miner held it, produced on demand instead of stored:
// generated from its seed, then, in B-only mining, the last 64-byte block of
// some chunks rewritten by a run of nonces. Any byte range can be read on its
// own, so the verifier hashes a matrix a few chunks at a time while they are
// still in cache and rebuilds only the rows a cell needs.
#pragma once

#include <cstdint>

namespace quorl::verify {

class PlainMatrix {
 public:
  PlainMatrix(uint64_t seed, int64_t bytes) : seed_(seed), bytes_(bytes) {}

  // Nonces first .. last (last >= first) applied in order: each rewrites the
  // last block of chunk nonce mod chunks from the nonce alone, so of a long
  // run only the last nonce of each chunk shows.
  PlainMatrix& with_nonces(uint64_t first, uint64_t last);

  int64_t bytes() const { return bytes_; }

  // Bytes [offset, offset + size) into out; the range must lie inside.
  void read(int64_t offset, int64_t size, int8_t* out) const;

 private:
  uint64_t seed_;
  int64_t bytes_;
  uint64_t last_nonce_ = 0;
  uint64_t rewritten_ = 0;  // chunks carrying one of the last nonces of the run
};

}  // namespace quorl::verify
