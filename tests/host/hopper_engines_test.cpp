// The h100tma engines on the host: fragment ownership proved with CuTe's
// layout algebra on the very tiled-MMA types the kernels use, the fold and
// epilogue functions the kernels call driven with CPU-computed accumulators,
// and the launchers' pure rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "../../cuda/gemm/fold_schedule.h"
#include "../../cuda/gemm/hopper/cell_fold.h"
#include "../../cuda/gemm/hopper/engine_config.h"
#include "../../cuda/gemm/hopper/launch_rules.h"
#include "quorl_ref/engine_messages.hpp"
#include "quorl_ref/grid.hpp"

namespace {

namespace hop = quorl::hopper;
namespace ref = quorl::ref;

// (row, column) of each of a thread's 128 accumulators, in register order,
// relative to the tile.
template <class TiledMma, int rows>
std::vector<std::pair<int, int>> accumulator_coords(int thread) {
  using namespace cute;
  TiledMma mma;
  Tensor id = make_identity_tensor(Shape<Int<rows>, _256>{});
  Tensor part = mma.get_thread_slice(thread).partition_C(id);
  std::vector<std::pair<int, int>> coords;
  for (int i = 0; i < size(part); ++i) coords.emplace_back(get<0>(part(i)), get<1>(part(i)));
  return coords;
}

// Every thread's accumulators are exactly the 128 members of one standard
// cell, the one at (rho, gamma) from the thread index, for any tile position.
template <class TiledMma, int rows>
void expect_one_cell_per_thread() {
  constexpr int threads = int(cute::size(TiledMma{}));
  ASSERT_EQ(threads, rows * 2);
  std::set<std::pair<int, int>> cells_seen;
  for (int t = 0; t < threads; ++t) {
    const auto coords = accumulator_coords<TiledMma, rows>(t);
    ASSERT_EQ(coords.size(), size_t(hop::kCellValues)) << "thread " << t;
    const int row = hop::fragment_row(t);
    const int rho = hop::cell_row_offset(row);
    const int gamma = hop::cell_col_offset(t);
    EXPECT_TRUE(cells_seen.insert({rho, gamma}).second) << "cell shared, thread " << t;
    for (int tile = 0; tile < 3; ++tile) {
      const int first_row = rows * tile, first_col = 256 * tile;
      const int Lr = ref::standard_row_label(first_row), Lc = ref::standard_col_label(first_col);
      std::set<std::pair<int, int>> members;
      for (const auto& [r, c] : coords) {
        EXPECT_EQ(ref::standard_row_label(first_row + r), Lr + rho)
            << "thread " << t << " row " << r;
        EXPECT_EQ(ref::standard_col_label(first_col + c), Lc + gamma)
            << "thread " << t << " col " << c;
        members.insert({r, c});
      }
      EXPECT_EQ(members.size(), size_t(hop::kCellValues))
          << "thread " << t;  // distinct: the whole cell
    }
    // The fold's first row is the smaller of the thread's two rows.
    int lowest = rows;
    for (const auto& rc : coords) lowest = std::min(lowest, rc.first);
    EXPECT_EQ(lowest, row) << "thread " << t;
  }
}

TEST(HopperFragments, EachConsumerThreadOwnsOneCellOf128RowTiles) {
  expect_one_cell_per_thread<hop::TmaBoundConfig::TiledMma, hop::TmaBoundConfig::kRows>();
}

TEST(HopperFragments, EachThreadOwnsOneCellOf192RowTiles) {
  expect_one_cell_per_thread<hop::GmmaCtaConfig::TiledMma, hop::GmmaCtaConfig::kRows>();
}

// The copy loop places each 16-byte piece by the Swizzle<2, 4, 3> formula;
// the MMA reads through CuTe's layout. They must agree.
TEST(HopperFragments, CopyPlacementMatchesTheSharedLayoutTheMmaReads) {
  using Config = hop::GmmaCtaConfig;
  const auto layout_a = Config::SmemLayoutA{};
  const auto layout_b = Config::SmemLayoutB{};
  for (int stage = 0; stage < Config::kStages; ++stage) {
    for (int row = 0; row < Config::kCols; ++row) {
      for (int byte = 0; byte < Config::kDepth; ++byte) {
        const int piece = byte & ~15;
        const int offset = row * Config::kDepth + piece;
        const int placed = (offset ^ ((offset >> 3) & 0x30)) + (byte & 15);
        if (row < Config::kRows) {
          ASSERT_EQ(int(layout_a(row, byte, stage)), stage * Config::kStageBytesA + placed);
        }
        ASSERT_EQ(int(layout_b(row, byte, stage)), stage * Config::kStageBytesB + placed);
      }
    }
  }
}

struct Operands {
  int m, n, k;
  std::vector<int8_t> a, b;
};

Operands random_operands(int m, int n, int k, uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> value(-128, 127);
  Operands op{m, n, k, std::vector<int8_t>(size_t(m) * k), std::vector<int8_t>(size_t(n) * k)};
  for (auto& x : op.a) x = int8_t(value(gen));
  for (auto& x : op.b) x = int8_t(value(gen));
  return op;
}

// One thread's accumulators as the MMAs leave them, advanced k-tile by
// k-tile; positions at or beyond k (and rows beyond m) read as zeros, as the
// engines' zero fill supplies them.
class ThreadAccumulators {
 public:
  ThreadAccumulators(const Operands& op, int first_row, int first_col,
                     std::vector<std::pair<int, int>> coords)
      : op_(op),
        first_row_(first_row),
        first_col_(first_col),
        coords_(std::move(coords)),
        acc_(coords_.size(), 0) {}

  // The registers after k positions [0, depth).
  const std::vector<int32_t>& through(int depth) {
    const int until = std::min(depth, op_.k);
    for (size_t i = 0; i < coords_.size(); ++i) {
      const int row = first_row_ + coords_[i].first, col = first_col_ + coords_[i].second;
      if (row >= op_.m) continue;
      const int8_t* a = &op_.a[size_t(row) * op_.k];
      const int8_t* b = &op_.b[size_t(col) * op_.k];
      for (int j = done_; j < until; ++j) acc_[i] += int32_t(a[j]) * int32_t(b[j]);
    }
    done_ = std::max(done_, until);
    return acc_;
  }

 private:
  const Operands& op_;
  int first_row_, first_col_;
  std::vector<std::pair<int, int>> coords_;
  std::vector<int32_t> acc_;
  int done_ = 0;
};

// One cell message per thread and tile, as the fused engine forms it.
std::vector<ref::Block> fused_engine_on_host(const Operands& op) {
  using Config = hop::TmaBoundConfig;
  const int row_groups = op.m / 2, col_groups = op.n / 64;
  std::vector<ref::Block> messages(size_t(row_groups) * col_groups, ref::Block{});
  std::vector<int> written(messages.size(), 0);
  const auto rows = ref::standard_row_groups(op.m);
  const auto cols = ref::standard_col_groups(op.n);
  const int tiles_m = (op.m + Config::kRows - 1) / Config::kRows;
  const int tiles_n = (op.n + Config::kCols - 1) / Config::kCols;
  for (int t = 0; t < tiles_m * tiles_n; ++t) {
    const hop::TileCoord tile = hop::persistent_tile(t, tiles_m);
    const int first_row = Config::kRows * tile.row, first_col = Config::kCols * tile.col;
    for (int thread = 0; thread < 2 * 128; ++thread) {
      ThreadAccumulators acc(op, first_row, first_col,
                             accumulator_coords<Config::TiledMma, Config::kRows>(thread));
      ref::Block words{};
      for (int i = 0; i < Config::kKTiles; ++i) {  // the engine's fold schedule
        const int s = quorl::gemm::completed_slice<Config::kDepth>(i);
        if (s >= 0) words[s] = hop::fold_slice(acc.through(Config::kDepth * (i + 1)));
      }
      const int frag_row = hop::fragment_row(thread);
      const int index =
          hop::grid_index(rows[first_row] + hop::cell_row_offset(frag_row),
                          cols[first_col] + hop::cell_col_offset(thread), row_groups, col_groups);
      if (hop::owns_cell(first_row, frag_row, op.m, index)) {
        messages[index] = words;
        ++written[index];
      }
    }
  }
  for (size_t i = 0; i < written.size(); ++i) EXPECT_EQ(written[i], 1) << "cell " << i;
  return messages;
}

// The store flavour of the 192-row engine into an `xored` of k_blocks planes,
// returned as messages. Cells are written only inside the grid; the buffer
// is exactly k_blocks planes, so any write outside it fails the test.
std::vector<ref::Block> store_engine_on_host(const Operands& op) {
  using Config = hop::GmmaCtaConfig;
  const int row_groups = op.m / 2, col_groups = op.n / 64, k_blocks = op.k / 128;
  const int slices = std::min(k_blocks, hop::kMessageWords);
  std::vector<uint32_t> xored(size_t(k_blocks) * row_groups * col_groups, 0);
  const auto rows = ref::standard_row_groups(op.m);
  const auto cols = ref::standard_col_groups(op.n);
  const int ktiles = (op.k + Config::kDepth - 1) / Config::kDepth;
  for (int tr = 0; tr < (op.m + Config::kRows - 1) / Config::kRows; ++tr) {
    for (int tc = 0; tc < op.n / Config::kCols; ++tc) {
      const int first_row = Config::kRows * tr, first_col = Config::kCols * tc;
      for (int thread = 0; thread < Config::kThreads; ++thread) {
        ThreadAccumulators acc(op, first_row, first_col,
                               accumulator_coords<Config::TiledMma, Config::kRows>(thread));
        const int frag_row = hop::fragment_row(thread);
        const int R = rows[first_row] + hop::cell_row_offset(frag_row);
        const int C = cols[first_col] + hop::cell_col_offset(thread);
        const bool owns = hop::owns_cell(first_row, frag_row, op.m,
                                         hop::grid_index(R, C, row_groups, col_groups));
        for (int j = 0; j < ktiles; ++j) {  // the engine's fold schedule
          const int s = quorl::gemm::completed_slice<Config::kDepth>(j);
          if (s < 0 || !owns || s >= slices) continue;
          const int64_t entry = hop::xored_entry(s, R, C, row_groups, col_groups);
          if (entry < 0 || entry >= int64_t(xored.size())) {
            ADD_FAILURE() << "write outside xored, cell " << R << "," << C;
            continue;
          }
          xored[entry] = hop::fold_slice(acc.through(Config::kDepth * (j + 1)));
        }
      }
    }
  }
  std::vector<ref::Block> messages(size_t(row_groups) * col_groups, ref::Block{});
  for (int s = 0; s < k_blocks; ++s) {
    for (size_t cell = 0; cell < messages.size(); ++cell) {
      const uint32_t word = xored[size_t(s) * messages.size() + cell];
      if (s < hop::kMessageWords) {
        messages[cell][s] = word;
      } else {
        EXPECT_EQ(word, 0u) << "plane " << s << " is never written";
      }
    }
  }
  return messages;
}

struct Shape {
  int m, n, k;
};

class HopperFold : public ::testing::TestWithParam<Shape> {};

TEST_P(HopperFold, FusedEngineFormsTheTmaEngineMessages) {
  const Shape s = GetParam();
  const Operands op = random_operands(s.m, s.n, s.k, 11u + s.k);
  const auto engine = fused_engine_on_host(op);
  const auto tma = ref::tma_engine_cell_messages(op.a.data(), op.b.data(), s.m, s.n, s.k);
  const auto standard = ref::standard_cell_messages(op.a.data(), op.b.data(), s.m, s.n, s.k);
  ASSERT_EQ(engine.size(), tma.size());
  for (size_t cell = 0; cell < engine.size(); ++cell) {
    EXPECT_EQ(engine[cell], tma[cell]) << "cell " << cell;
    if (s.k >= 2048) EXPECT_EQ(engine[cell], standard[cell]) << "cell " << cell;
    for (int w = s.k / 128; w < 16; ++w) {
      EXPECT_EQ(engine[cell][w], engine[cell][s.k / 128 - 1]) << "full dot products, cell " << cell;
    }
  }
}

TEST_P(HopperFold, StoreEngineFormsTheStandardMessages) {
  const Shape s = GetParam();
  const Operands op = random_operands(s.m, s.n, s.k, 23u + s.k);
  const auto engine = store_engine_on_host(op);
  const auto standard = ref::standard_cell_messages(op.a.data(), op.b.data(), s.m, s.n, s.k);
  ASSERT_EQ(engine.size(), standard.size());
  for (size_t cell = 0; cell < engine.size(); ++cell) {
    EXPECT_EQ(engine[cell], standard[cell]) << "cell " << cell;
  }
}

// 256 rows: one whole 192-row tile and one that hangs 128 rows past m.
INSTANTIATE_TEST_SUITE_P(Depths, HopperFold,
                         ::testing::Values(Shape{256, 256, 2048}, Shape{256, 256, 1024},
                                           Shape{128, 512, 2560}),
                         [](const auto& info) { return "k" + std::to_string(info.param.k); });

// The epilogue reports a cell exactly when the reference bound rule does.
TEST(HopperEpilogue, ReportsExactlyTheReferenceQualifyingCells) {
  const Operands op = random_operands(128, 256, 2048, 5);
  const auto messages = ref::tma_engine_cell_messages(op.a.data(), op.b.data(), 128, 256, 2048);
  ref::Cv key{};
  for (int i = 0; i < 8; ++i) key[i] = 0x01020304u * uint32_t(i + 1);
  // Targets between the hashes: about a quarter of the cells, one cell
  // (equality meets), none, and all.
  std::vector<ref::Cv> hashes;
  for (const auto& msg : messages) hashes.push_back(ref::keyed_hash_block(key, msg));
  auto below = [](const ref::Cv& x, const ref::Cv& y) { return !ref::meets_target(y, x); };
  std::vector<ref::Cv> sorted = hashes;
  std::sort(sorted.begin(), sorted.end(), below);
  ref::Cv zero{}, ones{};
  ones.fill(0xFFFFFFFFu);
  for (const ref::Cv& target : {sorted[sorted.size() / 4], sorted[0], zero, ones}) {
    std::vector<int> reported;
    for (size_t cell = 0; cell < messages.size(); ++cell) {
      if (hop::message_meets_target(key.data(), messages[cell].data(), target.data())) {
        reported.push_back(int(cell));
      }
    }
    EXPECT_EQ(reported, ref::qualifying_cells(messages, key, target));
  }
  EXPECT_EQ(ref::qualifying_cells(messages, key, sorted[0]).size(), 1u);
  EXPECT_EQ(ref::qualifying_cells(messages, key, ones).size(), messages.size());
}

TEST(HopperEpilogue, CellsOutsideTheGridAreNeitherStoredNorReported) {
  struct Case {
    int R, C, row_groups, col_groups, index;
  };
  const Case cases[] = {
      {0, 0, 4, 4, 0},  {3, 3, 4, 4, 15},  {4, 0, 4, 4, -1},
      {0, 4, 4, 4, -1}, {-1, 0, 4, 4, -1}, {0, -2, 4, 4, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(hop::grid_index(c.R, c.C, c.row_groups, c.col_groups), c.index) << c.R << "," << c.C;
  }
  // Rows past m (a 192-row tile hanging past m = 256) own nothing.
  EXPECT_TRUE(hop::owns_cell(192, 63, 256, 7));
  EXPECT_FALSE(hop::owns_cell(192, 64, 256, 7));
  EXPECT_FALSE(hop::owns_cell(0, 0, 256, -1));
}

TEST(HopperLaunchRules, PersistentCtasPerMultiprocessor) {
  const std::pair<const char*, int> cases[] = {
      {nullptr, 1}, {"2", 2}, {"1", 1}, {"0", 1}, {"-3", 1}, {"two", 1}, {"", 1}, {"4x", 4},
  };
  for (const auto& [text, per_sm] : cases) {
    EXPECT_EQ(hop::persistent_ctas_per_sm(text), per_sm) << (text ? text : "(unset)");
  }
}

TEST(HopperConfig, SharedMemoryBudgets) {
  // Four 48 KB stages; the CuTe layouts the MMAs read span exactly the ring.
  EXPECT_EQ(hop::TmaBoundConfig::kStageBytes, 49152);
  EXPECT_EQ(int(cute::cosize(hop::TmaBoundConfig::SmemLayoutA{})), 4 * 16384);
  EXPECT_EQ(int(cute::cosize(hop::TmaBoundConfig::SmemLayoutB{})), 4 * 32768);
  EXPECT_EQ(int(cute::cosize(hop::GmmaCtaConfig::SmemLayoutA{})) +
                int(cute::cosize(hop::GmmaCtaConfig::SmemLayoutB{})),
            57344);
  // What the launchers request, within sm_90's 227 KB opt-in limit per block.
  EXPECT_EQ(hop::TmaBoundConfig::kSmemBytes, 197632);
  EXPECT_EQ(hop::GmmaCtaConfig::kSmemBytes, 100096);
  EXPECT_LE(57344, hop::GmmaCtaConfig::kSmemBytes);
  EXPECT_LE(hop::TmaBoundConfig::kSmemBytes, 227 * 1024);
}

}  // namespace
