// The plain matrices at memory speed: the same generator as the miner's
// (group g of eight elements from seed and g), eight elements per 64-bit
// store, the loop vectorised for the widest instruction set the CPU runs.
#pragma once

#include <cstdint>
#include <vector>

namespace quorl::verify {

// out[0 .. count-1] of the matrix generated from `seed`, on up to `threads`
// threads.
void fast_generate(uint64_t seed, int8_t* out, int64_t count, int threads = 1);

// Elements first .. first+count-1 of that matrix into out[0 .. count-1]; any
// start and length (groups cut at either end give only their bytes in range).
void fast_generate_range(uint64_t seed, int64_t first, int64_t count, int8_t* out);

// The loop behind both: whole groups begin .. end-1 into out, group `begin`
// at out[0]. One copy per instruction set; every copy gives the same bytes.
struct GroupFiller {
  const char* name;  // "avx512", "avx2", "portable"
  void (*fill)(uint64_t seed, int64_t begin, int64_t end, int8_t* out);
};
// Those this CPU runs, widest first; fast_generate uses the first.
std::vector<GroupFiller> supported_group_fillers();

}  // namespace quorl::verify
