// Device tier of the h100tma fused engine's persistent grid: 512 tiles, more
// than two per CTA, so CTAs run their second, third and fourth tiles, with
// the barrier phases carried across tiles. The engine reports one cell per
// search, so each search has exactly one qualifying cell (its hash as the
// target), and the key moves that cell into every round of the grid (tiles
// t with t / CTAs = round) and under both consumer warp groups. k = 2048
// fills every stage with real data, so a stage or phase slip at a tile
// boundary changes the messages. With QUORL_HOPPER_TMA_PERSISTENT_CTAS_PER_SM
// = 2 (DeviceHopperModes runs that child) the grid doubles. In the separate
// mode (the 192-row engine) the cell messages are also read back and compared
// word for word.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "../../cuda/gemm/hopper/launch_rules.h"
#include "../support/b3sum.h"
#include "../support/device_env.h"
#include "../support/parallel_messages.h"
#include "../support/search_env.h"
#include "../support/small_shapes.h"
#include "../support/sole_cell_keys.h"
#include "../support/xored_check.h"
#include "quorl_ref/engine_messages.hpp"

namespace quorl {
namespace {

constexpr int kM = 8192, kN = 2048, kK = 2048;
constexpr int kTilesM = kM / 128, kTiles = kTilesM * (kN / 256);  // 64 x 8
constexpr int kCols = kN / 64;

// The fused engine's schedule: tile t is tile row t mod 64, column t / 64;
// cell (R, C) lies in tile row R / 64 and column C / 4, and consumer warp
// group 1 holds the tile's cell rows 0..31, warp group 2 rows 32..63.
int tile_of_cell(int cell) { return (cell % kCols) / 4 * kTilesM + (cell / kCols) / 64; }
int warp_group_of_cell(int cell) { return 1 + (cell / kCols) % 64 / 32; }

TEST(DeviceHopperTiles, EveryRoundOfThePersistentGridMatchesTheReference) {
  QK_REQUIRE_GPU();
  const std::vector<test::BuildName> builds = test::runnable_builds();
  if (builds.empty() || builds[0].variant != QK_VARIANT_H100TMA) {
    GTEST_SKIP() << "the h100tma engines need a Hopper GPU";
  }
  const test::SearchMode mode = test::expected_search_mode();
  if (mode == test::SearchMode::kSkipped) GTEST_SKIP() << "the skipped bound reports nothing";
  int multiprocessors = 0;
  ASSERT_EQ(cudaDeviceGetAttribute(&multiprocessors, cudaDevAttrMultiProcessorCount, 0), cudaSuccess);
  const int ctas = multiprocessors * hopper::persistent_ctas_per_sm(
                                         std::getenv("QUORL_HOPPER_TMA_PERSISTENT_CTAS_PER_SM"));
  if (kTiles <= ctas) GTEST_SKIP() << ctas << " CTAs take all " << kTiles << " tiles at once";
  const int rounds = (kTiles + ctas - 1) / ctas;
  SCOPED_TRACE(::testing::Message() << ctas << " CTAs, " << rounds << " rounds, "
                                    << test::mode_name(mode));

  const std::vector<uint8_t> a_raw = test::random_bytes(size_t(kM) * kK, 51);
  const std::vector<uint8_t> b_raw = test::random_bytes(size_t(kN) * kK, 52);
  const std::vector<int8_t> a(a_raw.begin(), a_raw.end()), b(b_raw.begin(), b_raw.end());
  const std::vector<ref::Block> messages =
      test::cell_messages_in_parallel(a.data(), b.data(), kM, kN, kK, test::MessageForm::kTmaEngine);
  // Groups: round r under warp group w is 2 r + w - 1. The sanitizer run
  // needs one search only: every search runs every tile.
  auto group_of = [&](int cell) { return 2 * (tile_of_cell(cell) / ctas) + warp_group_of_cell(cell) - 1; };
  const int groups = test::small_shapes_only() ? 1 : 2 * rounds;
  const std::vector<test::SoleCell> searches =
      test::sole_cells_by_group(messages, groups, group_of, 5100, 400);
  ASSERT_EQ(searches.size(), size_t(groups)) << "no key found for some round";

  QkHandle* h = test::open_standard(builds[0], kM, kN, kK);
  ASSERT_NE(h, nullptr);
  for (const test::SoleCell& s : searches) {
    const int tile = tile_of_cell(s.cell);
    EXPECT_EQ(qk_mine(h, a.data(), b.data(), s.key.data(), s.target.data()), s.cell)
        << "tile " << tile << " (round " << tile / ctas << " of CTA " << tile % ctas
        << "), warp group " << warp_group_of_cell(s.cell);
  }
  if (mode == test::SearchMode::kSeparate) {
    std::vector<uint32_t> xored(size_t(kK / 128) * messages.size());
    ASSERT_EQ(qk_get_xored(h, xored.data()), 0);
    test::expect_xored_matches(xored, messages, kK / 128);
  }
  qk_free(h);
}

}  // namespace
}  // namespace quorl
