// gemm_g's data path on the host: each CTA's 256 threads build the kernel's
// own partitions (gemm_partition.h) over an emulated shared window and run
// the kernel's tile schedule (gemm_schedule.h) and per-thread table steps
// (tile_table.h), with cp.async, ldmatrix and mma.sync carried out by their
// PTX semantics. The schedule is recorded once and replayed warp by warp:
// between two barriers the warps may run in any order, so each stretch is
// also replayed with one warp ahead of the others and one behind them. At
// every fold point each accumulator must hold the direct dot product of its
// element, and the messages must be the reference's.
#include <gtest/gtest.h>

#include <cute/tensor.hpp>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "../../cuda/gemm/gemm_config.h"
#include "../../cuda/gemm/gemm_partition.h"
#include "../../cuda/gemm/gemm_schedule.h"
#include "../../cuda/gemm/tile_table.h"
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

// One step of the schedule, the same for every thread.
struct Step {
  enum Kind { kLoad, kSkip, kWaitCopies, kBarrier, kFragments, kMultiply, kFold, kBegin, kFinish };
  Kind kind;
  int a = 0, b = 0, c = 0;  // load: tile, k-tile, stage; fragments: stage, k-step; ...
};

// The Steps interface of the kernel, recording.
struct Recorder {
  std::vector<Step> steps;
  void load_stage(int tile, int k_tile, int stage) { steps.push_back({Step::kLoad, tile, k_tile, stage}); }
  void skip_stage() { steps.push_back({Step::kSkip}); }
  template <int pending>
  void wait_copies() {
    steps.push_back({Step::kWaitCopies, pending});
  }
  void barrier() { steps.push_back({Step::kBarrier}); }
  void load_fragments(int stage, int k_step) { steps.push_back({Step::kFragments, stage, k_step}); }
  void multiply(int k_step) { steps.push_back({Step::kMultiply, k_step}); }
  void fold(int slice) { steps.push_back({Step::kFold, slice}); }
  void begin_tile(int tile) { steps.push_back({Step::kBegin, tile}); }
  void finish_tile(int tile) { steps.push_back({Step::kFinish, tile}); }
};

// The order of the warps between two barriers: all in step, warp 0 through
// the whole stretch before the others, or after them.
enum class Order { kLockstep, kFirstWarpAhead, kFirstWarpBehind };

// A way to break the recorded schedule, to show that the emulation notices.
using Mutation = std::function<void(std::vector<Step>&)>;

template <class Config>
class LabelGemmLaunch {
 public:
  using Form = typename Config::Form;
  using Parts = g::GemmPartsOf<Config>;
  using Thread = g::GemmThread<Parts>;
  using Storage = g::GemmStorageOf<Config>;
  static constexpr bool kStandard = Config::standard_grid;
  static constexpr int kWarps = g::kThreads / 32;

  LabelGemmLaunch(const Operands& op, Landing landing, Order order, bool check_messages,
                  Mutation mutate)
      : op_(op),
        landing_(landing),
        order_(order),
        check_messages_(check_messages),
        mutate_(std::move(mutate)),
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
  // The CTA's 256 threads, their cp.async state and their tiles.
  struct Cta {
    SharedWindow window{uint32_t(sizeof(Storage))};
    Storage& smem = *reinterpret_cast<Storage*>(window.dynamic());
    std::vector<Thread> threads;
    std::vector<AsyncCopies> copies;
    g::CtaTiles walk{};
    int bx = 0, by = 0, tiles_m = 0;
    // Per warp, as each thread keeps them in registers: the tile being
    // multiplied and its base labels.
    g::TileCoord tile[kWarps]{};
    g::TileBase base[kWarps]{};

    g::TileCoord tile_at(int n) const { return g::nth_tile<kStandard>(walk, n, bx, by, tiles_m); }
    int32_t* row_labels() {
      if constexpr (kStandard) return nullptr;
      else return smem.row_labels;
    }
    int32_t* col_labels() {
      if constexpr (kStandard) return nullptr;
      else return smem.col_labels;
    }
  };

  template <class TilesA, class TilesB>
  void run_cta(int bx, int by, int grid_x, int tiles_m, int tiles_n, const TilesA& gA,
               const TilesB& gB) {
    Cta cta;
    cta.window.fill(0xA5);  // whatever a previous launch left
    cta.walk = g::cta_tiles<kStandard>(bx, grid_x, tiles_m, tiles_n);
    cta.bx = bx, cta.by = by, cta.tiles_m = tiles_m;
    for (int t = 0; t < g::kThreads; ++t) {
      cta.threads.emplace_back(t, cta.smem.a.data(), cta.smem.b.data());
      cta.copies.emplace_back(cta.window, landing_);
    }
    Recorder schedule;
    g::run_tiles<Form::walk>(schedule, cta.walk.count(), int(size<3>(gA)));
    if (mutate_) mutate_(schedule.steps);

    // Replay stretch by stretch (a barrier ends one).
    std::vector<Step> stretch;
    auto replay = [&] {
      std::vector<int> lead, rest;
      for (int w = 0; w < kWarps; ++w) (w == 0 ? lead : rest).push_back(w);
      if (order_ == Order::kLockstep) {
        rest.insert(rest.begin(), lead.begin(), lead.end());
        lead.clear();
      }
      if (order_ == Order::kFirstWarpBehind) std::swap(lead, rest);
      for (const std::vector<int>* warps : {&lead, &rest}) {
        for (const Step& s : stretch) {
          for (int w : *warps) execute(cta, s, w, gA, gB);
        }
      }
      stretch.clear();
    };
    int taken = 0;
    for (const Step& s : schedule.steps) {
      if (s.kind == Step::kBarrier) {
        replay();
        continue;
      }
      taken += s.kind == Step::kBegin;
      stretch.push_back(s);
    }
    replay();
    busiest_ = std::max(busiest_, taken);
  }

  void run_cta(int bx, int by, int grid_x, int tiles_m, int tiles_n) {
    const auto mA =
        make_tensor(make_gmem_ptr(op_.a.data()), make_shape(op_.m, op_.k), g::row_stride(op_.k));
    const auto mB =
        make_tensor(make_gmem_ptr(op_.b.data()), make_shape(op_.n, op_.k), g::row_stride(op_.k));
    run_cta(bx, by, grid_x, tiles_m, tiles_n, g::a_tiles(mA, typename Config::Tile{}),
            g::b_tiles(mB, typename Config::Tile{}));
  }

  // Step `s` for the 32 threads of warp `w`.
  template <class TilesA, class TilesB>
  void execute(Cta& cta, const Step& s, int w, const TilesA& gA, const TilesB& gB) {
    Thread* lanes = &cta.threads[32 * w];
    switch (s.kind) {
      case Step::kLoad: {
        const g::TileCoord tile = cta.tile_at(s.a);
        for (int l = 0; l < 32; ++l) {
          Thread& me = lanes[l];
          AsyncCopies& copies = cta.copies[me.thread];
          issue(cta, copies, me.copy_source_a(gA)(_, _, _, tile.row, s.b),
                me.copy_dest_a()(_, _, _, s.c));
          issue(cta, copies, me.copy_source_b(gB)(_, _, _, tile.col, s.b),
                me.copy_dest_b()(_, _, _, s.c));
          copies.commit();
        }
        break;
      }
      case Step::kSkip:
        for (int l = 0; l < 32; ++l) cta.copies[32 * w + l].commit();
        break;
      case Step::kWaitCopies:
        for (int l = 0; l < 32; ++l) cta.copies[32 * w + l].wait(s.a);
        break;
      case Step::kFragments:
        load_warp(
            cta, lanes, [&](Thread& me) { return me.load_source_a()(_, _, s.b, s.a); },
            [&](Thread& me) { return me.load_dest_a()(_, _, s.b); });
        load_warp(
            cta, lanes, [&](Thread& me) { return me.load_source_b()(_, _, s.b, s.a); },
            [&](Thread& me) { return me.load_dest_b()(_, _, s.b); });
        break;
      case Step::kMultiply:
        multiply(lanes, s.a);
        break;
      case Step::kFold:
        for (int l = 0; l < 32; ++l) fold(cta, lanes[l], s.a);
        break;
      case Step::kBegin: {
        // The kernel's begin_tile, thread by thread; every warp finds the
        // same tile and base.
        cta.tile[w] = cta.tile_at(s.a);
        cta.base[w] = g::tile_base<Form>(cta.tile[w], labels_.row_group.data(),
                                         labels_.col_group.data());
        for (int l = 0; l < 32; ++l) {
          g::start_tile_table<Form>(32 * w + l, cta.tile[w], cta.base[w], labels_.row_group.data(),
                                    labels_.col_group.data(), cta.smem.table, cta.row_labels(),
                                    cta.col_labels());
          clear(lanes[l].acc);
        }
        break;
      }
      case Step::kFinish: {
        const g::GemmEpilogue out{xored_.data(), nullptr, nullptr, nullptr,
                                  op_.k / g::kSliceWidth, labels_.row_groups, labels_.col_groups};
        for (int l = 0; l < 32 && check_messages_; ++l) {
          g::finish_tile_slots<Form, false, true>(32 * w + l, cta.smem.table, cta.base[w], out);
        }
        break;
      }
      case Step::kBarrier:
        break;
    }
  }

  void multiply(Thread* lanes, int k_step) {
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

  void fold(Cta& cta, Thread& me, int slice) {
    const g::TileCoord tile = cta.tile[me.thread / 32];
    const int r0 = g::kTileM * tile.row, c0 = g::kTileN * tile.col;
    const auto coords = me.acc_coords();
    for (int i = 0; i < size(me.acc); ++i) {
      const int r = get<0>(coords(i)), c = get<1>(coords(i));
      check_.expect(me.acc(i), dots_.at(slice, r0 + r, c0 + c), "gemm_g", tile.row, tile.col,
                    me.thread, slice, r, c);
    }
    if (check_messages_) {
      g::fold_slice<Form>(me.acc, coords, me.thread, slice, cta.row_labels(), cta.col_labels(),
                          cta.smem.table);
    }
  }

  template <class Src, class Dst>
  void issue(Cta& cta, AsyncCopies& copies, const Src& src, const Dst& dst) {
    const auto s = pieces(src);
    const auto d = pieces(dst);
    static_assert(decltype(size<0>(s))::value == 16, "one 16-byte cp.async per piece");
    for (int i = 0; i < size<1>(s); ++i) copies.copy16(&s(0, i), cta.window.address(&d(0, i)));
  }
  // One ldmatrix per rest index: every lane gives its row's address, and
  // its registers are those CuTe's copy hands the instruction.
  template <class SourceOf, class DestOf>
  void load_warp(Cta& cta, Thread* lanes, SourceOf source_of, DestOf dest_of) {
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

  const Operands& op_;
  Landing landing_;
  Order order_;
  bool check_messages_;
  Mutation mutate_;
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
Outcome emulate(const Case& c, Landing landing, Order order, bool check_messages = true,
                Mutation mutate = {}) {
  Faults::log().clear();
  const Operands op(c.m, c.n, c.k, uint32_t(c.m + c.n + c.k));
  LabelGemmLaunch<Config> launch(op, landing, order, check_messages, std::move(mutate));
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

const char* landing_name(Landing l) {
  return l == Landing::kAtIssue ? "copies land at issue" : "copies land at the wait";
}
const char* order_name(Order o) {
  return o == Order::kLockstep         ? "warps in step"
         : o == Order::kFirstWarpAhead ? "first warp ahead"
                                       : "first warp behind";
}

// Every landing and every warp order.
template <class Config>
void expect_exact(const Case& c, bool check_messages = true) {
  for (Landing landing : {Landing::kAtIssue, Landing::kAtWait}) {
    for (Order order : {Order::kLockstep, Order::kFirstWarpAhead, Order::kFirstWarpBehind}) {
      SCOPED_TRACE(::testing::Message() << c.name << " " << c.m << "x" << c.n << "x" << c.k << ", "
                                        << landing_name(landing) << ", " << order_name(order));
      const Outcome o = emulate<Config>(c, landing, order, check_messages);
      if (c.k >= g::kSliceWidth) EXPECT_GT(o.checked, 0) << "accumulators checked at folds";
      EXPECT_EQ(o.faults, 0) << o.first_faults;
      EXPECT_TRUE(o.messages_match);
      if (Config::standard_grid) EXPECT_GT(o.busiest, 1) << "a CTA takes several tiles";
    }
  }
}

// 320 and 640 deep: five and ten k-tiles, so the three stages wrap around
// more than once a tile, and the last k-tile of the first ends inside a
// slice. The persistent grids give a CTA three or two tiles, whose k-tile
// streams start on stages 0, 2, 1 and 0, 1.
const Case kCases[] = {
    {"two tile rows, three columns", 256, 768, 320, 2},
    {"deep", 128, 512, 640, 1},
};

TEST(LabelGemmEmulation, LabelDrivenLayoutIsExact) {
  for (const Case& c : kCases) expect_exact<g::LabelledGemm>(c);
}

TEST(LabelGemmEmulation, StandardLayoutOnAPersistentGridIsExact) {
  for (const Case& c : kCases) expect_exact<g::StandardGemm>(c);
}

// One k-tile (k = 64): the stream's next position is already the next
// tile's only k-tile. No slice completes, so only the (zero) messages and
// the absence of faults are checked.
TEST(LabelGemmEmulation, SingleKTileTilesAreExact) {
  expect_exact<g::StandardGemm>({"one k-tile", 256, 512, 64, 1});
  expect_exact<g::LabelledGemm>({"one k-tile", 256, 512, 64, 1});
}

// The old forms the benchmark times against the new ones compute the same
// messages: the slot-major table, and tiles that drain their pipeline.
TEST(LabelGemmEmulation, OldFormsAreExact) {
  expect_exact<g::StandardGemmOf<g::TableOrder::kSlotMajor, g::TileWalk::kDrained>>(kCases[0]);
  expect_exact<g::LabelledGemmOf<g::TableOrder::kSlotMajor, g::TileWalk::kDrained>>(kCases[1]);
}

// (1, 8, 1): eight warps side by side along N. No build uses it and its row
// blocks are no fold groups, so only its accumulators are checked: it shows
// that the partitions and the emulation are not tied to the two layouts the
// builds use, so a change of layout is proved the same way.
using WideGemm = g::GemmConfig<Layout<Shape<_1, _8, _1>>, g::GemmForm<true>>;

TEST(LabelGemmEmulation, AThirdWarpLayoutIsExact) {
  expect_exact<WideGemm>(kCases[0], false);
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
  const Outcome o = emulate<SplitPieceGemm>(kCases[1], Landing::kAtWait, Order::kLockstep);
  EXPECT_GT(o.faults, 0);
  EXPECT_FALSE(o.messages_match);
}

// Where the walks put the next tile's first copies: streamed, both are
// issued before the current tile's epilogue (they land while it hashes);
// drained, after it. Either way every stage is filled exactly once per
// k-tile, plus the two look-ahead groups (empty past the last k-tile).
TEST(LabelGemmSchedule, StreamedWalkCopiesTheNextTileBeforeTheEpilogue) {
  const int tiles = 3, k_tiles = 5;
  for (g::TileWalk walk : {g::TileWalk::kStreamed, g::TileWalk::kDrained}) {
    Recorder r;
    if (walk == g::TileWalk::kStreamed) {
      g::run_tiles<g::TileWalk::kStreamed>(r, tiles, k_tiles);
    } else {
      g::run_tiles<g::TileWalk::kDrained>(r, tiles, k_tiles);
    }
    int finished = 0, groups = 0, empty = 0, early = 0;
    for (const Step& s : r.steps) {
      if (s.kind == Step::kFinish) ++finished;
      if (s.kind == Step::kLoad) {
        ++groups;
        early += s.a == finished + 1 && s.b < 2;  // the next tile, before this epilogue
      }
      if (s.kind == Step::kSkip) ++groups, ++empty;
    }
    SCOPED_TRACE(walk == g::TileWalk::kStreamed ? "streamed" : "drained");
    EXPECT_EQ(finished, tiles);
    if (walk == g::TileWalk::kStreamed) {
      EXPECT_EQ(early, 2 * (tiles - 1)) << "k-tiles 0 and 1 of every next tile before its epilogue";
      EXPECT_EQ(groups, tiles * k_tiles + 2);
      EXPECT_EQ(empty, 2);
    } else {
      EXPECT_EQ(early, 0);
      EXPECT_EQ(groups, tiles * (k_tiles + 2)) << "the last k-tile loaded twice more a tile";
      EXPECT_EQ(empty, 0);
    }
  }
}

// Broken schedules the emulation must reject, each on a persistent grid
// whose CTAs take several tiles.
struct Breakage {
  const char* what;
  Mutation mutate;
  Landing landing;
  Order order;
};

// The first copy into each tile after the first goes to the stage the
// current k-tile is being read from.
void copy_next_tile_into_the_live_stage(std::vector<Step>& steps) {
  int tile = 0, reading = 0;
  for (Step& s : steps) {
    if (s.kind == Step::kBegin) tile = s.a;
    if (s.kind == Step::kFragments) reading = s.a;
    if (s.kind == Step::kLoad && s.a > tile && s.b == 0) s.c = reading;
  }
}

// Drops the barriers that come right before a step of kind `kind`.
Mutation drop_barrier_before(Step::Kind kind) {
  return [kind](std::vector<Step>& steps) {
    std::vector<Step> kept;
    for (size_t i = 0; i < steps.size(); ++i) {
      if (steps[i].kind == Step::kBarrier && i + 1 < steps.size() && steps[i + 1].kind == kind) continue;
      kept.push_back(steps[i]);
    }
    steps = kept;
  };
}

TEST(LabelGemmEmulation, BrokenTileBoundariesAreCaught) {
  const Breakage breakages[] = {
      {"the next tile copied into the stage being read", copy_next_tile_into_the_live_stage,
       Landing::kAtIssue, Order::kLockstep},
      {"no barrier before a k-tile is read", drop_barrier_before(Step::kFragments),
       Landing::kAtIssue, Order::kFirstWarpAhead},
      {"no barrier before the epilogue", drop_barrier_before(Step::kFinish), Landing::kAtWait,
       Order::kFirstWarpAhead},
  };
  for (const Breakage& b : breakages) {
    SCOPED_TRACE(b.what);
    const Outcome o = emulate<g::StandardGemm>(kCases[1], b.landing, b.order, true, b.mutate);
    EXPECT_TRUE(o.faults > 0 || !o.messages_match) << "not caught";
  }
}

}  // namespace
}  // namespace quorl::emu
