// Shared-memory bank conflicts of the label GEMM's digest table, from the
// kernel's own per-thread code: the word each fold atomic of a warp hits
// (fold_word, with the tile's relative labels as start_tile_table writes
// them) and the words each epilogue load reads (read_message over a table
// whose every word holds its own index, so the message is the addresses).
// A warp-wide access takes as many passes as the most lanes that meet in one
// bank: atomics serialise every lane, loads of one word broadcast.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <numeric>
#include <set>
#include <vector>

#include "../../cuda/gemm/gemm_config.h"
#include "../../cuda/gemm/tile_table.h"
#include "quorl_ref/search.hpp"

namespace quorl::gemm {
namespace {

constexpr int kWarps = kThreads / 32;

struct Passes {
  int fold = 0;      // most lanes of one fold atomic in one bank
  int epilogue = 0;  // most distinct words of one epilogue load in one bank
  int fold_instructions = 0;
};

int atomic_passes(const std::vector<int>& words) {
  std::array<int, kBanks> lanes{};
  for (int w : words) ++lanes[w % kBanks];
  return *std::max_element(lanes.begin(), lanes.end());
}

int load_passes(const std::vector<int>& words) {
  std::array<std::set<int>, kBanks> distinct;
  for (int w : words) distinct[w % kBanks].insert(w);
  size_t most = 0;
  for (const auto& d : distinct) most = std::max(most, d.size());
  return int(most);
}

// Tile (0, 0) of the standard labelling: what every tile of it looks like.
template <class Config>
Passes table_passes() {
  using Form = typename Config::Form;
  const ref::Labelling labels = ref::standard_labelling(kTileM, kTileN);
  std::vector<uint32_t> table(kTableWords);
  std::vector<int32_t> row_labels(kTileM), col_labels(kTileN);
  const TileBase base = tile_base<Form>({0, 0}, labels.row_group.data(), labels.col_group.data());
  for (int thread = 0; thread < kThreads; ++thread) {
    start_tile_table<Form>(thread, {0, 0}, base, labels.row_group.data(), labels.col_group.data(),
                           table.data(), row_labels.data(), col_labels.data());
  }

  Passes p;
  typename Config::TiledMma mma;
  const auto identity = cute::make_identity_tensor(cute::Shape<cute::Int<kTileM>, cute::Int<kTileN>>{});
  const int row_blocks = int(cute::size<1>(mma.get_slice(0).partition_C(identity)));
  for (int warp = 0; warp < kWarps; ++warp) {
    for (int mi = 0; mi < row_blocks; ++mi) {
      for (int slice = 0; slice < kMessageWords; ++slice) {
        std::vector<int> words;
        for (int lane = 0; lane < 32; ++lane) {
          const int thread = 32 * warp + lane;
          const int at = fold_word<Form>(mma.get_slice(thread).partition_C(identity), mi, thread,
                                         slice, row_labels.data(), col_labels.data());
          if (at >= 0) words.push_back(at);
        }
        EXPECT_EQ(words.size(), 32u) << "every group of the standard labelling folds";
        p.fold = std::max(p.fold, atomic_passes(words));
        ++p.fold_instructions;
      }
    }
  }

  std::iota(table.begin(), table.end(), 0u);
  for (int warp = 0; warp < kWarps; ++warp) {
    for (int pass = 0; pass < kSlots / kThreads; ++pass) {
      std::array<std::array<uint32_t, kMessageWords>, 32> read{};
      for (int lane = 0; lane < 32; ++lane) {
        read_message<Form::table>(table.data(), 32 * warp + lane + kThreads * pass, read[lane].data());
      }
      for (int s = 0; s < kMessageWords; ++s) {
        std::vector<int> words;
        for (int lane = 0; lane < 32; ++lane) words.push_back(int(read[lane][s]));
        p.epilogue = std::max(p.epilogue, load_passes(words));
      }
    }
  }
  return p;
}

TEST(GemmTableBanks, FoldsAndEpilogueReadsAreConflictFree) {
  const Passes labelled = table_passes<LabelledGemm>();
  EXPECT_EQ(labelled.fold, 1) << "sm89/fallback fold atomics";
  EXPECT_EQ(labelled.epilogue, 1) << "sm89/fallback epilogue";
  EXPECT_EQ(labelled.fold_instructions, kWarps * 2 * kMessageWords) << "two fold groups a thread";
  const Passes standard = table_passes<StandardGemm>();
  EXPECT_EQ(standard.fold, 1) << "sm120a fold atomics";
  EXPECT_EQ(standard.epilogue, 1) << "sm120a epilogue";
  EXPECT_EQ(standard.fold_instructions, kWarps * 4 * kMessageWords) << "four fold groups a thread";
}

// The slot-major table that the benchmark keeps for comparison: a warp's 32
// neighbouring slots are 16 words apart, so each access meets in two banks.
TEST(GemmTableBanks, SlotMajorTableConflictsSixteenWays) {
  const Passes labelled = table_passes<LabelledGemmOf<TableOrder::kSlotMajor>>();
  EXPECT_EQ(labelled.fold, 16);
  EXPECT_EQ(labelled.epilogue, 16);
  const Passes standard = table_passes<StandardGemmOf<TableOrder::kSlotMajor>>();
  EXPECT_EQ(standard.fold, 16);
  EXPECT_EQ(standard.epilogue, 16);
}

// Each thread clears exactly the slots it finishes, in either order: what
// lets a tile's epilogue run straight into the next tile's start.
template <class Form>
void expect_each_thread_clears_its_slots() {
  std::vector<int> cleared_by(kTableWords, -1);
  for (int thread = 0; thread < kThreads; ++thread) {
    std::vector<uint32_t> table(kTableWords, 1u);
    start_tile_table<Form>(thread, {0, 0}, {0, 0}, nullptr, nullptr, table.data(), nullptr, nullptr);
    for (int w = 0; w < kTableWords; ++w) {
      if (table[w] != 0) continue;
      EXPECT_EQ(cleared_by[w], -1) << "word " << w << " cleared twice";
      cleared_by[w] = thread;
    }
  }
  for (int slot = 0; slot < kSlots; ++slot) {
    for (int s = 0; s < kMessageWords; ++s) {
      EXPECT_EQ(cleared_by[table_word<Form::table>(slot, s)], slot % kThreads)
          << "slot " << slot << " word " << s;
    }
  }
}

TEST(GemmTableBanks, EachThreadClearsTheSlotsItFinishes) {
  expect_each_thread_clears_its_slots<StandardGemm::Form>();
  expect_each_thread_clears_its_slots<StandardGemmOf<TableOrder::kSlotMajor>::Form>();
}

}  // namespace
}  // namespace quorl::gemm
