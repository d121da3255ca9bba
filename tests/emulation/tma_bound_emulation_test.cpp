// gemm_hopper_tma_bound_g's data path on the host. The kernel's ring
// schedule (tma_ring_schedule.h) is run for the producer and for each
// consumer warp group of a CTA and the steps recorded; the recordings are
// then replayed against emulated mbarriers, TMA tile loads (the descriptor
// parameters the launcher checks, at the coordinates and stages of the
// kernel's TMA partitions) and asynchronous wgmma (the kernel's own
// descriptors, reading shared memory at their issue or at their wait), the
// producer and the consumers taking turns wherever the barriers let them.
// At every fold point each accumulator must hold the direct dot product of
// its element; the messages must be the reference's.
#include <gtest/gtest.h>

#include <cute/tensor.hpp>

#include <algorithm>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "../../cuda/gemm/hopper/cell_fold.h"
#include "../../cuda/gemm/hopper/engine_config.h"
#include "../../cuda/gemm/hopper/engine_partition.h"
#include "../../cuda/gemm/hopper/tma_copy.h"
#include "../../cuda/gemm/hopper/tma_ring_schedule.h"
#include "operands.h"
#include "ptx_semantics.h"
#include "quorl_ref/engine_messages.hpp"
#include "quorl_ref/grid.hpp"
#include "warpgroup_mmas.h"

namespace quorl::emu {
namespace {

using namespace cute;
namespace hop = hopper;
using Config = hop::TmaBoundConfig;
using gemm::TileWalk;

// One step of a recorded schedule.
struct Step {
  enum Kind {
    kWaitEmpty, kLoad, kLastTile, kBeginTile, kWaitFull, kIssue, kWaitMma, kRelease, kFold, kFinishTile
  };
  Kind kind;
  int stage = 0;
  uint32_t parity = 0;
  hop::TileCoord tile{};  // of a begin or finish; of a load: the rows of A's and B's boxes
  int index = 0;          // k-tile of a load, slice of a fold
};

struct ProducerRecorder {
  std::vector<Step> steps;
  void wait_empty(int stage, uint32_t parity) {
    steps.push_back({Step::kWaitEmpty, stage, parity});
  }
  void load(int stage, int a_box, int b_box, int ktile) {
    steps.push_back({Step::kLoad, stage, 0, {a_box, b_box}, ktile});
  }
  void begin_last_tile() { steps.push_back({Step::kLastTile}); }
};

struct ConsumerRecorder {
  std::vector<Step> steps;
  void begin_tile(hop::TileCoord tile) { steps.push_back({Step::kBeginTile, 0, 0, tile}); }
  void wait_full(int stage, uint32_t parity) { steps.push_back({Step::kWaitFull, stage, parity}); }
  void issue_mma(int stage) { steps.push_back({Step::kIssue, stage}); }
  void wait_mma() { steps.push_back({Step::kWaitMma}); }
  void release(int stage) { steps.push_back({Step::kRelease, stage}); }
  void fold(int slice) { steps.push_back({Step::kFold, 0, 0, {}, slice}); }
  void finish_tile(hop::TileCoord tile) { steps.push_back({Step::kFinishTile, 0, 0, tile}); }
};

// Who moves first when both could: the producer running ahead with every
// TMA landing at once and every MMA reading its stage only at its wait
// (exposes a stage refilled before its consumers are done), or the
// consumers first with every TMA landing only when nothing else can move
// and every MMA reading at its issue (exposes a stage read before its bytes
// arrived).
enum class Turns { kProducerAheadLoadsAtOnce, kConsumersFirstLoadsLate };

// A way to break the recorded consumer schedule, to show that the emulation
// notices.
using Mutation = std::function<void(std::vector<Step>&)>;

class TmaBoundLaunch {
 public:
  using Thread =
      hop::GmmaThread<Config::TiledMma, Config::SmemLayoutA, Config::SmemLayoutB, Config::kRows>;

  TmaBoundLaunch(const Operands& op, Turns turns, TileWalk walk, uint32_t tma_swizzle_bytes,
                 Mutation mutate)
      : op_(op),
        turns_(turns),
        walk_(walk),
        mutate_(std::move(mutate)),
        swizzle_(tma_swizzle_bytes),
        dots_(op, Config::kKTiles),
        rows_(ref::standard_row_groups(op.m)),
        cols_(ref::standard_col_groups(op.n)),
        row_groups_(op.m / 2),
        col_groups_(op.n / 64),
        messages_(size_t(row_groups_) * col_groups_, ref::Block{}),
        written_(messages_.size(), 0) {}

  void run(int grid) {
    for (int block = 0; block < grid; ++block) run_cta(block, grid);
  }

  const std::vector<ref::Block>& messages() const { return messages_; }
  const std::vector<int>& written() const { return written_; }
  const FoldCheck& check() const { return check_; }
  int busiest() const { return busiest_; }
  // Whether some warp group started a tile's MMAs before it hashed the tile
  // before it.
  bool overlapped_a_tile_boundary() const { return overlapped_; }

 private:
  static constexpr int kConsumerGroups = Config::kConsumerThreads / 128;

  struct Landing {
    hop::TmaParams map;
    int32_t c0, c1;
    uint32_t dst;
    int stage;
  };

  void run_cta(int block, int grid) {
    SharedWindow window(uint32_t(sizeof(Config::SharedStorage)));
    window.fill(0xA5);
    auto& smem = *reinterpret_cast<Config::SharedStorage*>(window.dynamic());
    int8_t* ring_a = smem.a.data();
    int8_t* ring_b = smem.b.data();
    std::vector<Thread> threads;
    for (int t = 0; t < Config::kConsumerThreads; ++t) threads.emplace_back(t, ring_a, ring_b);
    const bool reads_early = turns_ == Turns::kConsumersFirstLoadsLate;
    std::vector<WarpGroupMmas<Thread>> mmas;
    for (int g = 0; g < kConsumerGroups; ++g) mmas.emplace_back(window, &threads[128 * g], reads_early);

    // The launcher's TMA copies and the parameters it checked; the
    // producer's partitions of them.
    auto tma_a = hop::build_stage_tma<Config::StageLayoutA>(op_.a.data(), op_.m, op_.k);
    auto tma_b = hop::build_stage_tma<Config::StageLayoutB>(op_.b.data(), op_.n, op_.k);
    hop::TmaParams map_a =
        hop::stage_tma_params_of<Config::StageLayoutA>(op_.a.data(), op_.m, op_.k);
    hop::TmaParams map_b =
        hop::stage_tma_params_of<Config::StageLayoutB>(op_.b.data(), op_.n, op_.k);
    map_a.swizzle_bytes = map_b.swizzle_bytes = swizzle_;
    auto sA = make_tensor(make_smem_ptr(ring_a), Config::SmemLayoutA{});
    auto sB = make_tensor(make_smem_ptr(ring_b), Config::SmemLayoutB{});
    auto [boxes_a, stages_a] =
        hop::tma_stage_partition<Config::kRows, Config::kDepth, Config::kKTiles>(
            tma_a, hop::operand_layout(op_.m, op_.k), sA);
    auto [boxes_b, stages_b] =
        hop::tma_stage_partition<Config::kCols, Config::kDepth, Config::kKTiles>(
            tma_b, hop::operand_layout(op_.n, op_.k), sB);

    // Record the schedule of every role.
    const int tiles_m = (op_.m + Config::kRows - 1) / Config::kRows;
    const int tiles = tiles_m * ((op_.n + Config::kCols - 1) / Config::kCols);
    ProducerRecorder producer;
    hop::produce_tiles(producer, block, grid, tiles_m, tiles);
    std::vector<ConsumerRecorder> consumers(kConsumerGroups);
    for (ConsumerRecorder& c : consumers) {
      if (walk_ == TileWalk::kStreamed) {
        hop::consume_tiles<TileWalk::kStreamed>(c, block, grid, tiles_m, tiles);
      } else {
        hop::consume_tiles<TileWalk::kDrained>(c, block, grid, tiles_m, tiles);
      }
      if (mutate_) mutate_(c.steps);
    }
    overlapped_ |= issues_before_finishing(consumers[0].steps);

    Mbarrier full[Config::kStages], empty[Config::kStages];
    for (int s = 0; s < Config::kStages; ++s) {
      full[s].init(Config::kFullArrivals);
      empty[s].init(Config::kEmptyArrivals);
    }
    std::deque<Landing> in_flight;
    auto land = [&](const Landing& l) {
      full[l.stage].complete_tx(tma_load_2d(l.map, l.c0, l.c1, l.dst, window));
    };
    // One TMA instruction per operand and stage, covering its whole box.
    auto issue = [&](const hop::TmaParams& map, const auto& box, const auto& stage_tensor,
                     int stage) {
      expect_hw(int(size(stage_tensor)) == int(map.box[0] * map.box[1]),
                "a stage that one TMA box does not fill");
      const auto coord = box.data().coord_;
      Landing l{map, int32_t(get<0>(coord)), int32_t(get<1>(coord)),
                window.address(raw_pointer_cast(stage_tensor.data())), stage};
      if (turns_ == Turns::kProducerAheadLoadsAtOnce) {
        land(l);
      } else {
        in_flight.push_back(l);
      }
    };

    // Replay, one step at a time: a role whose barrier wait fails stays put.
    size_t next_producer = 0;
    std::vector<size_t> next_consumer(kConsumerGroups, 0);
    std::vector<std::array<uint32_t, hop::kMessageWords>> words(threads.size());
    std::vector<hop::TileCoord> tile_of(kConsumerGroups);  // the tile a warp group is on
    int taken = 0;
    auto producer_step = [&] {
      if (next_producer == producer.steps.size()) return false;
      const Step& s = producer.steps[next_producer];
      if (s.kind == Step::kWaitEmpty) {
        if (!empty[s.stage].try_wait_parity(s.parity)) return false;
      } else if (s.kind == Step::kLoad) {  // arm the full barrier, then the two TMA loads
        full[s.stage].expect_tx(Config::kStageBytes);
        full[s.stage].arrive();
        issue(map_a, boxes_a(_, s.tile.row, s.index), stages_a(_, s.stage), s.stage);
        issue(map_b, boxes_b(_, s.tile.col, s.index), stages_b(_, s.stage), s.stage);
      }
      ++next_producer;
      return true;
    };
    auto consumer_step = [&](int group) {
      const std::vector<Step>& steps = consumers[group].steps;
      size_t& next = next_consumer[group];
      if (next == steps.size()) return false;
      Thread* mine = &threads[128 * group];
      const Step& s = steps[next];
      switch (s.kind) {
        case Step::kWaitFull:
          if (!full[s.stage].try_wait_parity(s.parity)) return false;
          break;
        case Step::kBeginTile:
          tile_of[group] = s.tile;
          for (int t = 0; t < 128; ++t) clear(mine[t].accum);
          if (group == 0) ++taken;
          break;
        case Step::kIssue:
          for (int kb = 0; kb < size<2>(mine[0].frag_a); ++kb) {
            const auto [a, b] = warp_group_descriptors(mine, kb, s.stage);
            mmas[group].issue(a, b);
          }
          mmas[group].commit();
          break;
        case Step::kWaitMma:
          mmas[group].wait(0);
          break;
        case Step::kRelease:
          empty[s.stage].arrive(128);
          break;
        case Step::kFold:
          fold(mine, tile_of[group], s.index, words.data() + 128 * group);
          break;
        case Step::kFinishTile:
          finish(mine, s.tile, words.data() + 128 * group);
          break;
        default:
          break;
      }
      ++next;
      return true;
    };
    const bool producer_ahead = turns_ == Turns::kProducerAheadLoadsAtOnce;
    for (int turn = 0;; ++turn) {
      bool moved = producer_ahead && producer_step();
      for (int i = 0; i < kConsumerGroups && !moved; ++i)
        moved = consumer_step((turn + i) % kConsumerGroups);
      if (!moved && !producer_ahead) moved = producer_step();
      if (!moved && !in_flight.empty()) {
        land(in_flight.front());
        in_flight.pop_front();
        moved = true;
      }
      if (!moved) break;
    }
    bool done = next_producer == producer.steps.size();
    for (int g = 0; g < kConsumerGroups; ++g) done &= next_consumer[g] == consumers[g].steps.size();
    expect_hw(done, "the ring hangs: a role waits on a barrier phase that never completes");
    for (int g = 0; g < kConsumerGroups; ++g) {
      expect_hw(mmas[g].idle(), "a warp group ends with MMAs in flight");
    }
    busiest_ = std::max(busiest_, taken);
  }

  // Whether a recorded consumer schedule starts some tile's MMAs (its begin
  // and first issue) before it finishes the tile before it.
  static bool issues_before_finishing(const std::vector<Step>& steps) {
    int begun = 0, finished = 0;
    for (const Step& s : steps) {
      if (s.kind == Step::kBeginTile) {
        if (begun > finished) return true;
        ++begun;
      }
      if (s.kind == Step::kFinishTile) ++finished;
    }
    return false;
  }

  // At a fold point every accumulator must hold its element's dot product
  // through the slice; the word goes into the thread's message.
  void fold(Thread* mine, hop::TileCoord tile, int slice,
            std::array<uint32_t, hop::kMessageWords>* words) {
    for (int t = 0; t < 128; ++t) {
      Thread& me = mine[t];
      const auto coords = me.acc_coords();
      for (int i = 0; i < 128; ++i) {
        const int r = get<0>(coords(i)), c = get<1>(coords(i));
        check_.expect(me.accum(i),
                      dots_.at(slice, Config::kRows * tile.row + r, Config::kCols * tile.col + c),
                      "gemm_hopper_tma_bound_g", tile.row, tile.col, me.thread, slice, r, c);
      }
      words[t][slice] = hop::fold_slice(me.accum);
    }
  }

  void finish(Thread* mine, hop::TileCoord tile, std::array<uint32_t, hop::kMessageWords>* words) {
    for (int t = 0; t < 128; ++t) {
      const int frag_row = hop::fragment_row(mine[t].thread);
      const int first_row = Config::kRows * tile.row;
      const int index =
          hop::grid_index(rows_[first_row] + hop::cell_row_offset(frag_row),
                          cols_[Config::kCols * tile.col] + hop::cell_col_offset(mine[t].thread),
                          row_groups_, col_groups_);
      if (!hop::owns_cell(first_row, frag_row, op_.m, index)) continue;
      std::copy(words[t].begin(), words[t].end(), messages_[index].begin());
      ++written_[index];
    }
  }

  const Operands& op_;
  Turns turns_;
  TileWalk walk_;
  Mutation mutate_;
  uint32_t swizzle_;
  RunningDots dots_;
  std::vector<int32_t> rows_, cols_;
  int row_groups_, col_groups_;
  std::vector<ref::Block> messages_;
  std::vector<int> written_;
  FoldCheck check_;
  int busiest_ = 0;
  bool overlapped_ = false;
};

struct Outcome {
  int64_t checked, faults;
  std::string first_faults;
  bool messages_match, each_cell_once;
  int busiest;
  bool overlapped;
};

Outcome emulate(int m, int n, int k, int grid, Turns turns, TileWalk walk = TileWalk::kStreamed,
                uint32_t tma_swizzle_bytes = 128, Mutation mutate = {}) {
  Faults::log().clear();
  const Operands op(m, n, k, uint32_t(3 * m + n + k));
  TmaBoundLaunch launch(op, turns, walk, tma_swizzle_bytes, std::move(mutate));
  launch.run(grid);
  const auto& w = launch.written();
  return {launch.check().checked(),
          Faults::log().count(),
          Faults::log().first(),
          launch.messages() == ref::tma_engine_cell_messages(op.a.data(), op.b.data(), m, n, k),
          std::all_of(w.begin(), w.end(), [](int times) { return times == 1; }),
          launch.busiest(),
          launch.overlapped_a_tile_boundary()};
}

// Four tiles on three CTAs: the first CTA takes two, so the ring's phases run
// on across tiles (16 k-tiles over 4 stages wrap four times a tile). k = 2048
// fills every k-tile; k = 384 leaves 13 of them to the descriptor's zero fill.
// Both consumer walks: the streamed one the library runs, which starts the
// next tile's first MMAs before hashing, and the drained one the benchmark
// times against it.
TEST(TmaBoundEmulation, TwoConsumerWarpGroupsAreExact) {
  struct Case {
    int m, n, k, grid;
  };
  for (TileWalk walk : {TileWalk::kStreamed, TileWalk::kDrained}) {
    for (const Case& c : {Case{256, 512, 2048, 3}, Case{128, 512, 384, 1}}) {
      for (Turns turns : {Turns::kProducerAheadLoadsAtOnce, Turns::kConsumersFirstLoadsLate}) {
        SCOPED_TRACE(::testing::Message()
                     << c.m << "x" << c.n << "x" << c.k << " on " << c.grid << " CTAs, "
                     << (turns == Turns::kProducerAheadLoadsAtOnce ? "producer ahead"
                                                                   : "consumers first")
                     << (walk == TileWalk::kStreamed ? ", streamed" : ", drained"));
        const Outcome o = emulate(c.m, c.n, c.k, c.grid, turns, walk);
        EXPECT_GT(o.checked, 0);
        EXPECT_EQ(o.faults, 0) << o.first_faults;
        EXPECT_TRUE(o.messages_match);
        EXPECT_TRUE(o.each_cell_once);
        EXPECT_EQ(o.busiest, 2) << "a CTA takes two tiles";
        EXPECT_EQ(o.overlapped, walk == TileWalk::kStreamed)
            << "the next tile's MMAs start before the hash in the streamed walk only";
      }
    }
  }
}

// A consumer that releases a stage before its MMAs have read it (the
// release moved before the wait): the producer refills the stage under the
// MMAs, and the emulation must see the wrong products.
TEST(TmaBoundEmulation, AStageReleasedBeforeItsMmasEndIsCaught) {
  const auto release_early = [](std::vector<Step>& steps) {
    for (size_t i = 0; i + 1 < steps.size(); ++i) {
      if (steps[i].kind == Step::kWaitMma && steps[i + 1].kind == Step::kRelease) {
        std::swap(steps[i], steps[i + 1]);
        ++i;
      }
    }
  };
  const Outcome o = emulate(256, 512, 2048, 3, Turns::kProducerAheadLoadsAtOnce,
                            TileWalk::kStreamed, 128, release_early);
  EXPECT_GT(o.faults, 0);
  EXPECT_FALSE(o.messages_match);
}

// The TMA semantics against CuTe's K-major stage layouts: a box written
// with each swizzle lands where the stage layout of that swizzle, which the
// descriptors of the MMAs are built from, places each byte.
template <class Atom, int depth>
void expect_box_lands_as_the_stage_layout_says() {
  using Stage = decltype(tile_to_shape(Atom{}, Shape<_64, Int<depth>>{}));
  const Operands op(64, 64, 4 * depth, depth);
  const hop::TmaParams map = hop::stage_tma_params_of<Stage>(op.a.data(), op.m, op.k);
  ASSERT_EQ(map.swizzle_bytes, uint32_t(depth));
  ASSERT_EQ(hop::tma_params_fault(map), nullptr);
  Faults::log().clear();
  SharedWindow window(64 * depth);
  tma_load_2d(map, 2 * depth, 0, window.address(window.dynamic()), window);  // the third k-box
  const auto stage = make_tensor(make_smem_ptr(window.dynamic()), Stage{});
  int wrong = 0;
  for (int r = 0; r < 64; ++r) {
    for (int j = 0; j < depth; ++j) wrong += stage(r, j) != op.a[size_t(r) * op.k + 2 * depth + j];
  }
  EXPECT_EQ(wrong, 0) << depth << "-byte swizzle";
  EXPECT_EQ(Faults::log().count(), 0) << Faults::log().first();
}

TEST(TmaSwizzle, BoxesLandAsTheStageLayoutsOfTheirSwizzleSay) {
  expect_box_lands_as_the_stage_layout_says<GMMA::Layout_K_SW128_Atom<int8_t>, 128>();
  expect_box_lands_as_the_stage_layout_says<GMMA::Layout_K_SW64_Atom<int8_t>, 64>();
  expect_box_lands_as_the_stage_layout_says<GMMA::Layout_K_SW32_Atom<int8_t>, 32>();
}

// TMA boxes written with the 64-byte swizzle (which the encoder would refuse
// for 128-byte box rows anyway) while the stages' descriptors read the
// 128-byte one: the bytes reach the tensor cores in other places.
TEST(TmaBoundEmulation, BoxesOfAnotherSwizzleAreCaught) {
  const Outcome o = emulate(128, 256, 2048, 1, Turns::kConsumersFirstLoadsLate, TileWalk::kStreamed, 64);
  EXPECT_GT(o.faults, 0);
  EXPECT_FALSE(o.messages_match);
}

}  // namespace
}  // namespace quorl::emu
