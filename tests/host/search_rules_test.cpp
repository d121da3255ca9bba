// Host rules of the search: the mode switches, the GEMM launcher's
// environment, its shared-memory request and the labellings qk_init accepts.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "../../cuda/frame/label_check.h"
#include "../../cuda/gemm/gemm_config.h"
#include "../../cuda/gemm/launch_env.h"
#include "../../cuda/search/search_mode.h"
#include "quorl_ref/grid.hpp"

namespace quorl {
namespace {

TEST(SearchMode, SkipBoundCountsPresenceOnly) {
  EXPECT_EQ(search::skip_bound_value(nullptr), 0);
  for (const char* v : {"0", "", "1", "no"}) EXPECT_EQ(search::skip_bound_value(v), 1) << v;
}

TEST(SearchMode, FusedUnlessSeparateOrFusedOff) {
  struct Case {
    const char* separate;
    const char* fused;
    int expected;
  };
  const Case cases[] = {
      {nullptr, nullptr, 1}, {nullptr, "1", 1}, {nullptr, "2", 1},   {nullptr, "0", 0},
      {nullptr, "off", 0},   {nullptr, "", 0},  {"", nullptr, 0},     {"0", nullptr, 0},
      {"1", "1", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(search::use_fused_bound_value(c.separate, c.fused), c.expected)
        << (c.separate ? c.separate : "(unset)") << " / " << (c.fused ? c.fused : "(unset)");
  }
}

TEST(GemmLaunch, CachePreferenceFromFuncCacheConfig) {
  using gemm::CachePreference;
  struct Case {
    const char* value;
    CachePreference expected;
  };
  const Case cases[] = {
      {nullptr, CachePreference::kUnchanged}, {"1", CachePreference::kShared},
      {"01", CachePreference::kShared},       {"shared", CachePreference::kShared},
      {"l1", CachePreference::kL1},           {"none", CachePreference::kNone},
      {"2", CachePreference::kUnchanged},     {"0", CachePreference::kUnchanged},
      {"L1", CachePreference::kUnchanged},    {"", CachePreference::kUnchanged},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(gemm::cache_preference(c.value), c.expected) << (c.value ? c.value : "(unset)");
  }
}

TEST(GemmLaunch, PersistentGridSize) {
  struct Case {
    const char* per_sm;
    const char* total;
    int expected;  // on 132 multiprocessors
  };
  const Case cases[] = {
      {nullptr, nullptr, 132}, {"2", nullptr, 264}, {"0", nullptr, 132}, {"-3", nullptr, 132},
      {"x", nullptr, 132},     {"2", "0", 264},     {nullptr, "7", 7},   {"3", "500", 500},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(gemm::persistent_ctas(132, c.per_sm, c.total), c.expected)
        << (c.per_sm ? c.per_sm : "(unset)") << " / " << (c.total ? c.total : "(unset)");
  }
  EXPECT_EQ(gemm::attr_slot(5), 5);
  EXPECT_EQ(gemm::attr_slot(63), 63);
  EXPECT_EQ(gemm::attr_slot(64), 0);
  EXPECT_EQ(gemm::attr_slot(-1), 0);
}

TEST(GemmLaunch, AttributeTableRaisesOneFlagPerOrdinal) {
  gemm::AttrTable table;
  EXPECT_FALSE(table.applied(3));
  table.mark_applied(3);
  EXPECT_TRUE(table.applied(3));
  EXPECT_FALSE(table.applied(4));
  EXPECT_FALSE(table.applied(0));
  table.mark_applied(70);  // beyond the table: entry 0, shared with -1
  EXPECT_TRUE(table.applied(0));
  EXPECT_TRUE(table.applied(-1));
}

TEST(GemmLaunch, SharedMemoryFitsEveryTarget) {
  EXPECT_EQ(gemm::smem_bytes_of<gemm::LabelledGemm>, 91648);
  EXPECT_EQ(gemm::smem_bytes_of<gemm::StandardGemm>, 90112);
  // Opt-in limit per block of the smallest target of each build (sm_86,
  // sm_89 and sm_120: 99 KB).
  EXPECT_LE(gemm::smem_bytes_of<gemm::LabelledGemm>, 99 * 1024);
  EXPECT_LE(gemm::smem_bytes_of<gemm::StandardGemm>, 99 * 1024);
}

struct Labels {
  int m, n, row_groups, col_groups;
  std::vector<int32_t> rows, cols;
};

Labels standard(int m, int n) {
  return {m, n, m / 2, n / 64, ref::standard_row_groups(m), ref::standard_col_groups(n)};
}

LabelFault check(const Labels& l) {
  return check_labels(l.m, l.n, l.row_groups, l.col_groups, l.rows.data(), l.cols.data());
}

TEST(LabelCheck, AcceptsLabellingsWithinTheLimits) {
  EXPECT_EQ(check(standard(128, 256)), LabelFault::kNone);
  EXPECT_EQ(check(standard(1024, 2048)), LabelFault::kNone);
  Labels shifted = standard(512, 512);
  for (auto& r : shifted.rows) r += 5;
  shifted.row_groups += 5;
  EXPECT_EQ(check(shifted), LabelFault::kNone);
  Labels excluded = standard(256, 512);
  for (int r = 0; r < 128; ++r) excluded.rows[r] -= 1;  // tile row 0 based at -1
  excluded.cols[258] = -4;  // an excluded representative column
  excluded.row_groups = 7;  // a grid smaller than the labels reach
  EXPECT_EQ(check(excluded), LabelFault::kNone);
  Labels single = standard(128, 256);
  std::fill(single.rows.begin(), single.rows.end(), 0);  // one tile: any labels below 64
  std::fill(single.cols.begin(), single.cols.end(), 3);
  EXPECT_EQ(check(single), LabelFault::kNone);
}

TEST(LabelCheck, RefusesWhatWouldLeaveTheTableOrMixCells) {
  Labels grid_rows = standard(128, 256);
  grid_rows.row_groups = 0;
  EXPECT_EQ(check(grid_rows), LabelFault::kGridSize);
  Labels grid_cols = standard(128, 256);
  grid_cols.col_groups = -1;
  EXPECT_EQ(check(grid_cols), LabelFault::kGridSize);
  // A grid index must fit the signed 32-bit result: 2^31 - 1 cells do, 2^31 do not.
  Labels indexable = standard(128, 256);
  indexable.row_groups = 65535;
  indexable.col_groups = 32768;  // 2147450880 cells
  EXPECT_EQ(check(indexable), LabelFault::kNone);
  Labels unindexable = standard(128, 256);
  unindexable.row_groups = 1 << 16;
  unindexable.col_groups = 1 << 15;  // 2^31 cells
  EXPECT_EQ(check(unindexable), LabelFault::kGridSize);

  Labels tall = standard(256, 256);
  tall.rows[7] = 64;  // relative row label 64 in tile row 0
  EXPECT_EQ(check(tall), LabelFault::kRowWindow);
  Labels wide = standard(128, 512);
  wide.cols[256 + 14] = wide.cols[256] + 4;  // relative column label 4
  EXPECT_EQ(check(wide), LabelFault::kColWindow);

  Labels shared_rows = standard(256, 256);
  for (int r = 128; r < 256; ++r) shared_rows.rows[r] -= 32;  // tile row 1 reuses rows 32..63
  EXPECT_EQ(check(shared_rows), LabelFault::kRowOverlap);
  Labels shared_cols = standard(128, 512);
  for (int c = 256; c < 512; ++c) shared_cols.cols[c] -= 2;
  EXPECT_EQ(check(shared_cols), LabelFault::kColOverlap);
  Labels all_zero = standard(256, 256);
  std::fill(all_zero.rows.begin(), all_zero.rows.end(), 0);
  EXPECT_EQ(check(all_zero), LabelFault::kRowOverlap);
  Labels negative_base = standard(128, 256);
  negative_base.rows[0] = -1;  // row 63's label becomes relative 64
  EXPECT_EQ(check(negative_base), LabelFault::kRowWindow);
}

}  // namespace
}  // namespace quorl
