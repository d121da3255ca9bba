// Every tile of a small product driven on the host through the functions the
// GEMM kernel calls (fold_slice, finish_slot), with the accumulators of each
// thread filled from running dot products computed on the CPU, against the
// reference model: label-driven and standard builds, store and fused
// epilogues, standard and non-standard labellings.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "../../cuda/gemm/gemm_config.h"
#include "../../cuda/gemm/tile_table.h"
#include "quorl_ref/grid.hpp"
#include "quorl_ref/search.hpp"

namespace quorl::gemm {
namespace {

struct Problem {
  int m, n, k;
  std::vector<int8_t> a, b;
  std::vector<uint32_t> prefix;  // [slice][row][col] running dot products

  Problem(int m_, int n_, int k_, uint32_t seed) : m(m_), n(n_), k(k_), a(size_t(m_) * k_), b(size_t(n_) * k_) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> value(-64, 63);
    for (auto& x : a) x = int8_t(value(rng));
    for (auto& x : b) x = int8_t(value(rng));
    const int slices = std::min(k / kSliceWidth, kMessageWords);
    prefix.assign(size_t(slices) * m * n, 0);
    for (int r = 0; r < m; ++r) {
      for (int c = 0; c < n; ++c) {
        int32_t sum = 0;
        for (int s = 0; s < slices; ++s) {
          for (int j = s * kSliceWidth; j < (s + 1) * kSliceWidth; ++j) {
            sum += int32_t(a[size_t(r) * k + j]) * b[size_t(c) * k + j];
          }
          prefix[(size_t(s) * m + r) * n + c] = uint32_t(sum);
        }
      }
    }
  }
  int slices() const { return std::min(k / kSliceWidth, kMessageWords); }
  uint32_t dot(int s, int r, int c) const { return prefix[(size_t(s) * m + r) * n + c]; }
};

struct Outcome {
  std::vector<uint32_t> xored;
  int32_t found = -1;
};

// One search over all tiles, as the kernel runs it.
template <class Config, bool kFused, bool kStore>
Outcome run_tiles(const Problem& p, const ref::Labelling& g, const ref::Cv& key,
                  const ref::Cv& target) {
  constexpr bool kStandard = Config::standard_grid;
  Outcome out;
  const int k_blocks = p.k / kSliceWidth;
  // The planes, with guard words on both sides: a write outside the grid
  // lands on a guard.
  constexpr size_t kGuard = 64;
  constexpr uint32_t kGuardWord = 0xDEADBEEFu;
  const size_t words = size_t(k_blocks) * g.row_groups * g.col_groups;
  std::vector<uint32_t> guarded(kGuard + words + kGuard, kGuardWord);
  std::fill(guarded.begin() + kGuard, guarded.begin() + kGuard + words, 0u);
  uint32_t* xored = guarded.data() + kGuard;
  typename Config::TiledMma mma;
  const auto identity = cute::make_identity_tensor(cute::Shape<cute::_128, cute::_256>{});
  for (int tc = 0; tc < p.n / kTileN; ++tc) {
    for (int tr = 0; tr < p.m / kTileM; ++tr) {
      int32_t base_row = kSlotRows * tr, base_col = kSlotCols * tc;
      std::vector<int32_t> row_labels(kTileM), col_labels(kTileN);
      if (!kStandard) {
        base_row = g.row_group[kTileM * tr];
        base_col = g.col_group[kTileN * tc];
        for (int r = 0; r < kTileM; ++r) row_labels[r] = relative_label(g.row_group[kTileM * tr + r], base_row);
        for (int c = 0; c < kTileN; ++c) col_labels[c] = relative_label(g.col_group[kTileN * tc + c], base_col);
      }
      std::vector<uint32_t> table(kTableWords, 0);
      for (int thread = 0; thread < kThreads; ++thread) {
        auto thr = mma.get_slice(thread);
        auto acc = cute::partition_fragment_C(mma, cute::Shape<cute::_128, cute::_256>{});
        const auto coords = thr.partition_C(identity);
        for (int s = 0; s < p.slices(); ++s) {
          for (int i = 0; i < cute::size(acc); ++i) {
            const auto rc = coords(i);
            acc(i) = int32_t(p.dot(s, kTileM * tr + cute::get<0>(rc), kTileN * tc + cute::get<1>(rc)));
          }
          fold_slice<typename Config::Form>(acc, coords, thread, s, row_labels.data(),
                                            col_labels.data(), table.data());
        }
      }
      for (int t = 0; t < kSlots; ++t) {
        uint32_t message[kMessageWords];
        read_message<Config::Form::table>(table.data(), t, message);
        finish_slot<kFused, kStore>(t, message, base_row, base_col, k_blocks, g.row_groups,
                                    g.col_groups, xored, key.data(), target.data(), &out.found);
      }
    }
  }
  for (size_t i = 0; i < kGuard; ++i) {
    EXPECT_EQ(guarded[i], kGuardWord) << "written " << kGuard - i << " words before xored";
    EXPECT_EQ(guarded[kGuard + words + i], kGuardWord) << "written " << i << " words past xored";
  }
  out.xored.assign(xored, xored + words);
  return out;
}

ref::Cv test_key() {
  ref::Cv key;
  for (int i = 0; i < 8; ++i) key[i] = 0x01020304u * uint32_t(i + 1);
  return key;
}

// The smallest bound hash among the hashed cells: exactly one cell meets it
// (ties are astronomically unlikely).
ref::Cv lowest_hash(const std::vector<uint32_t>& messages, const std::vector<bool>& hashed,
                    const ref::Cv& key) {
  ref::Cv best;
  best.fill(0xFFFFFFFFu);
  for (size_t cell = 0; cell < hashed.size(); ++cell) {
    if (!hashed[cell]) continue;
    const ref::Cv h = ref::bound_hash(key, &messages[cell * ref::kMessageWords]);
    if (!ref::meets_target(best, h)) best = h;
  }
  return best;
}

template <class Config>
void expect_matches_reference(const Problem& p, const ref::Labelling& g, const char* what) {
  SCOPED_TRACE(what);
  const ref::Labelling& model = Config::standard_grid
      ? ref::Labelling{g.row_groups, g.col_groups, ref::standard_labelling(p.m, p.n).row_group,
                       ref::standard_labelling(p.m, p.n).col_group}
      : g;
  const auto messages = ref::cell_messages(p.a.data(), p.b.data(), p.m, p.n, p.k, model);
  const auto hashed = ref::hashed_cells(p.m, p.n, model);
  const ref::Cv key = test_key();
  ref::Cv all;
  all.fill(0xFFFFFFFFu);

  const Outcome stored = run_tiles<Config, false, true>(p, g, key, all);
  EXPECT_EQ(stored.xored, ref::xored_planes(messages, p.k / kSliceWidth, model));
  EXPECT_EQ(stored.found, -1);

  const Outcome none = run_tiles<Config, false, false>(p, g, key, all);
  EXPECT_EQ(none.found, -1);
  EXPECT_TRUE(std::all_of(none.xored.begin(), none.xored.end(), [](uint32_t w) { return w == 0; }));

  // All-ones target: some hashed cell is reported.
  const auto every = ref::qualifying_cells(messages, key, all, &hashed);
  const Outcome any = run_tiles<Config, true, false>(p, g, key, all);
  EXPECT_NE(std::find(every.begin(), every.end(), any.found), every.end()) << any.found;

  // A target only the lowest hash meets: exactly that cell (or, when no
  // slice completes and every message is zero, any of them).
  const ref::Cv lowest = lowest_hash(messages, hashed, key);
  const auto one = ref::qualifying_cells(messages, key, lowest, &hashed);
  ASSERT_FALSE(one.empty());
  if (p.slices() > 0) ASSERT_EQ(one.size(), 1u);
  const int32_t found = run_tiles<Config, true, false>(p, g, key, lowest).found;
  EXPECT_NE(std::find(one.begin(), one.end(), found), one.end()) << found;

  // All-zero target: no cell.
  ref::Cv zero{};
  EXPECT_EQ((run_tiles<Config, true, false>(p, g, key, zero).found), -1);
}

// Labellings, all within the limits qk_init accepts.
ref::Labelling offset_by(ref::Labelling g, int rows, int cols) {
  for (auto& l : g.row_group) l += rows;
  for (auto& l : g.col_group) l += cols;
  g.row_groups += rows;
  g.col_groups += cols;
  return g;
}

ref::Labelling with_exclusions(ref::Labelling g) {
  g.row_group[3] = -1;            // a representative row: its groups drop out
  g.row_group[8 + 5] = -1;        // a second row: never read
  g.col_group[256 + 6] = -7;      // a representative column of the second tile
  g.col_group[1] = -1;            // not a representative: never read
  return g;
}

// Relative labels reach 63 and 3: the rows of each tile in reverse order
// (first row kept as the base), the columns mirrored.
ref::Labelling at_the_limits(int m, int n) {
  ref::Labelling g = ref::standard_labelling(m, n);
  for (int r = 0; r < m; ++r) {
    const int rho = g.row_group[r] % 64;
    if (rho != 0) g.row_group[r] += 64 - 2 * rho;
  }
  for (int c = 0; c < n; ++c) {
    const int gamma = g.col_group[c] % 4;
    g.col_group[c] += (4 - gamma) % 4 - gamma;
  }
  return g;
}

TEST(GemmTile, StandardLabellingMatchesTheStandardGrid) {
  const Problem p(256, 512, 384, 1);
  const ref::Labelling g = ref::standard_labelling(p.m, p.n);
  // The reference's group-wise messages against plain cell membership.
  const auto messages = ref::cell_messages(p.a.data(), p.b.data(), p.m, p.n, p.k, g);
  std::vector<uint32_t> by_member(messages.size(), 0);
  for (int r = 0; r < p.m; ++r) {
    for (int c = 0; c < p.n; ++c) {
      const int cell = ref::standard_row_label(r) * g.col_groups + ref::standard_col_label(c);
      for (int s = 0; s < p.slices(); ++s) by_member[cell * 16 + s] ^= p.dot(s, r, c);
    }
  }
  EXPECT_EQ(messages, by_member);
  expect_matches_reference<LabelledGemm>(p, g, "label-driven");
  expect_matches_reference<StandardGemm>(p, g, "standard");
}

TEST(GemmTile, NonStandardLabellingsMatchTheReference) {
  const Problem p(256, 512, 256, 2);
  const ref::Labelling standard = ref::standard_labelling(p.m, p.n);
  expect_matches_reference<LabelledGemm>(p, offset_by(standard, 5, 1), "offset");
  expect_matches_reference<LabelledGemm>(p, with_exclusions(standard), "exclusions");
  expect_matches_reference<LabelledGemm>(p, at_the_limits(p.m, p.n), "limits");
  // sm120a ignores labels: it still computes the standard grid.
  expect_matches_reference<StandardGemm>(p, at_the_limits(p.m, p.n), "standard ignores labels");
}

TEST(GemmTile, SlicesFollowK) {
  // k = 128: one slice; k = 64: none, so every message is 16 zero words;
  // k = 2560: 20 k-blocks, only 16 slices enter a message.
  for (int k : {64, 128, 2560}) {
    const Problem p(128, 256, k, uint32_t(k));
    expect_matches_reference<LabelledGemm>(p, ref::standard_labelling(p.m, p.n),
                                           ("k = " + std::to_string(k)).c_str());
  }
}

TEST(GemmTile, CellsOutsideTheGridAreSkipped) {
  // A negative base label and a grid smaller than the labels reach: the
  // epilogue writes nothing outside the grid and reports no outside index.
  const Problem p(256, 256, 128, 3);
  ref::Labelling g = ref::standard_labelling(p.m, p.n);
  for (int r = 0; r < 128; ++r) g.row_group[r] -= 1;  // tile row 0 based at -1
  g.row_groups = 100;   // tile row 1 reaches rows 64..127
  g.col_groups = 3;     // the window's fourth column is outside
  expect_matches_reference<LabelledGemm>(p, g, "clipped");
  ref::Cv all;
  all.fill(0xFFFFFFFFu);
  for (int32_t found : {run_tiles<LabelledGemm, true, false>(p, g, test_key(), all).found,
                        run_tiles<StandardGemm, true, false>(p, g, test_key(), all).found}) {
    EXPECT_GE(found, 0);
    EXPECT_LT(found, g.row_groups * g.col_groups);
  }
}

}  // namespace
}  // namespace quorl::gemm
