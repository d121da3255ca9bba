// Operand offsets at the far end of the largest shapes qk_init accepts
// (2^30 rows of 2^30 bytes: offsets near 2^60), computed by the engines' own
// CuTe partitions and copy plans over counting tensors, against offsets
// worked out here in 64 bits. Any 32-bit step on the way would wrap.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "../../cuda/gemm/digest_table.h"
#include "../../cuda/gemm/gemm_config.h"
#include "../../cuda/gemm/gemm_partition.h"
#include "../../cuda/gemm/hopper/cell_fold.h"
#include "../../cuda/gemm/hopper/engine_config.h"
#include "../../cuda/gemm/hopper/engine_partition.h"
#include "../../cuda/gemm/hopper/gmma_cta_schedule.h"
#include "../../cuda/gemm/hopper/tma_copy.h"

namespace quorl {
namespace {

using namespace cute;

struct Shape3 {
  int m, n, k;
};
// The example of the report (A and B past 4 GiB) and the extremes: m, n
// and k powers of two up to 2^30, as the commitment trees require.
const Shape3 kShapes[] = {{65536, 256, 65536}, {1 << 30, 256, 1 << 30}, {128, 1 << 30, 1 << 30}};

// The byte offsets the 256 threads of the label GEMM copy from the last
// k-tile of an operand's tile, in increasing order.
template <class Config, class Tiles>
std::vector<int64_t> label_gemm_pieces(const Tiles& tiles, bool a_operand) {
  using Thread = gemm::GemmThread<gemm::GemmPartsOf<Config>>;
  std::vector<int64_t> offsets;
  const int tile = int(size<2>(tiles)) - 1, last = int(size<3>(tiles)) - 1;
  for (int t = 0; t < gemm::kThreads; ++t) {
    Thread me(t, nullptr, nullptr);
    auto source = a_operand ? me.copy_source_a(tiles) : me.copy_source_b(tiles);
    for (int i = 0; i < size<1>(source); ++i) {
      for (int j = 0; j < size<2>(source); ++j) offsets.push_back(source(0, i, j, tile, last));
    }
  }
  std::sort(offsets.begin(), offsets.end());
  return offsets;
}

// Every 16-byte piece of k-tile `kt` of a tile starting at row `first`.
std::vector<int64_t> expected_pieces(int64_t first, int rows, int64_t k, int64_t kt) {
  std::vector<int64_t> offsets;
  for (int64_t r = 0; r < rows; ++r) {
    for (int64_t byte = 0; byte < gemm::kTileK; byte += 16) {
      offsets.push_back((first + r) * k + gemm::kTileK * kt + byte);
    }
  }
  std::sort(offsets.begin(), offsets.end());
  return offsets;
}

TEST(GemmOffsets, LabelGemmReadsTheLastKTileOfTheLastTile) {
  for (const Shape3& s : kShapes) {
    SCOPED_TRACE(::testing::Message() << s.m << " x " << s.n << " x " << s.k);
    const auto shape = make_shape(s.m, s.n, s.k);
    // The kernel's global tensors, over offsets instead of bytes.
    const auto mA =
        make_tensor(counting_iterator<int64_t>(0), select<0, 2>(shape), gemm::row_stride(s.k));
    const auto mB =
        make_tensor(counting_iterator<int64_t>(0), select<1, 2>(shape), gemm::row_stride(s.k));
    const int tr = s.m / gemm::kTileM - 1, tc = s.n / gemm::kTileN - 1;
    const int64_t kt = s.k / gemm::kTileK - 1;
    using Tile = gemm::LabelledGemm::Tile;
    EXPECT_EQ(label_gemm_pieces<gemm::LabelledGemm>(gemm::a_tiles(mA, Tile{}), true),
              expected_pieces(int64_t(gemm::kTileM) * tr, gemm::kTileM, s.k, kt));
    EXPECT_EQ(label_gemm_pieces<gemm::LabelledGemm>(gemm::b_tiles(mB, Tile{}), false),
              expected_pieces(int64_t(gemm::kTileN) * tc, gemm::kTileN, s.k, kt));
    // The very last byte of A.
    const auto gA = gemm::a_tiles(mA, Tile{});
    EXPECT_EQ(gA(gemm::kTileM - 1, gemm::kTileK - 1, tr, kt), int64_t(s.m) * s.k - 1);
  }
}

TEST(GemmOffsets, GmmaCtaCopyPlanReadsTheLastKTileOfTheLastTile) {
  using Config = hopper::GmmaCtaConfig;
  for (const Shape3& s : kShapes) {
    SCOPED_TRACE(::testing::Message() << s.m << " x " << s.n << " x " << s.k);
    const int last_tr = (s.m + Config::kRows - 1) / Config::kRows - 1;
    const int first_row = Config::kRows * last_tr;
    const int kt = s.k / Config::kDepth - 1;
    std::vector<int64_t> got;
    for (int t = 0; t < Config::kThreads; ++t) {
      hopper::copy_stage<Config::kRows>(t, s.k, first_row, s.m, kt,
                                        [&](int64_t source, int, bool inside) {
                                          if (inside) got.push_back(source);
                                        });
    }
    std::sort(got.begin(), got.end());
    const int rows_inside =
        std::min(Config::kRows, s.m - first_row);  // the last tile may hang past m
    EXPECT_EQ(got, expected_pieces(first_row, rows_inside, s.k, kt));
  }
}

TEST(GemmOffsets, FusedEngineAddressesTheLastTileRow) {
  using Config = hopper::TmaBoundConfig;
  const auto* base = reinterpret_cast<const int8_t*>(uintptr_t{1} << 20);  // never read
  for (const Shape3& s : kShapes) {
    SCOPED_TRACE(::testing::Message() << s.m << " x " << s.n << " x " << s.k);
    EXPECT_EQ(
        hopper::tma_params_fault(hopper::stage_tma_params_of<Config::StageLayoutA>(base, s.m, s.k)),
        nullptr);
    auto tma = hopper::build_stage_tma<Config::StageLayoutA>(base, s.m, s.k);
    std::vector<int8_t> ring(1);  // the partition only forms addresses
    auto sA = make_tensor(make_smem_ptr(ring.data()), Config::SmemLayoutA{});
    auto [boxes, stages] =
        hopper::tma_stage_partition<Config::kRows, Config::kDepth, Config::kKTiles>(
            tma, hopper::operand_layout(s.m, s.k), sA);
    const int last_tr = s.m / Config::kRows - 1;
    const auto coord = boxes(_, last_tr, Config::kKTiles - 1).data().coord_;
    EXPECT_EQ(int64_t(get<0>(coord)), int64_t(Config::kDepth) * (Config::kKTiles - 1));  // k
    EXPECT_EQ(int64_t(get<1>(coord)), int64_t(Config::kRows) * last_tr);                 // row
  }
}

TEST(GemmOffsets, XoredEntriesOfTheLargestGrids) {
  // Grids of 2^29 x 2^24 cells (m = 2^30, n = 2^30): word 15 of the last cell.
  const int32_t row_groups = 1 << 29, col_groups = 1 << 24;
  const int64_t last = (int64_t(15) * row_groups + row_groups - 1) * col_groups + col_groups - 1;
  EXPECT_EQ(gemm::xored_index(15, row_groups - 1, col_groups - 1, row_groups, col_groups), last);
  EXPECT_EQ(hopper::xored_entry(15, row_groups - 1, col_groups - 1, row_groups, col_groups), last);
}

}  // namespace
}  // namespace quorl
