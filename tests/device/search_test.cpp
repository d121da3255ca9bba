// Device tier: the label GEMM's search on every build the GPU can run (its
// own, fallback, sm89 through its PTX, and sm120a in the GPU check's build),
// against the reference model's cell messages and qualifying cells. The
// search mode is fixed per process, so the separate and skipped modes run in
// child processes of this binary. Skips without a GPU.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "../support/borrowed_builds.h"
#include "../support/child_process.h"
#include "../support/device_env.h"
#include "../support/search_env.h"
#include "quorl_ref/search.hpp"

namespace quorl {
namespace {

struct Dims {
  int m, n, k;
};

// k = 64 (no slice), 128 (one), 1024, 2048 and 4096 (32 k-blocks, of which
// 16 enter a message; planes 16..31 of xored stay zero); several m and n.
// (k = 2560 makes no power-of-two chunk count, so no context accepts it; the
// host tier covers it.)
const Dims kShapes[] = {{128, 256, 64},    {256, 512, 128},  {512, 256, 1024},
                        {256, 1024, 2048}, {128, 256, 4096}};

struct Job {
  Dims d;
  ref::Labelling labels;
  std::vector<int8_t> a, b;
  ref::Cv key;
  std::vector<uint32_t> messages;
  std::vector<bool> hashed;

  Job(Dims d_, ref::Labelling l, uint32_t seed) : d(d_), labels(std::move(l)) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> value(-128, 127);
    a.resize(size_t(d.m) * d.k);
    b.resize(size_t(d.n) * d.k);
    for (auto& x : a) x = int8_t(value(rng));
    for (auto& x : b) x = int8_t(value(rng));
    for (auto& w : key) w = rng();
    messages = ref::cell_messages(a.data(), b.data(), d.m, d.n, d.k, labels);
    hashed = ref::hashed_cells(d.m, d.n, labels);
  }

  // Cells hashed by the fused epilogue, or every cell by the bound kernel.
  std::vector<int32_t> qualifying(const ref::Cv& target, bool every_cell) const {
    return ref::qualifying_cells(messages, key, target, every_cell ? nullptr : &hashed);
  }

  // The n-th lowest bound hash among the cells the mode hashes: at least n
  // cells meet it (exactly n unless hashes repeat, as for empty cells).
  ref::Cv nth_lowest_hash(size_t n, bool every_cell) const {
    std::vector<ref::Cv> hashes;
    for (size_t cell = 0; cell < hashed.size(); ++cell) {
      if (every_cell || hashed[cell]) hashes.push_back(ref::bound_hash(key, &messages[cell * 16]));
    }
    std::sort(hashes.begin(), hashes.end(), [](const ref::Cv& x, const ref::Cv& y) {
      return ref::meets_target(x, y) && x != y;
    });
    return hashes[n - 1];
  }
};

QkHandle* open(const test::BuildName& build, const Job& job) {
  ::setenv("QUORL_KERNEL_VARIANT", build.name, 1);
  QkHandle* h = qk_init(0, job.d.m, job.d.n, job.d.k, job.labels.row_groups,
                        job.labels.col_groups, job.labels.row_group.data(),
                        job.labels.col_group.data());
  ::unsetenv("QUORL_KERNEL_VARIANT");
  if (h != nullptr) EXPECT_EQ(h->variant, build.variant) << build.name;
  return h;
}

const char* mode() { return test::mode_name(test::expected_search_mode()); }

bool contains(const std::vector<int32_t>& cells, int32_t cell) {
  return std::find(cells.begin(), cells.end(), cell) != cells.end();
}

// One job through qk_mine, qk_run and qk_run_async in the process's mode.
void check_job(const test::BuildName& build, const Job& job) {
  const std::string m = mode();
  const bool separate = m == "separate", skipped = m == "skip";
  QkHandle* h = open(build, job);
  ASSERT_NE(h, nullptr);
  ref::Cv all, zero{};
  all.fill(0xFFFFFFFFu);

  int32_t found = qk_mine(h, job.a.data(), job.b.data(), job.key.data(), all.data());
  if (skipped) {
    EXPECT_EQ(found, -1) << "the skipped bound reports nothing";
  } else {
    EXPECT_TRUE(contains(job.qualifying(all, separate), found)) << found;
  }
  found = qk_mine(h, job.a.data(), job.b.data(), job.key.data(), zero.data());
  EXPECT_EQ(found, -1);

  if (!skipped && job.d.k >= 128) {
    // One qualifying cell: qk_mine and two qk_run agree on it.
    const ref::Cv one = job.nth_lowest_hash(1, separate);
    const auto expected = job.qualifying(one, separate);
    found = qk_mine(h, job.a.data(), job.b.data(), job.key.data(), one.data());
    EXPECT_TRUE(contains(expected, found)) << found;
    if (expected.size() == 1) {
      EXPECT_EQ(qk_run(h), found);
      EXPECT_EQ(qk_run(h), found);
    }
    // Two qualifying cells: one of them, whichever the device saw first.
    const ref::Cv two = job.nth_lowest_hash(2, separate);
    ASSERT_EQ(qk_set_job(h, job.key.data(), two.data()), 0);  // installs the target
    const auto pair = job.qualifying(two, separate);
    EXPECT_GE(pair.size(), 2u);
    EXPECT_TRUE(contains(pair, qk_run(h)));
  }

  if (separate) {
    qk_run_async(h);
    std::vector<uint32_t> xored(size_t(job.d.k / 128) * job.labels.row_groups *
                                job.labels.col_groups);
    ASSERT_EQ(qk_get_xored(h, xored.data()), 0);
    EXPECT_EQ(xored, ref::xored_planes(job.messages, job.d.k / 128, job.labels));
  }
  qk_free(h);
}

// Non-standard labellings the label-driven builds honour (sm120a computes
// the standard grid whatever the labels).
ref::Labelling non_standard(int m, int n) {
  ref::Labelling g = ref::standard_labelling(m, n);
  for (auto& r : g.row_group) r += 3;   // offset rows
  g.row_groups += 3;
  g.row_group[16 + 2] = -1;             // an excluded representative row
  g.col_group[256 + 4] = -1;            // an excluded representative column
  for (int c = 0; c < 256; ++c) {       // mirrored columns in tile column 0
    const int gamma = g.col_group[c] % 4;
    if (g.col_group[c] >= 0) g.col_group[c] += (4 - gamma) % 4 - gamma;
  }
  g.col_groups -= 1;                    // the last window column lies outside the grid
  return g;
}

bool listed(const std::vector<test::BuildName>& builds, int variant) {
  return std::any_of(builds.begin(), builds.end(),
                     [&](const test::BuildName& b) { return b.variant == variant; });
}

// The builds running gemm_g (h100tma's engines have their own device tier),
// with those this GPU can borrow: sm89 through its PTX, sm120a in the GPU
// check's build.
std::vector<test::BuildName> gemm_builds() {
  std::vector<test::BuildName> builds;
  for (const test::BuildName& build : test::runnable_builds()) {
    if (build.variant != QK_VARIANT_H100TMA) builds.push_back(build);
  }
  std::string why;
  if (!listed(builds, QK_VARIANT_SM120A) && test::sm120a_runs_here(&why)) {
    builds.push_back({"sm120a", QK_VARIANT_SM120A});
  }
  if (!listed(builds, QK_VARIANT_SM89) && test::sm89_through_ptx_here()) {
    builds.push_back({"sm89", QK_VARIANT_SM89});
  }
  return builds;
}

TEST(DeviceSearch, StandardLabellingMatchesTheReference) {
  QK_REQUIRE_GPU();
  for (const Dims& d : kShapes) {
    const Job job(d, ref::standard_labelling(d.m, d.n), uint32_t(d.k + d.m));
    for (const test::BuildName& build : gemm_builds()) {
      SCOPED_TRACE(::testing::Message() << build.name << " " << d.m << "x" << d.n << "x" << d.k
                                        << " " << mode());
      check_job(build, job);
    }
  }
}

TEST(DeviceSearch, NonStandardLabellingsMatchTheReference) {
  QK_REQUIRE_GPU();
  for (const Dims& d : {Dims{256, 512, 256}, Dims{512, 512, 2048}}) {
    const Job job(d, non_standard(d.m, d.n), 77);
    for (const test::BuildName& build : gemm_builds()) {
      if (build.variant == QK_VARIANT_SM120A) continue;
      SCOPED_TRACE(::testing::Message() << build.name << " " << d.m << "x" << d.n << "x" << d.k
                                        << " " << mode());
      check_job(build, job);
    }
  }
}

// The DeviceSearch tests again, in a child whose environment sets the mode.
void expect_mode_passes(const std::string& env, const std::string& child_mode) {
  test::expect_child_passes(env + " QK_SEARCH_TEST_MODE=" + child_mode, "DeviceSearch.*");
}

TEST(DeviceSearchModes, SeparateBoundMatchesTheReference) {
  QK_REQUIRE_GPU();
  QK_SKIP_WHERE_NO_CHILDREN();
  expect_mode_passes("SEPARATE_BOUND=1 FUSED_BOUND=1", "separate");
  expect_mode_passes("FUSED_BOUND=off", "separate");
}

TEST(DeviceSearchModes, SkippedBoundReportsNothing) {
  QK_REQUIRE_GPU();
  QK_SKIP_WHERE_NO_CHILDREN();
  expect_mode_passes("SKIP_BOUND=0", "skip");
}

}  // namespace
}  // namespace quorl
