#include "fast_commit.h"

#include <algorithm>
#include <thread>
#include <vector>

#include "blake3_kernels.h"

namespace quorl::verify {

Cv fast_commit(const Cv& key, const int8_t* data, int64_t bytes, int threads) {
  const blake3::Kernels& k = blake3::best_kernels();
  const auto* bytes_in = reinterpret_cast<const uint8_t*>(data);
  const size_t chunks = size_t(bytes / int64_t(blake3::kChunkLen));
  std::vector<uint32_t> level(8 * std::max<size_t>(chunks, 1));

  // Each thread takes a run of whole kernel passes.
  const size_t passes = (chunks + k.lanes - 1) / k.lanes;
  const size_t workers = std::clamp<size_t>(size_t(std::max(threads, 1)), 1, std::max<size_t>(passes, 1));
  auto hash_range = [&](size_t w) {
    const size_t begin = std::min(chunks, passes * w / workers * k.lanes);
    const size_t end = std::min(chunks, passes * (w + 1) / workers * k.lanes);
    k.chunks(key.data(), bytes_in + begin * blake3::kChunkLen, end - begin, begin,
             level.data() + 8 * begin);
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

}  // namespace quorl::verify
