// BLAKE3: the reference model against b3sum and published values, and the
// device compression function (built here for the host) against the reference.
#include <gtest/gtest.h>

#include "../../cuda/blake3/modes.h"
#include "../support/b3sum.h"
#include "quorl_ref/blake3.hpp"
#include "quorl_ref/commit.hpp"
#include "quorl_ref/hex.hpp"

namespace quorl {
namespace {

using ref::Cv;

ref::Block padded_block(const std::string& text) {
  uint8_t bytes[64] = {};
  std::copy(text.begin(), text.end(), bytes);
  return ref::block_from_bytes(bytes);
}

TEST(Blake3Reference, PublishedDigestsOfShortInputs) {
  // A message shorter than a block is one compression with its length as the
  // block length: the empty string and "abc" have published digests.
  struct Case {
    std::string text;
    const char* digest;
  };
  const Case cases[] = {
      {"", "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262"},
      {"abc", "6437b3ac38465133ffb63b75273a8db548c558465d79db03fd359c6cd5bd9d85"},
  };
  for (const Case& c : cases) {
    const Cv out = ref::compress(ref::iv(), padded_block(c.text), 0, uint32_t(c.text.size()),
                                 ref::CHUNK_START | ref::CHUNK_END | ref::ROOT);
    EXPECT_EQ(ref::to_hex(out), c.digest) << '"' << c.text << '"';
  }
}

TEST(Blake3Reference, SingleBlockModesMatchB3sum) {
  for (uint64_t seed = 1; seed <= 4; ++seed) {
    const std::vector<uint8_t> message = test::random_bytes(64, seed);
    const Cv key = test::random_cv(100 + seed);
    const ref::Block block = ref::block_from_bytes(message.data());
    EXPECT_EQ(ref::to_hex(ref::hash_block(block)), test::b3sum_hex(message));
    EXPECT_EQ(ref::to_hex(ref::keyed_hash_block(key, block)), test::b3sum_hex(message, &key));
  }
  const std::vector<uint8_t> zeros(64, 0);
  EXPECT_EQ(ref::to_hex(ref::hash_block(ref::block_from_bytes(zeros.data()))),
            test::b3sum_hex(zeros));
}

TEST(Blake3Reference, CommitmentOfWholeChunkPowersMatchesKeyedB3sum) {
  const Cv key = test::random_cv(7);
  for (int chunks : {2, 4, 8, 32, 1024}) {
    const std::vector<uint8_t> data = test::random_bytes(size_t(chunks) * 1024, chunks);
    const Cv root =
        ref::commit(key, reinterpret_cast<const int8_t*>(data.data()), int64_t(data.size()));
    EXPECT_EQ(ref::to_hex(root), test::b3sum_hex(data, &key)) << chunks << " chunks";
  }
}

TEST(Blake3Reference, SingleChunkRootIsTheChunkValueWithoutRoot) {
  const Cv key = test::random_cv(8);
  const std::vector<uint8_t> data = test::random_bytes(1024, 9);
  const auto* bytes = reinterpret_cast<const int8_t*>(data.data());
  const Cv root = ref::commit(key, bytes, 1024);
  Cv by_hand = key;
  for (int b = 0; b < 16; ++b) {
    const uint32_t flags = 16u | (b == 0 ? 1u : 0u) | (b == 15 ? 2u : 0u);
    by_hand = ref::compress(by_hand, ref::block_from_bytes(bytes + 64 * b), 0, 64, flags);
  }
  EXPECT_EQ(root, by_hand);
  EXPECT_NE(ref::to_hex(root), test::b3sum_hex(data, &key));
}

// The compression function the kernels use, run on the host.
Cv device_compress(const Cv& cv, const ref::Block& block, uint64_t counter, uint32_t len,
                   uint32_t flags) {
  Cv out;
  blake3::compress(cv.data(), block.data(), counter, len, flags, out.data());
  return out;
}

TEST(Blake3Device, CompressionMatchesReference) {
  struct Case {
    uint64_t counter;
    uint32_t block_len;
    uint32_t flags;
  };
  const Case cases[] = {
      {0, 64, 11}, {0, 64, 27}, {7, 64, 17}, {7, 64, 16}, {7, 64, 18},
      {0, 64, 20}, {0, 64, 28}, {(1ull << 32) + 5, 64, 16}, {~0ull, 3, 11},
  };
  for (const Case& c : cases) {
    for (uint64_t seed = 0; seed < 8; ++seed) {
      const Cv cv = test::random_cv(seed);
      const std::vector<uint8_t> bytes = test::random_bytes(64, 50 + seed);
      const ref::Block block = ref::block_from_bytes(bytes.data());
      EXPECT_EQ(device_compress(cv, block, c.counter, c.block_len, c.flags),
                ref::compress(cv, block, c.counter, c.block_len, c.flags))
          << "counter " << c.counter << " flags " << c.flags;
    }
  }
}

TEST(Blake3Device, CounterAbove32BitsFillsBothCounterWords) {
  // Chunk 2^32 + 5 must hash with counter words (5, 1): it differs from
  // chunk 5 and equals the reference's chunk 2^32 + 5.
  const Cv key = test::random_cv(11);
  const std::vector<uint8_t> data = test::random_bytes(1024, 12);
  const auto* chunk = reinterpret_cast<const int8_t*>(data.data());
  const uint64_t index = (1ull << 32) + 5;
  Cv high, low;
  blake3::chunk_cv_through(key.data(), chunk, index, 16, high.data());
  blake3::chunk_cv_through(key.data(), chunk, 5, 16, low.data());
  EXPECT_EQ(high, ref::chunk_cv(key, chunk, index));
  EXPECT_NE(high, low);
}

TEST(Blake3Device, CallingModesMatchReference) {
  const Cv key = test::random_cv(21);
  const std::vector<uint8_t> bytes = test::random_bytes(64, 22);
  uint32_t block[16];
  blake3::load_block(reinterpret_cast<const int8_t*>(bytes.data()), block);
  const ref::Block ref_block = ref::block_from_bytes(bytes.data());
  Cv plain, keyed, parent;
  blake3::hash_plain_block(block, plain.data());
  blake3::hash_keyed_block(key.data(), block, keyed.data());
  blake3::parent_cv(key.data(), block, block + 8, true, parent.data());
  EXPECT_EQ(plain, ref::hash_block(ref_block));
  EXPECT_EQ(keyed, ref::keyed_hash_block(key, ref_block));
  Cv left, right;
  std::copy(ref_block.begin(), ref_block.begin() + 8, left.begin());
  std::copy(ref_block.begin() + 8, ref_block.end(), right.begin());
  EXPECT_EQ(parent, ref::parent_cv(key, left, right, true));
}

}  // namespace
}  // namespace quorl
