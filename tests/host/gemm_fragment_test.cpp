// Which accumulators each GEMM thread holds, read from the very TiledMMA types
// the kernels are built from: every thread's row block must be one fold group
// (label-driven builds) or a quarter of one standard cell in the slot the
// kernel folds it into (sm120a).
#include <gtest/gtest.h>

#include <set>
#include <utility>
#include <vector>

#include "../../cuda/gemm/gemm_config.h"

namespace quorl::gemm {
namespace {

using Cell = std::pair<int, int>;

template <class Config, class Visit>
void for_each_row_block(Visit&& visit) {
  typename Config::TiledMma mma;
  const auto identity = cute::make_identity_tensor(cute::Shape<cute::_128, cute::_256>{});
  for (int thread = 0; thread < kThreads; ++thread) {
    const auto coords = mma.get_slice(thread).partition_C(identity);
    for (int mi = 0; mi < cute::size<1>(coords); ++mi) {
      std::vector<Cell> elements;
      for (int ni = 0; ni < cute::size<2>(coords); ++ni) {
        for (int v = 0; v < cute::size<0>(coords); ++v) {
          const auto rc = coords(v, mi, ni);
          elements.emplace_back(int(cute::get<0>(rc)), int(cute::get<1>(rc)));
        }
      }
      const auto rep = coords(0, mi, 0);
      visit(thread, mi, Cell{int(cute::get<0>(rep)), int(cute::get<1>(rep))}, elements);
    }
  }
}

TEST(GemmFragments, LabelledBuildsHoldWholeFoldGroups) {
  std::vector<int> owners(kTileM * kTileN, 0);
  for_each_row_block<LabelledGemm>([&](int thread, int mi, Cell rep, const std::vector<Cell>& got) {
    const auto [r0, c0] = rep;
    // Representatives: rows 16i + q (q < 8), columns 2p (p < 8).
    ASSERT_LT(r0 % 16, 8) << "thread " << thread << " block " << mi;
    ASSERT_TRUE(c0 < 16 && c0 % 2 == 0) << "thread " << thread << " block " << mi;
    std::set<Cell> expected;
    for (int dr : {0, 8}) {
      for (int j = 0; j < 16; ++j) {
        for (int dc : {0, 1}) expected.insert({r0 + dr, c0 + 16 * j + dc});
      }
    }
    EXPECT_EQ(std::set<Cell>(got.begin(), got.end()), expected)
        << "thread " << thread << " block " << mi;
    EXPECT_EQ(got.size(), 64u);
    for (const Cell& e : got) ++owners[e.first * kTileN + e.second];
  });
  for (int owner_count : owners) ASSERT_EQ(owner_count, 1) << "every product element held once";
}

// Standard cell of a tile element, relative to the tile's base cell.
int standard_slot_of(Cell e) { return 4 * (8 * (e.first / 16) + e.first % 8) + (e.second % 8) / 2; }

TEST(GemmFragments, StandardBuildFoldsEachBlockIntoItsStandardCell) {
  std::vector<int> owners(kTileM * kTileN, 0);
  std::vector<int> slot_sizes(kSlots, 0);
  for_each_row_block<StandardGemm>([&](int thread, int mi, Cell, const std::vector<Cell>& got) {
    EXPECT_EQ(got.size(), 32u);
    for (const Cell& e : got) {
      EXPECT_EQ(standard_slot_of(e), standard_slot(mi, thread))
          << "thread " << thread << " block " << mi << " element (" << e.first << ", "
          << e.second << ")";
      ++owners[e.first * kTileN + e.second];
      ++slot_sizes[standard_slot(mi, thread)];
    }
  });
  for (int owner_count : owners) ASSERT_EQ(owner_count, 1) << "every product element held once";
  for (int size : slot_sizes) ASSERT_EQ(size, 128) << "a standard cell has 128 members";
}

// Why sm120a uses atom layout (2, 4, 1): with (4, 2, 1) the slot rule puts
// most row blocks into cells they do not belong to.
TEST(GemmFragments, SlotRuleFailsWithTheLabelledAtomLayout) {
  int misplaced = 0, blocks = 0;
  for_each_row_block<LabelledGemm>([&](int thread, int mi, Cell, const std::vector<Cell>& got) {
    ++blocks;
    for (const Cell& e : got) {
      if (standard_slot_of(e) != standard_slot(mi, thread)) {
        ++misplaced;
        break;
      }
    }
  });
  EXPECT_GT(misplaced, blocks / 2);
}

}  // namespace
}  // namespace quorl::gemm
