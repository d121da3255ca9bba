// The B-chunk mutation kernel's phases, run on the host over its block,
// against a full recommitment by the reference.
#include <gtest/gtest.h>

#include <random>

#include "../../cuda/bonly/attempt_order.h"
#include "../../cuda/bonly/mutate.h"
#include "../support/b3sum.h"
#include "quorl_ref/bonly.hpp"
#include "quorl_ref/matrix_gen.hpp"

namespace quorl {
namespace {

using ref::Cv;

// Device-layout copy of a B-only state, mutated by the kernel's phases.
struct DeviceState {
  std::vector<int8_t> b;
  std::vector<uint32_t> tree, prefix;
  Cv root{}, seed_a{}, seed_b{};
  int32_t result = 7, save = 9;

  explicit DeviceState(const ref::BonlyState& s) : b(s.b) {
    for (const Cv& node : s.tree.nodes) tree.insert(tree.end(), node.begin(), node.end());
    tree.resize(std::max<size_t>(tree.size(), 16));
    for (const Cv& p : s.tree.prefixes) prefix.insert(prefix.end(), p.begin(), p.end());
    root = s.tree.root;
  }

  bonly::MutateArgs args_for(uint64_t nonce, const Cv& key, const Cv* a_root, bool with_slots) {
    return {b.data(),
            int64_t(b.size()),
            nonce,
            key.data(),
            prefix.data(),
            tree.data(),
            root.data(),
            int64_t(b.size()) / 1024,
            with_slots ? &result : nullptr,
            with_slots ? &save : nullptr,
            a_root ? a_root->data() : nullptr,
            seed_b.data(),
            seed_a.data()};
  }

  // What the kernel runs before it waits for the search queued before it:
  // the write phase for the whole block, the barrier, thread 0's update
  // phase. Returns what the update phase hands the publish phase.
  bonly::MutateSeeds before_wait(const bonly::MutateArgs& args) {
    for (uint32_t t = 0; t < bonly::kMutateThreads; ++t) bonly::mutate_write_phase(t, args);
    bonly::MutateSeeds seeds;
    for (uint32_t t = 0; t < bonly::kMutateThreads; ++t) {
      const bonly::MutateSeeds found = bonly::mutate_update_phase(t, args);
      if (t == 0) seeds = found;
      EXPECT_TRUE(t == 0 || !found.derived) << "only thread 0 derives the seeds";
    }
    return seeds;
  }
  void after_wait(const bonly::MutateArgs& args, const bonly::MutateSeeds& seeds) {
    for (uint32_t t = 0; t < bonly::kMutateThreads; ++t) bonly::mutate_publish_phase(t, args, seeds);
  }

  // One launch: every phase.
  void mutate(uint64_t nonce, const Cv& key, const Cv* a_root, bool with_slots) {
    const bonly::MutateArgs args = args_for(nonce, key, a_root, with_slots);
    after_wait(args, before_wait(args));
  }
};

TEST(Mutation, KnownVectorEightChunksNonce11) {
  std::vector<int8_t> b(8 * 1024, 0);
  ref::apply_nonce(b.data(), int64_t(b.size()), 11);
  const int8_t expected[8] = {-40, 53, -39, 54, 39, -23, -42, -7};
  EXPECT_TRUE(std::equal(expected, expected + 8, b.begin() + 4032));
  for (int t = 1; t < 8; ++t) {
    const std::array<int8_t, 8> group = ref::ab_gen8(11, uint64_t(24 + t));
    EXPECT_TRUE(std::equal(group.begin(), group.end(), b.begin() + 4032 + 8 * t)) << t;
  }
  // Only bytes 960..1023 of chunk 3 changed.
  for (size_t i = 0; i < b.size(); ++i) {
    if (i < 4032 || i >= 4096) ASSERT_EQ(b[i], 0) << i;
  }
}

TEST(Mutation, NoncesOneChunkCountApartPickTheChunkButWriteDifferentBytes) {
  std::vector<int8_t> x(8 * 1024, 0), y(8 * 1024, 0);
  ref::apply_nonce(x.data(), int64_t(x.size()), 5);
  ref::apply_nonce(y.data(), int64_t(y.size()), 13);
  EXPECT_EQ(ref::bonly_chunk(5, 8), ref::bonly_chunk(13, 8));
  EXPECT_FALSE(std::equal(x.begin() + 5 * 1024 + 960, x.begin() + 6 * 1024, y.begin() + 5 * 1024 + 960));
}

class MutationSequences : public ::testing::TestWithParam<int64_t> {};

INSTANTIATE_TEST_SUITE_P(Chunks, MutationSequences, ::testing::Values(1, 2, 8, 1 << 14),
                         [](const ::testing::TestParamInfo<int64_t>& info) {
                           return std::to_string(info.param) + "chunks";
                         });

TEST_P(MutationSequences, IncrementalStateEqualsFullRecommitment) {
  const int64_t chunks = GetParam();
  const Cv key = test::random_cv(uint64_t(chunks)), a_hash = test::random_cv(99);
  const ref::BonlyState prepared =
      ref::bonly_state(key, a_hash, ref::generate(uint64_t(chunks) + 1, chunks * 1024), {});
  DeviceState dev(prepared);
  std::mt19937_64 rng(static_cast<uint64_t>(chunks));
  std::vector<uint64_t> nonces;
  const int attempts = chunks > 1024 ? 6 : 24;
  for (int i = 0; i < attempts; ++i) {
    nonces.push_back(rng());
    dev.mutate(nonces.back(), key, &a_hash, true);
  }
  const ref::BonlyState expected = ref::bonly_state(key, a_hash, prepared.b, nonces);
  EXPECT_EQ(dev.b, expected.b);
  EXPECT_EQ(dev.root, expected.tree.root);
  for (size_t node = 0; node < expected.tree.nodes.size(); ++node) {
    const Cv got{dev.tree[8 * node],     dev.tree[8 * node + 1], dev.tree[8 * node + 2],
                 dev.tree[8 * node + 3], dev.tree[8 * node + 4], dev.tree[8 * node + 5],
                 dev.tree[8 * node + 6], dev.tree[8 * node + 7]};
    ASSERT_EQ(got, expected.tree.nodes[node]) << "node " << node;
  }
  // Prefixes never change: block 15 is the only one rewritten.
  for (int64_t c = 0; c < chunks; ++c) {
    const Cv got{dev.prefix[8 * c],     dev.prefix[8 * c + 1], dev.prefix[8 * c + 2],
                 dev.prefix[8 * c + 3], dev.prefix[8 * c + 4], dev.prefix[8 * c + 5],
                 dev.prefix[8 * c + 6], dev.prefix[8 * c + 7]};
    ASSERT_EQ(got, expected.tree.prefixes[c]) << "prefix " << c;
  }
  EXPECT_EQ(dev.seed_a, expected.seeds.a_seed);
  EXPECT_EQ(dev.seed_b, expected.seeds.b_seed);
}

TEST(Mutation, NullArgumentsLeaveTheirTargetsAlone) {
  const Cv key = test::random_cv(1), a_hash = test::random_cv(2);
  const ref::BonlyState prepared = ref::bonly_state(key, a_hash, ref::generate(3, 8 * 1024), {});
  {
    DeviceState dev(prepared);  // no slots, no seeds
    dev.mutate(4, key, nullptr, false);
    EXPECT_EQ(dev.result, 7);
    EXPECT_EQ(dev.save, 9);
    EXPECT_EQ(dev.seed_a, Cv{});
    EXPECT_EQ(dev.seed_b, Cv{});
    EXPECT_EQ(dev.root, ref::bonly_state(key, a_hash, prepared.b, {4}).tree.root);
  }
  {
    DeviceState dev(prepared);  // the result is parked in the save slot, then reset
    dev.mutate(4, key, &a_hash, true);
    EXPECT_EQ(dev.save, 7);
    EXPECT_EQ(dev.result, -1);
  }
  {
    DeviceState dev(prepared);  // a result slot without a save slot drops the old value
    const bonly::MutateArgs args{dev.b.data(), int64_t(dev.b.size()), 4, key.data(),
                                 dev.prefix.data(), dev.tree.data(), dev.root.data(), 8,
                                 &dev.result, nullptr, nullptr, nullptr, nullptr};
    bonly::mutate_publish_phase(0, args, bonly::MutateSeeds{});
    EXPECT_EQ(dev.result, -1);
    EXPECT_EQ(dev.save, 9);
  }
}

// What the mutation touches before its wait and after it, as the flows'
// order (attempt_order.h) declares it: B, its tree and root first; the
// result slot, the save slot and the seeds (the running search's result and
// key) only in the last phase.
TEST(Mutation, OnlyTheLastPhaseTouchesTheSearchsResultAndKey) {
  const Cv key = test::random_cv(11), a_hash = test::random_cv(12);
  const ref::BonlyState prepared = ref::bonly_state(key, a_hash, ref::generate(13, 8 * 1024), {});
  DeviceState dev(prepared);
  const bonly::StepAccess declared = bonly::mutation_access(true, true);
  const bonly::MutateArgs args = dev.args_for(3, key, &a_hash, true);

  const DeviceState start = dev;
  const bonly::MutateSeeds seeds = dev.before_wait(args);
  const uint32_t early = (dev.b != start.b ? bonly::kBPlain : 0u) |
                         (dev.tree != start.tree ? bonly::kTree : 0u) |
                         (dev.root != start.root ? bonly::kBHash : 0u) |
                         (dev.result != start.result ? bonly::kResult : 0u) |
                         (dev.save != start.save ? bonly::kSaveSlot : 0u) |
                         (dev.seed_a != start.seed_a || dev.seed_b != start.seed_b ? bonly::kSeeds : 0u);
  EXPECT_EQ(early, bonly::kBPlain | bonly::kTree | bonly::kBHash);
  EXPECT_EQ(early & ~declared.early.writes, 0u) << "written before the wait but not declared";

  const DeviceState middle = dev;
  dev.after_wait(args, seeds);
  const uint32_t late = (dev.b != middle.b || dev.tree != middle.tree || dev.root != middle.root
                             ? bonly::kBPlain
                             : 0u) |
                        (dev.result != middle.result ? bonly::kResult : 0u) |
                        (dev.save != middle.save ? bonly::kSaveSlot : 0u) |
                        (dev.seed_a != middle.seed_a || dev.seed_b != middle.seed_b ? bonly::kSeeds : 0u);
  EXPECT_EQ(late, bonly::kResult | bonly::kSaveSlot | bonly::kSeeds);
  EXPECT_EQ(late & ~declared.late.writes, 0u) << "written after the wait but not declared";
  EXPECT_EQ(dev.save, 7);
  EXPECT_EQ(dev.result, -1);
}

TEST(Mutation, SingleChunkRootIsTheChunkValueWithoutRoot) {
  const Cv key = test::random_cv(5), a_hash = test::random_cv(6);
  const ref::BonlyState prepared = ref::bonly_state(key, a_hash, ref::generate(7, 1024), {});
  DeviceState dev(prepared);
  dev.mutate(123456789, key, &a_hash, true);
  std::vector<int8_t> b = prepared.b;
  ref::apply_nonce(b.data(), 1024, 123456789);
  EXPECT_EQ(dev.root, ref::chunk_cv(key, b.data(), 0));
}

}  // namespace
}  // namespace quorl
