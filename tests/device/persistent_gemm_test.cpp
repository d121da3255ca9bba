// Device tier of sm120a's persistent label GEMM with CTAs that walk several
// tiles. The grid size is cached per host thread and device, and the search
// mode per process, so the grids of 1 and 3 CTAs run in child processes, each
// in the separate-bound mode (every cell message read back with
// qk_get_xored) and the fused mode (searches whose only qualifying cell is
// moved, by the key, into every tile). Runs on a cc 12.x GPU, or on Hopper
// with the GPU check's build.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "../support/b3sum.h"
#include "../support/borrowed_builds.h"
#include "../support/child_process.h"
#include "../support/device_env.h"
#include "../support/search_env.h"
#include "../support/sole_cell_keys.h"
#include "../support/xored_check.h"
#include "quorl_ref/engine_messages.hpp"

namespace quorl {
namespace {

// 2 x 5 tiles of 128 x 256: 3 CTAs take 4, 3 and 3 tiles, mixing tile rows
// and columns (tile t is row t mod 2, column t / 2); one CTA takes all ten.
constexpr int kM = 256, kN = 1280, kK = 2048;
constexpr int kTilesM = kM / 128, kTiles = kTilesM * (kN / 256);

// The walk order of the persistent schedule: cell (R, C) lies in tile row
// R / 64 and tile column C / 4, which is tile (C / 4) * tiles_m + R / 64.
int tile_of_cell(int cell) {
  const int cols = kN / 64;
  return (cell % cols) / 4 * kTilesM + (cell / cols) / 64;
}

const char* cta_total() {
  const char* total = std::getenv("QUORL_PERSISTENT_CTA_TOTAL");
  return total != nullptr ? total : "one per multiprocessor";
}

TEST(DeviceSearchPersistent, EveryTileMatchesTheReference) {
  QK_REQUIRE_GPU();
  std::string why;
  if (!test::sm120a_runs_here(&why)) GTEST_SKIP() << why;
  const test::SearchMode mode = test::expected_search_mode();
  if (mode == test::SearchMode::kSkipped) GTEST_SKIP() << "the skipped bound reports nothing";
  SCOPED_TRACE(::testing::Message() << "CTAs: " << cta_total() << ", " << test::mode_name(mode));

  const std::vector<uint8_t> a_raw = test::random_bytes(size_t(kM) * kK, 41);
  const std::vector<uint8_t> b_raw = test::random_bytes(size_t(kN) * kK, 42);
  const std::vector<int8_t> a(a_raw.begin(), a_raw.end()), b(b_raw.begin(), b_raw.end());
  const std::vector<ref::Block> messages = ref::standard_cell_messages(a.data(), b.data(), kM, kN, kK);
  const std::vector<test::SoleCell> searches =
      test::sole_cells_by_group(messages, kTiles, tile_of_cell, 4100, 400);
  ASSERT_EQ(searches.size(), size_t(kTiles)) << "no key found for some tile";

  QkHandle* h = test::open_standard({"sm120a", QK_VARIANT_SM120A}, kM, kN, kK);
  ASSERT_NE(h, nullptr);
  for (const test::SoleCell& s : searches) {
    EXPECT_EQ(qk_mine(h, a.data(), b.data(), s.key.data(), s.target.data()), s.cell)
        << "tile " << tile_of_cell(s.cell);
  }
  if (mode == test::SearchMode::kSeparate) {
    std::vector<uint32_t> xored(size_t(kK / 128) * messages.size());
    ASSERT_EQ(qk_get_xored(h, xored.data()), 0);
    test::expect_xored_matches(xored, messages, kK / 128);
  }
  qk_free(h);
}

TEST(DeviceSearchPersistentGrids, OneAndThreeCtasInBothModes) {
  QK_REQUIRE_GPU();
  std::string why;
  if (!test::sm120a_runs_here(&why)) GTEST_SKIP() << why;
  QK_SKIP_WHERE_NO_CHILDREN();
  for (const char* total : {"1", "3"}) {
    for (const char* mode : {"SEPARATE_BOUND=1 QK_SEARCH_TEST_MODE=separate",
                             "FUSED_BOUND=1 QK_SEARCH_TEST_MODE=fused"}) {
      SCOPED_TRACE(::testing::Message() << total << " CTAs, " << mode);
      test::expect_child_passes(std::string("QUORL_PERSISTENT_CTA_TOTAL=") + total + " " + mode,
                                "DeviceSearchPersistent.*");
    }
  }
}

}  // namespace
}  // namespace quorl
