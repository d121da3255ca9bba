// gemm_g's data path on the host: each CTA's 256 threads build the kernel's
// own partitions (gemm_partition.h) over an emulated shared window and run
// the kernel's k-tile schedule (gemm_schedule.h), with cp.async, ldmatrix
// and mma.sync carried out by their PTX semantics. At every fold point each
// accumulator must hold the direct dot product of its element, and the
// folded messages must be the reference's.
#include <gtest/gtest.h>

#include <cute/tensor.hpp>

#include <algorithm>
#include <string>
#include <vector>

#include "../../cuda/gemm/gemm_config.h"
#include "../../cuda/gemm/gemm_partition.h"
#include "../../cuda/gemm/gemm_schedule.h"
#include "operands.h"
#include "ptx_semantics.h"
#include "quorl_ref/search.hpp"

namespace quorl::emu {
namespace {

using namespace cute;
namespace g = gemm;

// One instruction per rest index of a partitioned copy, as CuTe's copy
// issues them; the address it hands the instruction is that of the piece's
// first byte (CuTe recasts the piece to one 16-byte value there).
template <class Tensor_>
auto pieces(const Tensor_& t) {
  return group_modes<1, decltype(rank(t))::value>(t);
}

template <class Config>
class LabelGemmLaunch {
 public:
  using Parts = g::GemmPartsOf<Config>;
  using Thread = g::GemmThread<Parts>;
  static constexpr bool kStandard = Config::standard_grid;

  LabelGemmLaunch(const Operands& op, Landing landing, bool check_messages)
      : op_(op),
        landing_(landing),
        check_messages_(check_messages),
        dots_(op, std::min(op.k / g::kSliceWidth, g::kMessageWords)),
        labels_(ref::standard_labelling(op.m, op.n)),
        xored_(size_t(op.k / g::kSliceWidth) * labels_.row_groups * labels_.col_groups, 0) {}

  // Every CTA of the launch: one per tile, or `persistent_ctas` walking them.
  void run(int persistent_ctas) {
    const int tiles_m = op_.m / g::kTileM, tiles_n = op_.n / g::kTileN;
    const int grid_x = kStandard ? persistent_ctas : tiles_m;
    const int grid_y = kStandard ? 1 : tiles_n;
    for (int by = 0; by < grid_y; ++by) {
      for (int bx = 0; bx < grid_x; ++bx) run_cta(bx, by, grid_x, tiles_m, tiles_n);
    }
  }

  const std::vector<uint32_t>& xored() const { return xored_; }
  const FoldCheck& check() const { return check_; }
  int tiles_of_busiest_cta() const { return busiest_; }

 private:
  // The CTA's 256 threads, their cp.async state and the tile they work on.
  struct Cta {
    SharedWindow window{uint32_t(Config::smem_bytes)};
    std::vector<Thread> threads;
    std::vector<AsyncCopies> copies;
    uint32_t* table = nullptr;
    int32_t* row_labels = nullptr;
    int32_t* col_labels = nullptr;
    g::TileCoord tile{};
  };

  // The schedule's steps, carried out by the instruction semantics, over
  // the tile's k-tiles of A (BM, BK, k) and B (BN, BK, k).
  template <class KTilesA, class KTilesB>
  struct Steps {
    LabelGemmLaunch& launch;
    Cta& cta;
    KTilesA gA;
    KTilesB gB;

    void load_stage(int k_tile, int stage) {
      for (int t = 0; t < g::kThreads; ++t) {
        Thread& me = cta.threads[t];
        issue(cta.copies[t], me.copy_source_a(gA)(_, _, _, k_tile),
              me.copy_dest_a()(_, _, _, stage));
        issue(cta.copies[t], me.copy_source_b(gB)(_, _, _, k_tile),
              me.copy_dest_b()(_, _, _, stage));
        cta.copies[t].commit();
      }
    }
    template <int pending>
    void wait_copies() {
      for (AsyncCopies& c : cta.copies) c.wait(pending);
    }
    void barrier() {}  // the threads run in lockstep
    void load_fragments(int stage, int k_step) {
      for (int warp = 0; warp < g::kThreads / 32; ++warp) {
        load_warp(
            warp, [&](Thread& me) { return me.load_source_a()(_, _, k_step, stage); },
            [&](Thread& me) { return me.load_dest_a()(_, _, k_step); });
        load_warp(
            warp, [&](Thread& me) { return me.load_source_b()(_, _, k_step, stage); },
            [&](Thread& me) { return me.load_dest_b()(_, _, k_step); });
      }
    }
    void multiply(int k_step) {
      for (int warp = 0; warp < g::kThreads / 32; ++warp) {
        Thread* lanes = &cta.threads[32 * warp];
        for (int mi = 0; mi < size<1>(lanes[0].frag_a); ++mi) {
          for (int ni = 0; ni < size<1>(lanes[0].frag_b); ++ni) {
            MmaFragments f;
            for (int l = 0; l < 32; ++l) {
              auto a = recast<uint32_t>(lanes[l].frag_a(_, mi, k_step));
              auto b = recast<uint32_t>(lanes[l].frag_b(_, ni, k_step));
              auto c = lanes[l].acc(_, mi, ni);
              static_assert(decltype(size(a))::value == 4 && decltype(size(b))::value == 2 &&
                                decltype(size(c))::value == 4,
                            "m16n8k32 takes 4 + 2 registers and accumulates 4");
              for (int i = 0; i < 4; ++i) f.a[l][i] = a(i), f.c[l][i] = c(i);
              for (int i = 0; i < 2; ++i) f.b[l][i] = b(i);
            }
            mma_m16n8k32_s8(f);
            for (int l = 0; l < 32; ++l) {
              auto c = lanes[l].acc(_, mi, ni);
              for (int i = 0; i < 4; ++i) c(i) = f.c[l][i];
            }
          }
        }
      }
    }
    void fold(int slice) {
      const int r0 = g::kTileM * cta.tile.row, c0 = g::kTileN * cta.tile.col;
      for (Thread& me : cta.threads) {
        const auto coords = me.acc_coords();
        for (int i = 0; i < size(me.acc); ++i) {
          const int r = get<0>(coords(i)), c = get<1>(coords(i));
          launch.check_.expect(me.acc(i), launch.dots_.at(slice, r0 + r, c0 + c), "gemm_g",
                               cta.tile.row, cta.tile.col, me.thread, slice, r, c);
        }
        if (launch.check_messages_) {
          g::fold_slice<kStandard>(me.acc, coords, me.thread, slice, cta.row_labels, cta.col_labels,
                                   cta.table);
        }
      }
    }

    template <class Src, class Dst>
    void issue(AsyncCopies& copies, const Src& src, const Dst& dst) {
      const auto s = pieces(src);
      const auto d = pieces(dst);
      static_assert(decltype(size<0>(s))::value == 16, "one 16-byte cp.async per piece");
      for (int i = 0; i < size<1>(s); ++i) copies.copy16(&s(0, i), cta.window.address(&d(0, i)));
    }
    // One ldmatrix per rest index: every lane gives its row's address, and
    // its registers are those CuTe's copy hands the instruction.
    template <class SourceOf, class DestOf>
    void load_warp(int warp, SourceOf source_of, DestOf dest_of) {
      Thread* lanes = &cta.threads[32 * warp];
      const auto first = pieces(source_of(lanes[0]));
      for (int i = 0; i < size<1>(first); ++i) {
        uint32_t rows[32], regs[32][4] = {};
        int num = 0;
        for (int l = 0; l < 32; ++l) {
          rows[l] = cta.window.address(&pieces(source_of(lanes[l]))(0, i));
          num = int(size(recast<uint32_t>(pieces(dest_of(lanes[l]))(_, i))));
        }
        ldmatrix(num, rows, cta.window, regs);
        for (int l = 0; l < 32; ++l) {
          auto dest = pieces(dest_of(lanes[l]));
          auto out = recast<uint32_t>(dest(_, i));
          for (int r = 0; r < num; ++r) out(r) = regs[l][r];
        }
      }
    }
  };

  void run_cta(int bx, int by, int grid_x, int tiles_m, int tiles_n) {
    Cta cta;
    cta.window.fill(0xA5);  // whatever a previous launch left
    int8_t* smem_a = cta.window.dynamic();
    int8_t* smem_b = smem_a + cosize(typename Config::SmemLayoutA{});
    cta.table = reinterpret_cast<uint32_t*>(smem_b + cosize(typename Config::SmemLayoutB{}));
    cta.row_labels = reinterpret_cast<int32_t*>(cta.table + g::kTableWords);
    cta.col_labels = cta.row_labels + g::kTileM;
    for (int t = 0; t < g::kThreads; ++t) {
      cta.threads.emplace_back(t, smem_a, smem_b);
      cta.copies.emplace_back(cta.window, landing_);
    }
    const auto mA =
        make_tensor(make_gmem_ptr(op_.a.data()), make_shape(op_.m, op_.k), g::row_stride(op_.k));
    const auto mB =
        make_tensor(make_gmem_ptr(op_.b.data()), make_shape(op_.n, op_.k), g::row_stride(op_.k));
    const g::CtaTiles walk = g::cta_tiles<kStandard>(bx, grid_x, tiles_m, tiles_n);
    int taken = 0;
    for (int t = walk.first; t < walk.end; t += walk.step, ++taken) {
      cta.tile = g::cta_tile<kStandard>(t, bx, by, tiles_m);
      const int tr = cta.tile.row, tc = cta.tile.col;
      // The kernel's labels: the standard labelling, which the label-driven
      // layout copies into shared memory, or the standard grid itself.
      const int32_t base_row = kStandard ? g::kSlotRows * tr : labels_.row_group[g::kTileM * tr];
      const int32_t base_col = kStandard ? g::kSlotCols * tc : labels_.col_group[g::kTileN * tc];
      for (int r = 0; r < g::kTileM && !kStandard; ++r) {
        cta.row_labels[r] = g::relative_label(labels_.row_group[g::kTileM * tr + r], base_row);
      }
      for (int c = 0; c < g::kTileN && !kStandard; ++c) {
        cta.col_labels[c] = g::relative_label(labels_.col_group[g::kTileN * tc + c], base_col);
      }
      std::fill(cta.table, cta.table + g::kTableWords, 0u);
      for (Thread& me : cta.threads) clear(me.acc);
      const auto gA = g::a_k_tiles(mA, typename Config::Tile{}, tr, tc);
      const auto gB = g::b_k_tiles(mB, typename Config::Tile{}, tr, tc);
      Steps<decltype(gA), decltype(gB)> steps{*this, cta, gA, gB};
      g::run_k_tiles(steps, int(size<3>(cta.threads[0].copy_source_a(gA))));
      if (!check_messages_) continue;
      for (int slot = 0; slot < g::kSlots; ++slot) {
        g::finish_slot<false, true>(slot, cta.table + slot * g::kMessageWords, base_row, base_col,
                                    op_.k / g::kSliceWidth, labels_.row_groups, labels_.col_groups,
                                    xored_.data(), nullptr, nullptr, nullptr);
      }
    }
    busiest_ = std::max(busiest_, taken);
  }

  const Operands& op_;
  Landing landing_;
  bool check_messages_;
  RunningDots dots_;
  ref::Labelling labels_;
  std::vector<uint32_t> xored_;
  FoldCheck check_;
  int busiest_ = 0;
};

struct Case {
  const char* name;
  int m, n, k;
  int persistent_ctas;  // sm120a's grid; ignored by the label-driven builds
};

struct Outcome {
  int64_t checked;  // accumulators compared at fold points
  int64_t faults;   // what the emulated hardware reported
  std::string first_faults;
  bool messages_match;  // the stored messages are the reference's
  int busiest;          // tiles of the CTA that took the most
};

template <class Config>
Outcome emulate(const Case& c, Landing landing, bool check_messages) {
  Faults::log().clear();
  const Operands op(c.m, c.n, c.k, uint32_t(c.m + c.n + c.k));
  LabelGemmLaunch<Config> launch(op, landing, check_messages);
  launch.run(c.persistent_ctas);
  bool match = true;
  if (check_messages) {
    const ref::Labelling labels = ref::standard_labelling(c.m, c.n);
    const auto messages = ref::cell_messages(op.a.data(), op.b.data(), c.m, c.n, c.k, labels);
    match = launch.xored() == ref::xored_planes(messages, c.k / g::kSliceWidth, labels);
  }
  return {launch.check().checked(), Faults::log().count(), Faults::log().first(), match,
          launch.tiles_of_busiest_cta()};
}

template <class Config>
void expect_exact(const Case& c, Landing landing, bool check_messages = true) {
  SCOPED_TRACE(::testing::Message()
               << c.name << " " << c.m << "x" << c.n << "x" << c.k
               << (landing == Landing::kAtIssue ? ", copies land at issue"
                                                : ", copies land at the wait"));
  const Outcome o = emulate<Config>(c, landing, check_messages);
  EXPECT_GT(o.checked, 0);
  EXPECT_EQ(o.faults, 0) << o.first_faults;
  EXPECT_TRUE(o.messages_match);
  if (Config::standard_grid) EXPECT_GT(o.busiest, 1) << "a CTA takes several tiles";
}

// 384 and 640 deep: six and ten k-tiles, so the three stages wrap around
// twice or more; the persistent grids give a CTA three or two tiles.
const Case kCases[] = {
    {"two tile rows, three columns", 256, 768, 384, 2},
    {"deep", 128, 512, 640, 1},
};

TEST(LabelGemmEmulation, LabelDrivenLayoutIsExact) {
  for (const Case& c : kCases) {
    for (Landing landing : {Landing::kAtIssue, Landing::kAtWait}) {
      expect_exact<g::LabelledGemm>(c, landing);
    }
  }
}

TEST(LabelGemmEmulation, StandardLayoutOnAPersistentGridIsExact) {
  for (const Case& c : kCases) {
    for (Landing landing : {Landing::kAtIssue, Landing::kAtWait}) {
      expect_exact<g::StandardGemm>(c, landing);
    }
  }
}

// (1, 8, 1): eight warps side by side along N. No build uses it and its row
// blocks are no fold groups, so only its accumulators are checked: it shows
// that the partitions and the emulation are not tied to the two layouts the
// builds use, so a change of layout is proved the same way.
using WideGemm = g::GemmConfig<Layout<Shape<_1, _8, _1>>, true>;

TEST(LabelGemmEmulation, AThirdWarpLayoutIsExact) {
  expect_exact<WideGemm>(kCases[0], Landing::kAtWait, false);
}

// A swizzle that moves 8-byte halves (Swizzle<2, 3, 3>) splits the 16-byte
// pieces that cp.async writes and ldmatrix reads: CuTe builds the kernel's
// partitions from it without complaint, the hardware would not.
struct SplitPieceGemm : g::StandardGemm {
  using SmemAtom =
      decltype(composition(Swizzle<2, 3, 3>{}, Layout<Shape<_8, _64>, Stride<_64, _1>>{}));
  using SmemLayoutA = decltype(tile_to_shape(SmemAtom{}, Shape<_128, _64, _3>{}));
  using SmemLayoutB = decltype(tile_to_shape(SmemAtom{}, Shape<_256, _64, _3>{}));
};

TEST(LabelGemmEmulation, ASwizzleThatSplitsPiecesIsCaught) {
  const Outcome o = emulate<SplitPieceGemm>(kCases[1], Landing::kAtWait, true);
  EXPECT_GT(o.faults, 0);
  EXPECT_FALSE(o.messages_match);
}

}  // namespace
}  // namespace quorl::emu
