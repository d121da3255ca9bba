// Device tier of the h100tma engines: each search mode against the reference
// and against the fallback build on the same GPU. The mode switches are read
// once per process, so DeviceHopperModes runs these tests again in child
// processes (SEPARATE_BOUND, SKIP_BOUND, and the fused engine with two
// persistent CTAs per multiprocessor); each run checks the mode it was given.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "../support/b3sum.h"
#include "../support/child_process.h"
#include "../support/device_env.h"
#include "../support/parallel_messages.h"
#include "../support/search_env.h"
#include "../support/small_shapes.h"
#include "quorl_ref/engine_messages.hpp"

namespace quorl {
namespace {

using ref::Block;
using ref::Cv;

using Mode = test::SearchMode;

Mode mode_from_environment() { return test::expected_search_mode(); }

struct Dims {
  int m, n, k;
};

// The `rank`-th smallest keyed hash of the messages, as a target: the cells
// up to that rank qualify (rank 0: exactly one).
Cv target_of_rank(const std::vector<Block>& messages, const Cv& key, size_t rank) {
  std::vector<Cv> hashes;
  for (const Block& msg : messages) hashes.push_back(ref::keyed_hash_block(key, msg));
  auto below = [](const Cv& x, const Cv& y) { return !ref::meets_target(y, x); };
  std::sort(hashes.begin(), hashes.end(), below);
  return hashes[std::min(rank, hashes.size() - 1)];
}

bool contains(const std::vector<int>& cells, int cell) {
  return std::find(cells.begin(), cells.end(), cell) != cells.end();
}

// Searches the same operands on each build (h100tma first) in the process's
// mode, with one and with four qualifying cells, against the reference.
void check_search(const Dims d, const std::vector<test::BuildName>& builds) {
  const Mode mode = mode_from_environment();
  SCOPED_TRACE(::testing::Message() << d.m << "x" << d.n << "x" << d.k);
  const std::vector<uint8_t> a_raw = test::random_bytes(size_t(d.m) * d.k, d.m + d.k);
  const std::vector<uint8_t> b_raw = test::random_bytes(size_t(d.n) * d.k, d.n + d.k + 1);
  const std::vector<int8_t> a(a_raw.begin(), a_raw.end()), b(b_raw.begin(), b_raw.end());
  const Cv key = test::random_cv(d.k);
  using test::MessageForm;
  const auto standard =
      test::cell_messages_in_parallel(a.data(), b.data(), d.m, d.n, d.k, MessageForm::kStandard);
  const auto tma =
      test::cell_messages_in_parallel(a.data(), b.data(), d.m, d.n, d.k, MessageForm::kTmaEngine);
  const auto& searched = mode == Mode::kFused ? tma : standard;

  for (const size_t rank : {size_t(0), size_t(3)}) {
    const Cv target = target_of_rank(searched, key, rank);
    const std::vector<int> qualifying = ref::qualifying_cells(searched, key, target);
    ASSERT_EQ(qualifying.size(), rank + 1);
    std::vector<int> results;
    std::vector<std::vector<uint32_t>> xored;
    for (const test::BuildName& build : builds) {
      QkHandle* h = test::open_standard(build, d.m, d.n, d.k);
      ASSERT_NE(h, nullptr) << build.name;
      results.push_back(qk_mine(h, a.data(), b.data(), key.data(), target.data()));
      const int k_blocks = d.k / 128;
      std::vector<uint32_t> words(size_t(k_blocks) * (d.m / 2) * (d.n / 64));
      EXPECT_EQ(qk_get_xored(h, words.data()), 0) << build.name;
      xored.push_back(words);
      qk_free(h);
    }
    switch (mode) {
      case Mode::kSkipped:
        EXPECT_EQ(results[0], -1);
        break;
      case Mode::kFused:
      case Mode::kSeparate:
        EXPECT_TRUE(contains(qualifying, results[0])) << "h100tma found " << results[0];
        if (rank == 0) EXPECT_EQ(results[0], qualifying[0]);
        break;
    }
    if (mode == Mode::kSeparate) {
      const size_t cells = standard.size();
      for (size_t s = 0; s < size_t(d.k / 128); ++s) {
        for (size_t cell = 0; cell < cells; ++cell) {
          const uint32_t want = s < 16 ? standard[cell][s] : 0u;
          ASSERT_EQ(xored[0][s * cells + cell], want) << "plane " << s << " cell " << cell;
        }
      }
      if (xored.size() > 1) EXPECT_EQ(xored[0], xored[1]) << "h100tma and fallback differ";
    }
    // Where both forms agree (k >= 2048) fallback's fused search finds the same cells.
    if (results.size() > 1 && mode != Mode::kSkipped && (mode == Mode::kSeparate || d.k >= 2048)) {
      EXPECT_TRUE(contains(qualifying, results[1])) << "fallback found " << results[1];
    }
  }
}

bool hopper_at_hand(std::vector<test::BuildName>* builds) {
  *builds = test::runnable_builds();
  return !builds->empty() && std::string((*builds)[0].name) == "h100tma";
}

// Small enough for compute-sanitizer: one 128 x 256 tile (most persistent
// CTAs idle, the 192-row tile hanging past m).
TEST(DeviceHopperEngines, SmallSearchMatchesReference) {
  QK_REQUIRE_GPU();
  std::vector<test::BuildName> builds;
  if (!hopper_at_hand(&builds)) GTEST_SKIP() << "the h100tma engines need a Hopper GPU";
  check_search(Dims{128, 256, 256}, {builds[0]});
}

// m = 8192 is not a multiple of 192 either; k = 1024 and 512: the fused
// engine's words from slice k_blocks on hold the full dot products.
TEST(DeviceHopperEngines, SearchModesMatchReferenceAndFallback) {
  QK_REQUIRE_GPU();
  std::vector<test::BuildName> builds;
  if (!hopper_at_hand(&builds)) GTEST_SKIP() << "the h100tma engines need a Hopper GPU";
  for (const Dims d :
       {Dims{256, 512, 2048}, Dims{8192, 256, 2048}, Dims{256, 512, 1024}, Dims{128, 1024, 512}}) {
    if (test::small_shapes_only() && d.m > 256) continue;
    check_search(d, builds);
  }
}

// The tests above and DeviceHopperTiles in the other modes, and the fused
// engine on a grid of two CTAs per multiprocessor.
TEST(DeviceHopperModes, EachModeAndTwoCtasPerMultiprocessorInChildren) {
  QK_REQUIRE_GPU();
  std::vector<test::BuildName> builds;
  if (!hopper_at_hand(&builds)) GTEST_SKIP() << "the h100tma engines need a Hopper GPU";
  QK_SKIP_WHERE_NO_CHILDREN();
  for (const char* env : {"SEPARATE_BOUND=1 QK_SEARCH_TEST_MODE=separate",
                          "SKIP_BOUND=1 QK_SEARCH_TEST_MODE=skip",
                          "QUORL_HOPPER_TMA_PERSISTENT_CTAS_PER_SM=2 QK_SEARCH_TEST_MODE=fused"}) {
    SCOPED_TRACE(env);
    test::expect_child_passes(env, "DeviceHopperEngines.*:DeviceHopperTiles.*");
  }
}

}  // namespace
}  // namespace quorl
