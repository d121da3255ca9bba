// Whole attempts in the reference model hang together: the pieces agree with
// each other and with the generator, commitment and noise on their own.
#include <gtest/gtest.h>

#include "../support/b3sum.h"
#include "quorl_ref/attempt.hpp"
#include "quorl_ref/bonly.hpp"
#include "quorl_ref/commit.hpp"
#include "quorl_ref/matrix_gen.hpp"

namespace quorl {
namespace {

using ref::Cv;

TEST(ReferenceAttempt, FullAttemptChainsGenerationCommitmentSeedsAndNoise) {
  const Cv key = test::random_cv(1);
  const ref::Dims d{128, 256, 256};
  const ref::AttemptOperands op = ref::full_attempt(key, 5, 6, d);
  EXPECT_EQ(op.a_plain, ref::generate(5, 128 * 256));
  EXPECT_EQ(op.b_hash, ref::commit(key, op.b_plain.data(), int64_t(op.b_plain.size())));
  EXPECT_EQ(op.seeds.a_seed, ref::derive_seeds(key, op.a_hash, op.b_hash).a_seed);
  EXPECT_EQ(op.b, ref::noised_operand(op.b_plain.data(), d.n, d.k, op.seeds.b_seed, ref::b_tag()));
  // Deterministic: the same job and seeds give the same attempt.
  EXPECT_EQ(ref::full_attempt(key, 5, 6, d).a, op.a);
}

TEST(ReferenceAttempt, BonlyAttemptAccumulatesNonces) {
  const Cv key = test::random_cv(2);
  const ref::Dims d{128, 256, 64};
  const ref::AttemptOperands prepared = ref::bonly_attempt(key, 0, {}, d);
  EXPECT_EQ(prepared.b_plain, ref::generate(0xD1B54A32D192ED03ull, 256 * 64));
  const ref::AttemptOperands two = ref::bonly_attempt(key, 0, {3, 4}, d);
  std::vector<int8_t> b = prepared.b_plain;
  ref::apply_nonce(b.data(), int64_t(b.size()), 3);
  ref::apply_nonce(b.data(), int64_t(b.size()), 4);
  EXPECT_EQ(two.b_plain, b);
  EXPECT_EQ(two.a_hash, prepared.a_hash) << "A stays fixed for the job";
  EXPECT_NE(two.seeds.a_seed, prepared.seeds.a_seed) << "both seeds follow B's root";
  EXPECT_NE(two.a, prepared.a) << "so A's noise changes too";
}

}  // namespace
}  // namespace quorl
