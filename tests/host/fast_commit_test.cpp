// The verifier's hasher against the reference model and b3sum: every kernel
// set the CPU runs, every chunk count shape (one, odd, below, at and above
// each kernel's width, tails that fall through to the narrower kernels),
// counters past 32 bits, any number of threads, and matrices committed
// straight from their generator give the same nodes.
#include <gtest/gtest.h>

#include <vector>

#include "../support/b3sum.h"
#include "blake3_kernels.h"
#include "fast_commit.h"
#include "fast_matrix.h"
#include "quorl_ref/bonly.hpp"
#include "quorl_ref/commit.hpp"
#include "quorl_ref/hex.hpp"
#include "quorl_ref/matrix_gen.hpp"

namespace {

namespace b3 = quorl::verify::blake3;
using quorl::ref::Cv;

const int8_t* signed_bytes(const std::vector<uint8_t>& v) { return reinterpret_cast<const int8_t*>(v.data()); }

TEST(FastCommit, EveryKernelSetTheCpuRunsIsOffered) {
  const std::vector<const b3::Kernels*> sets = b3::supported_kernels();
  ASSERT_FALSE(sets.empty());
  EXPECT_EQ(&b3::best_kernels(), sets.front()) << "the widest set is the one used";
  EXPECT_EQ(sets.back(), &b3::portable_kernels());
  for (size_t i = 1; i < sets.size(); ++i) EXPECT_GT(sets[i - 1]->lanes, sets[i]->lanes) << "widest first";
#if defined(__x86_64__)
  // A CPU with the instructions gets the kernel; one without never sees it.
  EXPECT_EQ(b3::avx2_kernels() != nullptr, bool(__builtin_cpu_supports("avx2")));
  EXPECT_EQ(b3::avx512_kernels() != nullptr, bool(__builtin_cpu_supports("avx512f")));
#endif
  for (const b3::Kernels* k : sets) {
    if (k->name == std::string("avx512")) EXPECT_EQ(k->lanes, 16u);
    if (k->name == std::string("avx2")) EXPECT_EQ(k->lanes, 8u);
  }
}

TEST(FastCommit, ChunkAndParentKernelsMatchTheReference) {
  constexpr size_t kMost = 49;
  const std::vector<uint8_t> data = quorl::test::random_bytes(kMost * 1024, 3);
  const Cv key = quorl::test::random_cv(4);
  std::vector<uint32_t> pairs(kMost * 16);
  for (size_t i = 0; i < pairs.size(); ++i) pairs[i] = uint32_t(i * 2654435761u);
  for (const b3::Kernels* k : b3::supported_kernels()) {
    // Counts below, at and past 8 and 16; 31 and 49 leave tails for both
    // narrower kernels.
    for (const size_t count : {1, 7, 8, 9, 15, 16, 17, 24, 31, 32, 33, 49}) {
      // Counters that cross 2^32 inside a pass put a carry in the high word
      // of some lanes only.
      for (const uint64_t first : {uint64_t(0), (uint64_t(1) << 32) - 5, (uint64_t(3) << 32) - 13}) {
        std::vector<uint32_t> out(count * 8 + 8, 0xA5A5A5A5u);
        k->chunks(key.data(), data.data(), count, first, out.data());
        for (size_t i = 0; i < count; ++i) {
          const Cv want = quorl::ref::chunk_cv(key, signed_bytes(data) + 1024 * i, first + i);
          EXPECT_TRUE(std::equal(want.begin(), want.end(), out.begin() + 8 * i))
              << k->name << " chunk " << i << " of " << count << ", first " << first;
        }
        EXPECT_EQ(out[count * 8], 0xA5A5A5A5u) << k->name << " wrote past " << count << " chunks";
      }
      for (const uint32_t extra : {0u, uint32_t(b3::kRoot)}) {
        std::vector<uint32_t> out(count * 8 + 8, 0xA5A5A5A5u);
        k->parents(key.data(), pairs.data(), count, extra, out.data());
        for (size_t i = 0; i < count; ++i) {
          Cv left, right;
          std::copy_n(pairs.begin() + 16 * i, 8, left.begin());
          std::copy_n(pairs.begin() + 16 * i + 8, 8, right.begin());
          const Cv want = quorl::ref::parent_cv(key, left, right, extra != 0);
          EXPECT_TRUE(std::equal(want.begin(), want.end(), out.begin() + 8 * i))
              << k->name << " parent " << i << " of " << count << ", flags " << extra;
        }
        EXPECT_EQ(out[count * 8], 0xA5A5A5A5u) << k->name << " wrote past " << count << " parents";
      }
    }
  }
}

TEST(FastCommit, RootsMatchTheReferenceForAnyChunkCountAndThreads) {
  const Cv key = quorl::test::random_cv(9);
  // 1 chunk: no parent; 3, 13, 47: odd levels drop their last node; 2^k: the
  // standard keyed hash; 33 and 257: one chunk past a whole pass.
  for (const int64_t chunks : {1, 2, 3, 8, 13, 16, 33, 47, 64, 257}) {
    const std::vector<uint8_t> bytes = quorl::test::random_bytes(size_t(chunks) * 1024 + 100, chunks);
    const int64_t n = chunks * 1024 + 100;  // a partial chunk at the end is left out
    const Cv want = quorl::ref::commit(key, signed_bytes(bytes), n);
    for (const b3::Kernels* k : b3::supported_kernels()) {
      for (const int threads : {1, 2, 3, 7}) {
        EXPECT_EQ(quorl::verify::fast_commit(key, signed_bytes(bytes), n, threads, *k), want)
            << k->name << ", " << chunks << " chunks, " << threads << " threads";
      }
    }
  }
}

TEST(FastCommit, PowerOfTwoTreesOfGeneratedMatricesAreTheKeyedHashB3sumPrints) {
  // Real data: a generated 512 x 2048 operand (1024 chunks) and one of two
  // chunks, the smallest tree with a parent.
  const Cv key = quorl::test::random_cv(11);
  for (const int64_t bytes : {int64_t(512) * 2048, int64_t(2048)}) {
    const std::vector<int8_t> matrix = quorl::ref::generate(12, bytes);
    const std::string want = quorl::test::b3sum_hex(std::vector<uint8_t>(matrix.begin(), matrix.end()), &key);
    for (const b3::Kernels* k : b3::supported_kernels()) {
      EXPECT_EQ(quorl::ref::to_hex(quorl::verify::fast_commit(key, matrix.data(), bytes, 2, *k)), want)
          << k->name << ", " << bytes << " bytes";
    }
  }
}

// Committing a matrix straight from its generator, a few chunks at a time,
// gives the root of the stored matrix: batches cut at every kind of boundary,
// threads splitting the chunks, and B-only nonce runs rewriting chunks.
TEST(FastCommit, GeneratedMatricesCommitAsIfStored) {
  const Cv key = quorl::test::random_cv(21);
  struct Case {
    int64_t chunks;
    uint64_t first_nonce, last_nonce;  // last < first: no nonces
  };
  const Case cases[] = {
      {1, 1, 0},  {2, 1, 0},   {13, 1, 0},  {16, 1, 0},  {17, 1, 0},  {40, 1, 0}, {256, 1, 0},
      {64, 5, 5}, {64, 60, 70}, {33, 3, 3 + 100}, {256, 1000, 1000 + 300},
  };
  for (const Case& c : cases) {
    const int64_t bytes = c.chunks * 1024;
    std::vector<int8_t> stored = quorl::ref::generate(c.chunks, bytes);
    quorl::verify::PlainMatrix matrix(uint64_t(c.chunks), bytes);
    if (c.first_nonce <= c.last_nonce) {
      matrix.with_nonces(c.first_nonce, c.last_nonce);
      for (uint64_t x = c.first_nonce; x <= c.last_nonce; ++x) quorl::ref::apply_nonce(stored.data(), bytes, x);
    }
    const Cv want = quorl::ref::commit(key, stored.data(), bytes);
    for (const b3::Kernels* k : b3::supported_kernels()) {
      for (const int threads : {1, 3}) {
        EXPECT_EQ(quorl::verify::fast_commit(key, matrix, threads, *k), want)
            << k->name << ", " << c.chunks << " chunks, nonces " << c.first_nonce << ".." << c.last_nonce
            << ", " << threads << " threads";
      }
    }
  }
}

}  // namespace
