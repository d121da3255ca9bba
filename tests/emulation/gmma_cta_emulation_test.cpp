// gemm_gmma_cta_g's data path on the host: each CTA's 384 threads copy
// through the kernel's own copy plan (copy_stage) and build the kernel's
// warp-group MMA descriptors (GmmaThread) over an emulated shared window, and
// the kernel's k-tile schedule runs with cp.async and wgmma carried out by
// their PTX semantics. At every fold point each accumulator must hold the
// direct dot product of its element; the stored words must be the standard
// cell messages.
#include <gtest/gtest.h>

#include <cute/tensor.hpp>

#include <algorithm>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "../../cuda/gemm/hopper/cell_fold.h"
#include "../../cuda/gemm/hopper/engine_config.h"
#include "../../cuda/gemm/hopper/engine_partition.h"
#include "../../cuda/gemm/hopper/gmma_cta_schedule.h"
#include "operands.h"
#include "ptx_semantics.h"
#include "warpgroup_mmas.h"
#include "quorl_ref/engine_messages.hpp"
#include "quorl_ref/grid.hpp"

namespace quorl::emu {
namespace {

using namespace cute;
namespace hop = hopper;

// When the asynchronous units touch shared memory: copies land at issue and
// the MMAs read at their wait (exposes a stage refilled while still being
// read), or copies land at their wait and MMAs read at issue (exposes a
// stage read before it is filled).
enum class Timing { kWritesEarlyReadsLate, kWritesLateReadsEarly };

template <class Config>
class GmmaCtaLaunch {
 public:
  using Thread = hop::GmmaThread<typename Config::TiledMma, typename Config::SmemLayoutA,
                                 typename Config::SmemLayoutB, Config::kRows>;
  static constexpr int kGroups = Config::kThreads / 128;

  GmmaCtaLaunch(const Operands& op, Timing timing)
      : op_(op),
        timing_(timing),
        dots_(op, std::min(op.k / 128, hop::kMessageWords)),
        rows_(ref::standard_row_groups(op.m)),
        cols_(ref::standard_col_groups(op.n)),
        row_groups_(op.m / 2),
        col_groups_(op.n / 64),
        k_blocks_(op.k / 128),
        xored_(size_t(k_blocks_) * row_groups_ * col_groups_, 0) {}

  void run() {
    for (int tc = 0; tc < op_.n / Config::kCols; ++tc) {
      for (int tr = 0; tr < (op_.m + Config::kRows - 1) / Config::kRows; ++tr) run_cta(tr, tc);
    }
  }

  // The stored words as messages (zero past the stored slices).
  std::vector<ref::Block> messages() const {
    std::vector<ref::Block> out(size_t(row_groups_) * col_groups_, ref::Block{});
    for (int s = 0; s < std::min(k_blocks_, hop::kMessageWords); ++s) {
      for (size_t cell = 0; cell < out.size(); ++cell) out[cell][s] = xored_[s * out.size() + cell];
    }
    return out;
  }
  const FoldCheck& check() const { return check_; }

 private:
  struct Cta {
    SharedWindow window{uint32_t(Config::kSmemBytes)};
    typename hop::GmmaCtaConfig::SharedStorage& smem =
        *reinterpret_cast<typename hop::GmmaCtaConfig::SharedStorage*>(window.dynamic());
    std::vector<Thread> threads;
    std::vector<AsyncCopies> copies;
    std::vector<WarpGroupMmas<Thread>> mmas;
    int tr = 0, tc = 0;
  };

  struct Steps {
    GmmaCtaLaunch& launch;
    Cta& cta;

    void load_k_tile(int ktile, int stage) {
      const Operands& op = launch.op_;
      int8_t* stages_a = cta.smem.a.data();
      int8_t* stages_b = cta.smem.b.data();
      for (int t = 0; t < Config::kThreads; ++t) {
        AsyncCopies& copies = cta.copies[t];
        auto into = [&](const int8_t* matrix, int8_t* stage_base) {
          return [&copies, &cta = cta, matrix, stage_base](int64_t source, int dest, bool inside) {
            copies.copy16(matrix + source, cta.window.address(stage_base + dest), !inside);
          };
        };
        hop::copy_stage<Config::kRows>(t, op.k, Config::kRows * cta.tr, op.m, ktile,
                                       into(op.a.data(), stages_a + stage * Config::kStageBytesA));
        hop::copy_stage<Config::kCols>(t, op.k, Config::kCols * cta.tc, op.n, ktile,
                                       into(op.b.data(), stages_b + stage * Config::kStageBytesB));
        copies.commit();
      }
    }
    void publish_copies() {
      for (AsyncCopies& c : cta.copies) c.wait(0);
    }
    void multiply(int stage) {
      for (int group = 0; group < kGroups; ++group) {
        Thread* threads = &cta.threads[128 * group];
        for (int kb = 0; kb < size<2>(threads[0].frag_a); ++kb) {
          const auto [a, b] = warp_group_descriptors(threads, kb, stage);
          cta.mmas[group].issue(a, b);
        }
        cta.mmas[group].commit();
      }
    }
    template <int pending>
    void wait_mma() {
      for (auto& m : cta.mmas) m.wait(pending);
    }
    void barrier() {}  // the threads run in lockstep
    void fold(int s) {
      const int first_row = Config::kRows * cta.tr, first_col = Config::kCols * cta.tc;
      for (Thread& me : cta.threads) {
        const auto coords = me.acc_coords();
        for (int i = 0; i < 128; ++i) {
          const int r = get<0>(coords(i)), c = get<1>(coords(i));
          launch.check_.expect(me.accum(i), launch.dots_.at(s, first_row + r, first_col + c),
                               "gemm_gmma_cta_g", cta.tr, cta.tc, me.thread, s, r, c);
        }
        // The store flavour, as the kernel does it.
        const int frag_row = hop::fragment_row(me.thread);
        const int R = launch.rows_[first_row] + hop::cell_row_offset(frag_row);
        const int C = launch.cols_[first_col] + hop::cell_col_offset(me.thread);
        const int slices = std::min(launch.k_blocks_, hop::kMessageWords);
        if (hop::owns_cell(first_row, frag_row, launch.op_.m,
                           hop::grid_index(R, C, launch.row_groups_, launch.col_groups_)) &&
            s < slices) {
          launch.xored_[hop::xored_entry(s, R, C, launch.row_groups_, launch.col_groups_)] =
              hop::fold_slice(me.accum);
        }
      }
    }
  };

  void run_cta(int tr, int tc) {
    Cta cta;
    cta.window.fill(0xA5);
    cta.tr = tr;
    cta.tc = tc;
    int8_t* stages_a = cta.smem.a.data();
    int8_t* stages_b = cta.smem.b.data();
    const bool reads_early = timing_ == Timing::kWritesLateReadsEarly;
    const Landing landing = reads_early ? Landing::kAtWait : Landing::kAtIssue;
    for (int t = 0; t < Config::kThreads; ++t) {
      cta.threads.emplace_back(t, stages_a, stages_b);
      cta.copies.emplace_back(cta.window, landing);
    }
    for (int g = 0; g < kGroups; ++g)
      cta.mmas.emplace_back(cta.window, &cta.threads[128 * g], reads_early);
    for (Thread& me : cta.threads) clear(me.accum);
    Steps steps{*this, cta};
    hop::run_gmma_cta_k_tiles(steps, (op_.k + Config::kDepth - 1) / Config::kDepth);
  }

  const Operands& op_;
  Timing timing_;
  RunningDots dots_;
  std::vector<int32_t> rows_, cols_;
  int row_groups_, col_groups_, k_blocks_;
  std::vector<uint32_t> xored_;
  FoldCheck check_;
};

struct Outcome {
  int64_t checked, faults;
  std::string first_faults;
  bool messages_match;
};

template <class Config>
Outcome emulate(int m, int n, int k, Timing timing) {
  Faults::log().clear();
  const Operands op(m, n, k, uint32_t(7 * m + n + k));
  GmmaCtaLaunch<Config> launch(op, timing);
  launch.run();
  const bool match =
      launch.messages() == ref::standard_cell_messages(op.a.data(), op.b.data(), m, n, k);
  return {launch.check().checked(), Faults::log().count(), Faults::log().first(), match};
}

// 256 rows: a whole 192-row tile and one hanging 128 rows past m (zero
// filled, owning no cell); 384 deep: six k-tiles, the two stages wrap three
// times; two tile columns.
TEST(GmmaCtaEmulation, ThreeWarpGroupsAreExact) {
  for (Timing timing : {Timing::kWritesEarlyReadsLate, Timing::kWritesLateReadsEarly}) {
    SCOPED_TRACE(timing == Timing::kWritesEarlyReadsLate ? "copies early, MMA reads late"
                                                         : "copies late, MMA reads early");
    const Outcome o = emulate<hop::GmmaCtaConfig>(256, 512, 384, timing);
    EXPECT_GT(o.checked, 0);
    EXPECT_EQ(o.faults, 0) << o.first_faults;
    EXPECT_TRUE(o.messages_match);
  }
}

// The copy plan writes Swizzle<2, 4, 3>, the 64-byte swizzle; stages
// declared with the 32-byte swizzle make the descriptors read the pieces in
// other places. CuTe accepts the layout; the data path must not.
struct ThirtyTwoByteSwizzle : hop::GmmaCtaConfig {
  using SmemLayoutA = decltype(tile_to_shape(GMMA::Layout_K_SW32_Atom<int8_t>{},
                                             Shape<Int<kRows>, Int<kDepth>, Int<kStages>>{}));
  using SmemLayoutB = decltype(tile_to_shape(GMMA::Layout_K_SW32_Atom<int8_t>{},
                                             Shape<Int<kCols>, Int<kDepth>, Int<kStages>>{}));
};

TEST(GmmaCtaEmulation, StagesOfAnotherSwizzleAreCaught) {
  const Outcome o = emulate<ThirtyTwoByteSwizzle>(192, 256, 128, Timing::kWritesLateReadsEarly);
  EXPECT_GT(o.faults, 0);
  EXPECT_FALSE(o.messages_match);
}

}  // namespace
}  // namespace quorl::emu
