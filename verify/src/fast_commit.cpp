#include "fast_commit.h"

#include <algorithm>
#include <thread>
#include <vector>

namespace quorl::verify {
namespace {

// The tree over `chunks` chunks. read(first, count, scratch) gives the bytes of
// chunks first .. first+count-1, either in place or in `scratch` (one buffer
// per thread); each call asks for at most `batch` chunks.
template <class Read>
Cv commit_tree(const blake3::Kernels& k, const Cv& key, size_t chunks, size_t batch, int threads,
               Read&& read) {
  std::vector<uint32_t> level(8 * std::max<size_t>(chunks, 1));

  // Each thread takes a run of whole kernel passes.
  const size_t passes = (chunks + k.lanes - 1) / k.lanes;
  const size_t workers = std::clamp<size_t>(size_t(std::max(threads, 1)), 1, std::max<size_t>(passes, 1));
  auto hash_range = [&](size_t w) {
    const size_t begin = std::min(chunks, passes * w / workers * k.lanes);
    const size_t end = std::min(chunks, passes * (w + 1) / workers * k.lanes);
    std::vector<uint8_t> scratch;
    for (size_t first = begin; first < end; first += batch) {
      const size_t count = std::min(batch, end - first);
      k.chunks(key.data(), read(first, count, scratch), count, first, level.data() + 8 * first);
    }
  };
  std::vector<std::thread> pool;
  for (size_t w = 1; w < workers; ++w) pool.emplace_back(hash_range, w);
  hash_range(0);
  for (std::thread& t : pool) t.join();

  // Parents in place: node i of the next level overwrites node i of this one,
  // which is never read again (it was read as part of pair i/2 <= i).
  size_t count = chunks;
  while (count > 1) {
    const size_t parents = count / 2;
    k.parents(key.data(), level.data(), parents, parents == 1 ? blake3::kRoot : 0, level.data());
    count = parents;
  }
  Cv root;
  std::copy(level.begin(), level.begin() + 8, root.begin());
  return root;
}

}  // namespace

Cv fast_commit(const Cv& key, const int8_t* data, int64_t bytes, int threads,
               const blake3::Kernels& kernels) {
  const size_t chunks = size_t(bytes / int64_t(blake3::kChunkLen));
  const auto* base = reinterpret_cast<const uint8_t*>(data);
  return commit_tree(kernels, key, chunks, std::max<size_t>(chunks, 1), threads,
                     [&](size_t first, size_t, std::vector<uint8_t>&) {
                       return base + first * blake3::kChunkLen;
                     });
}

Cv fast_commit(const Cv& key, const PlainMatrix& matrix, int threads,
               const blake3::Kernels& kernels) {
  const size_t chunks = size_t(matrix.bytes() / int64_t(blake3::kChunkLen));
  // 16 chunks per read (whole kernel passes): 16 KiB, well inside L1.
  const size_t batch = kernels.lanes * std::max<size_t>(1, 16 / kernels.lanes);
  return commit_tree(kernels, key, chunks, batch, threads,
                     [&](size_t first, size_t count, std::vector<uint8_t>& scratch) {
                       scratch.resize(batch * blake3::kChunkLen);
                       matrix.read(int64_t(first * blake3::kChunkLen), int64_t(count * blake3::kChunkLen),
                                   reinterpret_cast<int8_t*>(scratch.data()));
                       return static_cast<const uint8_t*>(scratch.data());
                     });
}

}  // namespace quorl::verify
