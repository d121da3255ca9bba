// The verifier's pool call: a share (seeds or a nonce run, and a cell) checked
// against the job a pool issued, with the reference model as the oracle.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "quorl_ref/attempt.hpp"
#include "quorl_ref/engine_messages.hpp"
#include "quorl_ref/grid.hpp"
#include "quorl_verify.h"

namespace {

using quorl::ref::Cv;
constexpr int kM = 128, kN = 256, kK = 256;  // 64 chunks of B, 64 x 4 cells, two message words
constexpr int32_t kCells = kM / 2 * (kN / 64);
constexpr uint32_t kSpace = 0x5eed0001;

Cv get(const uint32_t words[8]) {
  Cv cv;
  std::copy(words, words + 8, cv.begin());
  return cv;
}

QvJob job_of(int mode) {
  QvJob job{};
  job.mode = mode;
  job.m = kM, job.n = kN, job.k = kK;
  const Cv key{11, 12, 13, 14, 15, 16, 17, 18};
  std::copy(key.begin(), key.end(), job.key);
  std::fill(job.target, job.target + 8, ~0u);  // every cell meets it
  job.max_nonces = mode == QV_MODE_BONLY ? 1000 : 0;
  job.extranonce = kSpace;
  return job;
}

QvShare full_share(int32_t cell) {
  QvShare s{};
  s.seed_a = uint64_t(kSpace) << 32 | 7;
  s.seed_b = 0xfeedface12345678ull;
  s.found = cell;
  return s;
}

QvShare bonly_share(uint64_t first, uint64_t last, int32_t cell) {
  QvShare s{};
  s.prepare_seed = uint64_t(kSpace) << 32 | 3;
  s.first_nonce = first, s.nonce = last;
  s.found = cell;
  return s;
}

// The reference attempt a share names.
quorl::ref::AttemptOperands reference_attempt(const QvJob& job, const QvShare& s) {
  const quorl::ref::Dims d{job.m, job.n, job.k};
  if (job.mode == QV_MODE_FULL) return quorl::ref::full_attempt(get(job.key), s.seed_a, s.seed_b, d);
  std::vector<uint64_t> nonces;
  for (uint64_t x = s.first_nonce;; ++x) {
    nonces.push_back(x);
    if (x == s.nonce) break;
  }
  return quorl::ref::bonly_attempt(get(job.key), s.prepare_seed, nonces, d);
}

Cv reference_hash(const quorl::ref::AttemptOperands& op, int32_t cell) {
  const auto messages = quorl::ref::standard_cell_messages(op.a.data(), op.b.data(), kM, kN, kK);
  return quorl::ref::keyed_hash_block(op.seeds.a_seed, messages[size_t(cell)]);
}

TEST(ShareCheck, HonestSharesOfBothModesAreAcceptedWithTheReferenceCell) {
  struct Case {
    const char* what;
    QvJob job;
    QvShare share;
  };
  const Case cases[] = {
      {"full", job_of(QV_MODE_FULL), full_share(37)},
      {"bonly, one nonce", job_of(QV_MODE_BONLY), bonly_share(500, 500, 0)},
      {"bonly, a run longer than the chunk count", job_of(QV_MODE_BONLY), bonly_share(20, 20 + 150, kCells - 1)},
  };
  for (const Case& c : cases) {
    const auto op = reference_attempt(c.job, c.share);
    QvShareVerdict v;
    char error[128] = "";
    ASSERT_EQ(qv_check_share(&c.job, &c.share, 2, &v, error, sizeof error), QV_OK) << c.what << ": " << error;
    EXPECT_EQ(v.reason, QV_SHARE_ACCEPTED) << c.what;
    EXPECT_EQ(v.stratum_code, 0) << c.what;
    ASSERT_EQ(v.has_cell, 1) << c.what;
    EXPECT_EQ(get(v.hash), reference_hash(op, c.share.found)) << c.what;
    EXPECT_EQ(get(v.a_hash), op.a_hash) << c.what;
    EXPECT_EQ(get(v.b_hash), op.b_hash) << c.what;
    EXPECT_EQ(get(v.a_seed), op.seeds.a_seed) << c.what;
    EXPECT_EQ(get(v.b_seed), op.seeds.b_seed) << c.what;
  }
}

TEST(ShareCheck, TheTargetBoundIsInclusive) {
  for (const int mode : {QV_MODE_FULL, QV_MODE_BONLY}) {
    QvJob job = job_of(mode);
    const QvShare share = mode == QV_MODE_FULL ? full_share(9) : bonly_share(4, 9, 9);
    const Cv hash = reference_hash(reference_attempt(job, share), share.found);
    std::copy(hash.begin(), hash.end(), job.target);
    QvShareVerdict v;
    EXPECT_EQ(qv_check_share(&job, &share, 1, &v, nullptr, 0), QV_OK) << mode;

    int w = 0;  // the target one below the hash
    while (job.target[w] == 0) job.target[w++] = ~0u;
    job.target[w] -= 1;
    ASSERT_EQ(qv_check_share(&job, &share, 1, &v, nullptr, 0), QV_INVALID) << mode;
    EXPECT_EQ(v.reason, QV_SHARE_ABOVE_TARGET);
    EXPECT_EQ(v.stratum_code, 23);
    EXPECT_EQ(v.has_cell, 1);
    EXPECT_EQ(get(v.hash), hash) << "the refused cell's hash is reported";
  }
}

TEST(ShareCheck, SharesOutsideTheConnectionsSpaceOrGridAreRefusedBeforeAnyWork) {
  struct Case {
    const char* what;
    int mode;
    void (*spoil)(QvJob&, QvShare&);
    int reason;
  };
  const Case cases[] = {
      {"seed_a of another connection", QV_MODE_FULL, [](QvJob&, QvShare& s) { s.seed_a += uint64_t(1) << 32; }, QV_SHARE_OUTSIDE_SPACE},
      {"seed_b does not name the space", QV_MODE_FULL, [](QvJob&, QvShare& s) { s.seed_a = s.seed_b; }, QV_SHARE_OUTSIDE_SPACE},
      {"prepare seed of another connection", QV_MODE_BONLY, [](QvJob&, QvShare& s) { s.prepare_seed ^= uint64_t(1) << 63; }, QV_SHARE_OUTSIDE_SPACE},
      {"run of max_nonces + 1 nonces", QV_MODE_BONLY, [](QvJob& j, QvShare& s) { s.nonce = s.first_nonce + j.max_nonces; }, QV_SHARE_OUTSIDE_SPACE},
      {"run going backwards", QV_MODE_BONLY, [](QvJob&, QvShare& s) { s.nonce = s.first_nonce - 1; }, QV_SHARE_OUTSIDE_SPACE},
      {"backwards run that wraps below an unbounded max_nonces", QV_MODE_BONLY,
       [](QvJob& j, QvShare& s) { j.max_nonces = ~uint64_t(0), s.nonce = s.first_nonce - 2; }, QV_SHARE_OUTSIDE_SPACE},
      {"found -1", QV_MODE_FULL, [](QvJob&, QvShare& s) { s.found = -1; }, QV_SHARE_NO_CELL},
      {"found past the grid", QV_MODE_FULL, [](QvJob&, QvShare& s) { s.found = kCells; }, QV_SHARE_NO_CELL},
      {"found negative, B-only", QV_MODE_BONLY, [](QvJob&, QvShare& s) { s.found = -5; }, QV_SHARE_NO_CELL},
  };
  for (const Case& c : cases) {
    QvJob job = job_of(c.mode);
    QvShare share = c.mode == QV_MODE_FULL ? full_share(1) : bonly_share(100, 110, 1);
    c.spoil(job, share);
    QvShareVerdict v;
    std::memset(&v, 0xab, sizeof v);
    char error[128] = "untouched?";
    ASSERT_EQ(qv_check_share(&job, &share, 1, &v, error, sizeof error), QV_INVALID) << c.what;
    EXPECT_EQ(v.reason, c.reason) << c.what;
    EXPECT_EQ(v.stratum_code, 20) << c.what;
    EXPECT_EQ(v.has_cell, 0) << c.what << ": nothing is rebuilt for a share outside the job";
    EXPECT_EQ(get(v.hash), Cv{}) << c.what;
  }
  // The last nonce the job allows is inside.
  const QvJob job = job_of(QV_MODE_BONLY);
  const QvShare last = bonly_share(100, 100 + job.max_nonces - 1, 1);
  QvShareVerdict v;
  EXPECT_EQ(qv_check_share(&job, &last, 1, &v, nullptr, 0), QV_OK);
}

TEST(ShareCheck, JobsTheVerifierCannotCheckAreRefusedWithAReason) {
  struct Case {
    const char* reason;  // part of the message
    void (*spoil)(QvJob&);
  };
  const Case cases[] = {
      {"mode", [](QvJob& j) { j.mode = 2; }},
      {"m must be", [](QvJob& j) { j.m = 100; }},
      {"n must be", [](QvJob& j) { j.n = -256; }},
      {"k must be", [](QvJob& j) { j.k = 0; }},
      {"n*k", [](QvJob& j) { j.n = 768; }},
      {"4 GiB", [](QvJob& j) { j.m = 1 << 20, j.n = 1 << 20, j.k = 1 << 13; }},
      {"max_nonces", [](QvJob& j) { j.mode = QV_MODE_BONLY, j.max_nonces = 0; }},
  };
  for (const Case& c : cases) {
    QvJob job = job_of(QV_MODE_FULL);
    c.spoil(job);
    char error[128] = "";
    EXPECT_EQ(qv_check_job(&job, error, sizeof error), QV_BAD_RECORD) << c.reason;
    EXPECT_NE(std::string(error).find(c.reason), std::string::npos) << error;
    const QvShare share = full_share(0);
    QvShareVerdict v;
    error[0] = '\0';
    EXPECT_EQ(qv_check_share(&job, &share, 1, &v, error, sizeof error), QV_BAD_RECORD) << c.reason;
    EXPECT_NE(std::string(error).find(c.reason), std::string::npos) << error;
    QvShare canonical;
    EXPECT_EQ(qv_canonical_share(&job, &share, &canonical, nullptr, 0), QV_BAD_RECORD) << c.reason;
  }
  // A full job's max_nonces is not read.
  QvJob full = job_of(QV_MODE_FULL);
  full.max_nonces = 0;
  EXPECT_EQ(qv_check_job(&full, nullptr, 0), QV_OK);

  const QvJob job = job_of(QV_MODE_FULL);
  const QvShare share = full_share(0);
  QvShareVerdict v;
  QvShare canonical;
  char error[64] = "";
  EXPECT_EQ(qv_check_job(nullptr, error, sizeof error), QV_BAD_RECORD);
  EXPECT_STREQ(error, "no job");
  EXPECT_EQ(qv_check_share(nullptr, &share, 1, &v, error, sizeof error), QV_BAD_RECORD);
  EXPECT_EQ(qv_check_share(&job, nullptr, 1, &v, error, sizeof error), QV_BAD_RECORD);
  EXPECT_EQ(qv_check_share(&job, &share, 1, nullptr, error, sizeof error), QV_BAD_RECORD);
  EXPECT_EQ(qv_canonical_share(&job, &share, nullptr, error, sizeof error), QV_BAD_RECORD);
  EXPECT_EQ(qv_canonical_share(&job, nullptr, &canonical, error, sizeof error), QV_BAD_RECORD);
}

TEST(ShareCheck, CanonicalSharesNameTheAttempt) {
  constexpr uint64_t kChunks = uint64_t(kN) * kK / 1024;
  struct Case {
    const char* what;
    int mode;
    QvShare share, want;
  };
  QvShare full_noisy = full_share(3);
  full_noisy.prepare_seed = 1, full_noisy.first_nonce = 2, full_noisy.nonce = 3;
  QvShare bonly_noisy = bonly_share(10, 12, 4);
  bonly_noisy.seed_a = 9, bonly_noisy.seed_b = 9;
  const Case cases[] = {
      {"full: B-only fields cleared", QV_MODE_FULL, full_noisy, full_share(3)},
      {"bonly: full fields cleared, short run kept", QV_MODE_BONLY, bonly_noisy, bonly_share(10, 12, 4)},
      {"bonly: a run of exactly the chunk count is kept", QV_MODE_BONLY,
       bonly_share(50, 50 + kChunks - 1, 0), bonly_share(50, 50 + kChunks - 1, 0)},
      {"bonly: one nonce more drops the first", QV_MODE_BONLY, bonly_share(50, 50 + kChunks, 0),
       bonly_share(51, 50 + kChunks, 0)},
      {"bonly: a long run keeps its last chunk-count nonces", QV_MODE_BONLY, bonly_share(0, 999, 2),
       bonly_share(1000 - kChunks, 999, 2)},
      {"bonly: a backwards run is left as it is", QV_MODE_BONLY, bonly_share(9, 8, 2), bonly_share(9, 8, 2)},
  };
  for (const Case& c : cases) {
    QvJob job = job_of(c.mode);
    QvShare got;
    std::memset(&got, 0xcd, sizeof got);
    ASSERT_EQ(qv_canonical_share(&job, &c.share, &got, nullptr, 0), QV_OK) << c.what;
    EXPECT_EQ(got.seed_a, c.want.seed_a) << c.what;
    EXPECT_EQ(got.seed_b, c.want.seed_b) << c.what;
    EXPECT_EQ(got.prepare_seed, c.want.prepare_seed) << c.what;
    EXPECT_EQ(got.first_nonce, c.want.first_nonce) << c.what;
    EXPECT_EQ(got.nonce, c.want.nonce) << c.what;
    EXPECT_EQ(got.found, c.want.found) << c.what;
  }
  // The canonical form searched the same matrices: same roots, same cell hash.
  const QvJob job = job_of(QV_MODE_BONLY);
  const QvShare longer = bonly_share(7, 7 + 3 * kChunks + 5, 6);
  QvShare canonical;
  ASSERT_EQ(qv_canonical_share(&job, &longer, &canonical, nullptr, 0), QV_OK);
  ASSERT_NE(canonical.first_nonce, longer.first_nonce);
  QvShareVerdict a, b;
  ASSERT_EQ(qv_check_share(&job, &longer, 1, &a, nullptr, 0), QV_OK);
  ASSERT_EQ(qv_check_share(&job, &canonical, 1, &b, nullptr, 0), QV_OK);
  EXPECT_EQ(get(a.b_hash), get(b.b_hash));
  EXPECT_EQ(get(a.hash), get(b.hash));
  EXPECT_EQ(get(a.b_hash), reference_attempt(job, longer).b_hash);
}

TEST(ShareCheck, ReasonTextsAreThePoolsMessages) {
  const std::pair<int, const char*> cases[] = {
      {QV_SHARE_ACCEPTED, ""},
      {QV_SHARE_OUTSIDE_SPACE, "outside your seed space"},
      {QV_SHARE_NO_CELL, "invalid share"},
      {QV_SHARE_ABOVE_TARGET, "share above target"},
      {-1, ""},
      {4, ""},
  };
  for (const auto& [reason, text] : cases) EXPECT_STREQ(qv_share_reason_text(reason), text) << reason;
}

}  // namespace
