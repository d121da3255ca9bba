// The commitment launchers' level walk and the tree kernels' bodies, run on
// the host over their launch grids, against the reference model.
#include <gtest/gtest.h>

#include "../support/b3sum.h"
#include "../support/host_tree_exec.h"
#include "quorl_ref/commit.hpp"
#include "quorl_ref/hex.hpp"

namespace quorl {
namespace {

using ref::Cv;

struct Matrix {
  int64_t rows, cols;
};

void PrintTo(const Matrix& x, std::ostream* os) { *os << x.rows << "x" << x.cols; }

std::vector<int8_t> matrix_bytes(Matrix shape, uint64_t seed) {
  const std::vector<uint8_t> raw = test::random_bytes(size_t(shape.rows * shape.cols), seed);
  return std::vector<int8_t>(raw.begin(), raw.end());
}

Cv cv_at(const std::vector<uint32_t>& nodes, int64_t node) {
  Cv cv;
  std::copy(nodes.begin() + 8 * node, nodes.begin() + 8 * node + 8, cv.begin());
  return cv;
}

class CommitShapes : public ::testing::TestWithParam<Matrix> {};

// Shapes from one chunk up to 2^10 chunks, as rows x cols of real contexts.
INSTANTIATE_TEST_SUITE_P(Matrices, CommitShapes,
                         ::testing::Values(Matrix{16, 64}, Matrix{128, 16}, Matrix{128, 64},
                                           Matrix{256, 128}, Matrix{512, 2048}),
                         [](const ::testing::TestParamInfo<Matrix>& info) {
                           return std::to_string(info.param.rows) + "x" +
                                  std::to_string(info.param.cols);
                         });

TEST_P(CommitShapes, PingPongRootMatchesReference) {
  const Matrix shape = GetParam();
  const std::vector<int8_t> data = matrix_bytes(shape, shape.rows);
  const Cv key = test::random_cv(3);
  const int64_t chunks = shape.rows * shape.cols / 1024;
  std::vector<uint32_t> first(8 * chunks), second(8 * chunks);
  Cv root;
  test::HostTreeExec exec;
  commit::commit_pingpong(exec, data.data(), shape.rows, shape.cols, key.data(), first.data(),
                          second.data(), root.data());
  EXPECT_EQ(root, ref::commit(key, data.data(), int64_t(data.size())));
  int levels = 0;
  while ((int64_t(1) << levels) < chunks) ++levels;
  EXPECT_EQ(exec.launches, 1 + levels);
}

TEST_P(CommitShapes, FullTreeMatchesReferenceNodeForNode) {
  const Matrix shape = GetParam();
  const std::vector<int8_t> data = matrix_bytes(shape, shape.rows + 1);
  const Cv key = test::random_cv(4);
  const int64_t chunks = shape.rows * shape.cols / 1024;
  std::vector<uint32_t> tree(16 * chunks), prefix(8 * chunks);
  Cv root;
  test::HostTreeExec exec;
  commit::commit_full_tree(exec, data.data(), shape.rows, shape.cols, key.data(), tree.data(),
                           prefix.data(), root.data());
  const ref::FullTree expected = ref::commit_full(key, data.data(), int64_t(data.size()));
  ASSERT_EQ(int64_t(expected.nodes.size()), chunks == 1 ? 1 : 2 * chunks - 1);
  for (size_t i = 0; i < expected.nodes.size(); ++i) EXPECT_EQ(cv_at(tree, i), expected.nodes[i]);
  for (int64_t c = 0; c < chunks; ++c) EXPECT_EQ(cv_at(prefix, c), expected.prefixes[c]);
  EXPECT_EQ(root, expected.root);
  EXPECT_EQ(expected.root_node, chunks == 1 ? 0 : 2 * chunks - 2);
  // Both forms give one root.
  EXPECT_EQ(root, ref::commit(key, data.data(), int64_t(data.size())));
}

TEST(Commit, TwoChunkRootIsTheStandardKeyedHash) {
  const Cv key = test::random_cv(5);
  const std::vector<uint8_t> raw = test::random_bytes(2048, 6);
  std::vector<uint32_t> first(16), second(16);
  Cv root;
  test::HostTreeExec exec;
  commit::commit_pingpong(exec, reinterpret_cast<const int8_t*>(raw.data()), 2, 1024, key.data(),
                          first.data(), second.data(), root.data());
  EXPECT_EQ(ref::to_hex(root), test::b3sum_hex(raw, &key));
  EXPECT_EQ(exec.launches, 2);
}

TEST(Commit, PrefixFinishedWithLastBlockGivesChunkValue) {
  const Cv key = test::random_cv(13);
  const std::vector<int8_t> data = matrix_bytes({8, 1024}, 14);
  const ref::FullTree tree = ref::commit_full(key, data.data(), int64_t(data.size()));
  for (int64_t c = 0; c < 8; ++c) {
    const int8_t* last = data.data() + 1024 * c + 960;
    EXPECT_EQ(ref::finish_chunk(tree.prefixes[c], last, c), tree.nodes[c]);
    Cv device;
    blake3::chunk_cv_from_prefix(tree.prefixes[c].data(), last, c, device.data());
    EXPECT_EQ(device, tree.nodes[c]);
  }
}

TEST(Commit, ChangeInOneChunkTouchesOnlyItsPath) {
  const Cv key = test::random_cv(15);
  std::vector<int8_t> data = matrix_bytes({16, 1024}, 16);
  const ref::FullTree before = ref::commit_full(key, data.data(), int64_t(data.size()));
  const int64_t changed = 5;
  data[1024 * changed + 1000] ^= 1;
  const ref::FullTree after = ref::commit_full(key, data.data(), int64_t(data.size()));
  // Path of chunk 5 through levels of 16, 8, 4, 2, 1 nodes.
  std::vector<int64_t> path;
  for (int64_t start = 0, count = 16, i = changed; count >= 1; start += count, count /= 2, i /= 2) {
    path.push_back(start + i);
  }
  for (size_t node = 0; node < before.nodes.size(); ++node) {
    const bool on_path = std::find(path.begin(), path.end(), int64_t(node)) != path.end();
    EXPECT_EQ(before.nodes[node] != after.nodes[node], on_path) << "node " << node;
  }
}

TEST(Commit, TruncatesBytesPastTheLastWholeChunk) {
  // 3.5 chunks: the half chunk is not hashed and the odd third chunk never
  // reaches the root, as the launchers pair nodes 2i and 2i+1 only.
  const Cv key = test::random_cv(17);
  const std::vector<int8_t> data = matrix_bytes({7, 512}, 18);
  std::vector<uint32_t> first(24), second(24);
  Cv root;
  test::HostTreeExec exec;
  commit::commit_pingpong(exec, data.data(), 7, 512, key.data(), first.data(), second.data(),
                          root.data());
  EXPECT_EQ(root, ref::commit(key, data.data(), 2048));
}

}  // namespace
}  // namespace quorl
