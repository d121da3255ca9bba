// The verifier's hasher against the reference model and b3sum: every kernel
// set, every chunk count shape (one, odd, below and above a kernel's width),
// counters past 32 bits and any number of threads give the same nodes.
#include <gtest/gtest.h>

#include <vector>

#include "../support/b3sum.h"
#include "blake3_kernels.h"
#include "fast_commit.h"
#include "quorl_ref/commit.hpp"
#include "quorl_ref/hex.hpp"

namespace {

namespace b3 = quorl::verify::blake3;
using quorl::ref::Cv;

std::vector<const b3::Kernels*> kernel_sets() {
  std::vector<const b3::Kernels*> sets{&b3::portable_kernels()};
  if (b3::avx2_kernels()) sets.push_back(b3::avx2_kernels());
  return sets;
}

TEST(FastCommit, ChunkAndParentKernelsMatchTheReference) {
  const std::vector<uint8_t> data = quorl::test::random_bytes(19 * 1024, 3);
  const Cv key = quorl::test::random_cv(4);
  for (const b3::Kernels* k : kernel_sets()) {
    // 19 chunks: two full passes of eight and a tail of three; counters that
    // cross 2^32 put a carry in the high counter word.
    for (const uint64_t first : {uint64_t(0), (uint64_t(1) << 32) - 5}) {
      std::vector<uint32_t> out(19 * 8);
      k->chunks(key.data(), data.data(), 19, first, out.data());
      for (size_t i = 0; i < 19; ++i) {
        const Cv want = quorl::ref::chunk_cv(key, data.data() + 1024 * i, first + i);
        EXPECT_TRUE(std::equal(want.begin(), want.end(), out.begin() + 8 * i))
            << k->name << " chunk " << i << " first " << first;
      }
    }
    std::vector<uint32_t> pairs(11 * 16);
    for (size_t i = 0; i < pairs.size(); ++i) pairs[i] = uint32_t(i * 2654435761u);
    for (const uint32_t extra : {0u, uint32_t(b3::kRoot)}) {
      std::vector<uint32_t> out(11 * 8);
      k->parents(key.data(), pairs.data(), 11, extra, out.data());
      for (size_t i = 0; i < 11; ++i) {
        Cv left, right;
        std::copy_n(pairs.begin() + 16 * i, 8, left.begin());
        std::copy_n(pairs.begin() + 16 * i + 8, 8, right.begin());
        const Cv want = quorl::ref::parent_cv(key, left, right, extra != 0);
        EXPECT_TRUE(std::equal(want.begin(), want.end(), out.begin() + 8 * i))
            << k->name << " parent " << i << " flags " << extra;
      }
    }
  }
}

TEST(FastCommit, RootsMatchTheReferenceForAnyChunkCountAndThreads) {
  const Cv key = quorl::test::random_cv(9);
  // 1 chunk: no parent; 3 and 13: odd levels drop their last node; 2^k: the
  // standard keyed hash.
  for (const int64_t chunks : {1, 2, 3, 8, 13, 16, 64, 257}) {
    const std::vector<uint8_t> bytes = quorl::test::random_bytes(size_t(chunks) * 1024 + 100, chunks);
    const auto* data = reinterpret_cast<const int8_t*>(bytes.data());
    const int64_t n = chunks * 1024 + 100;  // a partial chunk at the end is left out
    const Cv want = quorl::ref::commit(key, data, n);
    for (const int threads : {1, 2, 3, 7}) {
      EXPECT_EQ(quorl::verify::fast_commit(key, data, n, threads), want)
          << chunks << " chunks, " << threads << " threads";
    }
  }
}

TEST(FastCommit, PowerOfTwoTreesAreTheKeyedHashB3sumPrints) {
  const Cv key = quorl::test::random_cv(11);
  const std::vector<uint8_t> data = quorl::test::random_bytes(1 << 20, 12);
  const Cv root = quorl::verify::fast_commit(key, reinterpret_cast<const int8_t*>(data.data()),
                                             int64_t(data.size()), 2);
  EXPECT_EQ(quorl::ref::to_hex(root), quorl::test::b3sum_hex(data, &key));
}

}  // namespace
