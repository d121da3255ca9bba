// The plain matrices at memory speed: the same generator as the miner's
// (group g of eight elements from seed and g), eight elements per 64-bit store.
#pragma once

#include <cstdint>

namespace quorl::verify {

// out[0 .. count-1] of the matrix generated from `seed`, on up to `threads`
// threads.
void fast_generate(uint64_t seed, int8_t* out, int64_t count, int threads = 1);

}  // namespace quorl::verify
