// The compression loops behind the verifier's commitment: many independent
// chunks (or parents) hashed at once. Each kernel set has the same contract;
// the dispatcher picks the widest one the CPU runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorl::verify::blake3 {

constexpr size_t kChunkLen = 1024;
constexpr size_t kBlockLen = 64;
constexpr uint32_t kChunkStart = 1, kChunkEnd = 2, kParent = 4, kRoot = 8, kKeyedHash = 16;

extern const uint32_t kIv[8];

// The message word each round reads, in the order the round's G calls take
// them (the permutation applied 0..6 times).
constexpr uint8_t kSchedule[7][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {2, 6, 3, 10, 7, 0, 4, 13, 1, 11, 12, 5, 9, 14, 15, 8},
    {3, 4, 10, 12, 13, 2, 7, 14, 6, 5, 9, 0, 11, 15, 8, 1},
    {10, 7, 12, 9, 14, 3, 13, 15, 4, 0, 11, 2, 5, 8, 1, 6},
    {12, 13, 9, 11, 15, 10, 14, 8, 7, 2, 5, 3, 0, 1, 6, 4},
    {9, 14, 11, 5, 8, 12, 15, 1, 13, 3, 0, 10, 2, 6, 4, 7},
    {11, 15, 5, 0, 1, 9, 8, 6, 14, 10, 2, 12, 3, 4, 7, 13},
};

// One compression; out = the first eight output words.
void compress(const uint32_t cv[8], const uint32_t block[16], uint64_t counter, uint32_t flags,
              uint32_t out[8]);

// Keyed chaining values of `count` whole chunks at `data`, chunk i with counter
// first_chunk + i, into out[8 i .. 8 i + 7]. No ROOT.
using ChunkKernel = void (*)(const uint32_t key[8], const uint8_t* data, size_t count,
                             uint64_t first_chunk, uint32_t* out);
// Parents of the `count` node pairs at in[16 i ..] (left then right), keyed, flags
// PARENT | KEYED_HASH | extra_flags, into out[8 i ..].
using ParentKernel = void (*)(const uint32_t key[8], const uint32_t* in, size_t count,
                              uint32_t extra_flags, uint32_t* out);

struct Kernels {
  const char* name;  // "portable", "avx2", "avx512"
  size_t lanes;      // chunks hashed side by side
  ChunkKernel chunks;
  ParentKernel parents;
};

const Kernels& portable_kernels();
// Null when the CPU (or the compiler) lacks AVX2.
const Kernels* avx2_kernels();
// Null when the CPU (or the compiler) lacks AVX-512F.
const Kernels* avx512_kernels();
// Every set this CPU runs, widest first.
std::vector<const Kernels*> supported_kernels();
// The widest set this CPU supports; chosen once.
const Kernels& best_kernels();

}  // namespace quorl::verify::blake3
