// The device tests' parallel reference: tile rows computed on several
// threads give exactly the single-threaded reference's messages, in both
// forms, for one tile row and for more tile rows than threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "../support/b3sum.h"
#include "../support/parallel_messages.h"

namespace {

using quorl::ref::Block;
using quorl::test::MessageForm;

void expect_same(const std::vector<Block>& got, const std::vector<Block>& want) {
  ASSERT_EQ(got.size(), want.size());
  const auto diff = std::mismatch(got.begin(), got.end(), want.begin());
  EXPECT_TRUE(diff.first == got.end()) << "cell " << (diff.first - got.begin()) << " differs";
}

TEST(ParallelMessages, EqualTheSingleThreadedReference) {
  struct Dims {
    int m, n, k;
  };
  for (const Dims d : {Dims{1152, 512, 1024}, Dims{128, 256, 256}, Dims{384, 768, 128}}) {
    SCOPED_TRACE(::testing::Message() << d.m << "x" << d.n << "x" << d.k);
    const std::vector<uint8_t> a_raw = quorl::test::random_bytes(size_t(d.m) * d.k, 1);
    const std::vector<uint8_t> b_raw = quorl::test::random_bytes(size_t(d.n) * d.k, 2);
    const std::vector<int8_t> a(a_raw.begin(), a_raw.end()), b(b_raw.begin(), b_raw.end());
    expect_same(quorl::test::cell_messages_in_parallel(a.data(), b.data(), d.m, d.n, d.k,
                                                       MessageForm::kStandard),
                quorl::ref::standard_cell_messages(a.data(), b.data(), d.m, d.n, d.k));
    expect_same(quorl::test::cell_messages_in_parallel(a.data(), b.data(), d.m, d.n, d.k,
                                                       MessageForm::kTmaEngine),
                quorl::ref::tma_engine_cell_messages(a.data(), b.data(), d.m, d.n, d.k));
  }
}

}  // namespace
