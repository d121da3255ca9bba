#include "quorl_ref/commit.hpp"

#include <algorithm>
#include <thread>

namespace quorl::ref {
namespace {

std::vector<Cv> parent_level(const Cv& key, const Cv* children, int64_t count) {
  std::vector<Cv> level(static_cast<size_t>(count));
  for (int64_t i = 0; i < count; ++i) {
    level[i] = parent_cv(key, children[2 * i], children[2 * i + 1], count == 1);
  }
  return level;
}

}  // namespace

std::vector<Cv> chunk_level(const Cv& key, const int8_t* data, int64_t chunks, int threads) {
  std::vector<Cv> level(static_cast<size_t>(chunks));
  auto work = [&](int64_t begin, int64_t end) {
    for (int64_t c = begin; c < end; ++c) level[c] = chunk_cv(key, data + c * kChunkLen, c);
  };
  threads = int(std::clamp<int64_t>(threads, 1, std::max<int64_t>(chunks, 1)));
  if (threads == 1) {
    work(0, chunks);
    return level;
  }
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back(work, chunks * t / threads, chunks * (t + 1) / threads);
  }
  for (std::thread& th : pool) th.join();
  return level;
}

Cv commit(const Cv& key, const int8_t* data, int64_t bytes) {
  std::vector<Cv> level = chunk_level(key, data, bytes / kChunkLen);
  if (bytes < 2 * kChunkLen) return level.at(0);
  while (level.size() > 1) level = parent_level(key, level.data(), int64_t(level.size()) / 2);
  return level[0];
}

FullTree commit_full(const Cv& key, const int8_t* data, int64_t bytes) {
  const int64_t chunks = bytes / kChunkLen;
  FullTree t;
  for (int64_t c = 0; c < chunks; ++c) {
    const int8_t* chunk = data + c * kChunkLen;
    t.prefixes.push_back(chunk_prefix_cv(key, chunk, c));
    t.nodes.push_back(finish_chunk(t.prefixes.back(), chunk + kChunkLen - kBlockLen, c));
  }
  int64_t start = 0, count = chunks;
  if (bytes >= 2 * kChunkLen) {
    while (count > 1) {
      std::vector<Cv> up = parent_level(key, t.nodes.data() + start, count / 2);
      start += count;
      count /= 2;
      t.nodes.insert(t.nodes.end(), up.begin(), up.end());
    }
  }
  t.root_node = start;
  t.root = t.nodes.at(start);
  return t;
}

}  // namespace quorl::ref
