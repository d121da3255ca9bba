// The bound check kernel's body over its launch grid, against the reference:
// messages read from the xored planes (none when k_blocks is 0, 16 at most),
// the bound rule at its edges, and an earlier result that must survive.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "../../cuda/gemm/hopper/cell_fold.h"
#include "../../cuda/search/bound.h"
#include "../support/host_grid.h"
#include "quorl_ref/search.hpp"

namespace quorl::search {
namespace {

struct Grid {
  int row_groups, col_groups;
  std::vector<uint32_t> messages;  // 16 words per cell, zero beyond k_blocks
};

Grid random_grid(int row_groups, int col_groups, int k_blocks, uint32_t seed) {
  Grid g{row_groups, col_groups, std::vector<uint32_t>(size_t(row_groups) * col_groups * 16, 0)};
  std::mt19937 rng(seed);
  for (size_t cell = 0; cell < g.messages.size() / 16; ++cell) {
    for (int s = 0; s < std::min(k_blocks, 16); ++s) g.messages[cell * 16 + s] = rng();
  }
  return g;
}

int32_t run_bound(const Grid& g, int k_blocks, const ref::Cv& key, const ref::Cv& target,
                  int32_t found = -1) {
  ref::Labelling shape{g.row_groups, g.col_groups, {}, {}};
  std::vector<uint32_t> xored = ref::xored_planes(g.messages, k_blocks, shape);
  // Planes past the sixteenth hold noise the kernel must not read.
  for (size_t i = size_t(16) * g.row_groups * g.col_groups; i < xored.size(); ++i) xored[i] = 0xDEADBEEF;
  test::run_grid(bound_shape(g.row_groups, g.col_groups), [&](Thread1D th) {
    bound_thread(th, xored.data(), key.data(), target.data(), &found, k_blocks, g.row_groups,
                 g.col_groups);
  });
  return found;
}

ref::Cv key_of(uint32_t seed) {
  ref::Cv key;
  for (int i = 0; i < 8; ++i) key[i] = seed * 0x9E3779B9u + uint32_t(i);
  return key;
}

ref::Cv lowest_hash(const Grid& g, const ref::Cv& key) {
  ref::Cv best;
  best.fill(0xFFFFFFFFu);
  for (size_t cell = 0; cell < g.messages.size() / 16; ++cell) {
    const ref::Cv h = ref::bound_hash(key, &g.messages[cell * 16]);
    if (!ref::meets_target(best, h)) best = h;
  }
  return best;
}

TEST(BoundKernel, ReportsTheOneQualifyingCell) {
  struct Case {
    int row_groups, col_groups, k_blocks;
  };
  // Grids that do and do not fill the last block; k_blocks within and past 16.
  const Case cases[] = {{5, 7, 3}, {64, 4, 16}, {20, 15, 20}, {128, 4, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.row_groups << "x" << c.col_groups << " k_blocks "
                                      << c.k_blocks);
    const Grid g = random_grid(c.row_groups, c.col_groups, c.k_blocks, uint32_t(c.k_blocks));
    const ref::Cv key = key_of(7);
    const ref::Cv target = lowest_hash(g, key);
    const auto expected = ref::qualifying_cells(g.messages, key, target);
    ASSERT_EQ(expected.size(), 1u);
    EXPECT_EQ(run_bound(g, c.k_blocks, key, target), expected[0]);
    ref::Cv zero{};
    EXPECT_EQ(run_bound(g, c.k_blocks, key, zero), -1);
    ref::Cv all;
    all.fill(0xFFFFFFFFu);
    const int32_t any = run_bound(g, c.k_blocks, key, all);
    EXPECT_TRUE(any >= 0 && any < c.row_groups * c.col_groups) << any;
  }
}

TEST(BoundKernel, NoSliceMeansSixtyFourZeroBytesEverywhere) {
  const Grid g = random_grid(8, 8, 0, 1);
  const ref::Cv key = key_of(3);
  const uint32_t zeros[16] = {};
  const ref::Cv zero_hash = ref::bound_hash(key, zeros);
  EXPECT_NE(run_bound(g, 0, key, zero_hash), -1) << "every cell hashes zeros and meets";
  ref::Cv below = zero_hash;
  if (below[0] > 0) {
    --below[0];
  } else {
    --below[7];
  }
  EXPECT_EQ(run_bound(g, 0, key, below), -1) << "no cell meets just below the zero hash";
}

TEST(BoundKernel, AnEarlierResultSurvives) {
  const Grid g = random_grid(4, 4, 2, 9);
  ref::Cv all;
  all.fill(0xFFFFFFFFu);
  EXPECT_EQ(run_bound(g, 2, key_of(1), all, 11), 11);
}

TEST(BoundRule, ComparesFromTheMostSignificantWord) {
  const uint32_t target[8] = {5, 6, 7, 8, 9, 10, 11, 12};
  struct Case {
    uint32_t hash[8];
    bool meets;
  };
  const Case cases[] = {
      {{5, 6, 7, 8, 9, 10, 11, 12}, true},            // equal in all words
      {{6, 6, 7, 8, 9, 10, 11, 12}, false},           // larger only in word 0
      {{4, 6, 7, 8, 9, 10, 11, 12}, true},            // smaller only in word 0
      {{0xFFFFFFFF, 6, 7, 8, 9, 10, 11, 11}, true},   // word 7 decides
      {{0, 0, 0, 0, 0, 0, 0, 13}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(gemm::meets_target(c.hash, target), c.meets) << c.hash[0] << " .. " << c.hash[7];
    ref::Cv h, t;
    std::copy(c.hash, c.hash + 8, h.begin());
    std::copy(target, target + 8, t.begin());
    EXPECT_EQ(ref::meets_target(h, t), c.meets);
  }
}

// The rule's edges, run through every path that decides a cell: the label
// GEMM's fused epilogue, the separate bound kernel and the Hopper engines'
// epilogue. Targets are set around a message's real hash.
TEST(BoundRule, EveryPathDecidesTheEdgesAlike) {
  const ref::Cv key = key_of(5);
  uint32_t message[16];
  for (int s = 0; s < 16; ++s) message[s] = 0x9E3779B9u * uint32_t(s + 1);
  const ref::Cv h = ref::bound_hash(key, message);
  for (uint32_t w : h) ASSERT_TRUE(w != 0 && w != 0xFFFFFFFFu) << "pick another message";
  struct Case {
    const char* what;
    void (*target_of)(ref::Cv&);  // from the hash
    bool meets;
  };
  const Case cases[] = {
      {"equal in all words", [](ref::Cv&) {}, true},
      {"hash larger only in word 0", [](ref::Cv& t) { --t[0]; }, false},
      {"hash smaller only in word 0", [](ref::Cv& t) { ++t[0]; }, true},
      {"hash larger only in word 7", [](ref::Cv& t) { --t[7]; }, false},
      {"word 7 smaller decides over word 0 larger", [](ref::Cv& t) { ++t[7], --t[0]; }, true},
      {"word 4 larger decides over words 0-3 smaller",
       [](ref::Cv& t) { --t[4], t[0] = t[1] = t[2] = t[3] = 0xFFFFFFFFu; }, false},
  };
  for (const Case& c : cases) {
    ref::Cv target = h;
    c.target_of(target);
    ASSERT_EQ(ref::meets_target(h, target), c.meets) << c.what;
    EXPECT_EQ(gemm::meets_target(h.data(), target.data()), c.meets) << c.what;

    int32_t found = -1;  // label GEMM epilogue, cell (0, 0) of a 1 x 1 grid
    gemm::finish_slot<true, false>(0, message, 0, 0, 16, 1, 1, nullptr, key.data(), target.data(),
                                   &found);
    EXPECT_EQ(found, c.meets ? 0 : -1) << "label GEMM: " << c.what;

    found = -1;  // separate bound kernel over one cell's 16 planes
    test::run_grid(bound_shape(1, 1), [&](Thread1D th) {
      bound_thread(th, message, key.data(), target.data(), &found, 16, 1, 1);
    });
    EXPECT_EQ(found, c.meets ? 0 : -1) << "bound kernel: " << c.what;

    EXPECT_EQ(hopper::message_meets_target(key.data(), message, target.data()), c.meets)
        << "Hopper epilogue: " << c.what;
  }
}

}  // namespace
}  // namespace quorl::search
