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
