// The verifier's C API against attempts rebuilt by the reference model: honest
// records pass, each wrong claim is named, bad records are refused with a
// reason, and records survive a JSON round trip.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "quorl_ref/bonly.hpp"
#include "quorl_ref/commit.hpp"
#include "quorl_ref/engine_messages.hpp"
#include "quorl_ref/grid.hpp"
#include "quorl_ref/matrix_gen.hpp"
#include "quorl_ref/noise.hpp"
#include "quorl_verify.h"

namespace {

using quorl::ref::Cv;
constexpr int kM = 128, kN = 256, kK = 256;

void put(const Cv& cv, uint32_t out[8]) { std::copy(cv.begin(), cv.end(), out); }
Cv get(const uint32_t words[8]) { return Cv{words[0], words[1], words[2], words[3], words[4], words[5], words[6], words[7]}; }

// An honest full-mode record of seeds (3, 4) claiming `cell`, with the
// reference's roots, seeds and cell hash.
QvRecord honest_full(int32_t cell, std::vector<uint32_t>* message = nullptr) {
  QvRecord r{};
  r.mode = QV_MODE_FULL;
  r.m = kM, r.n = kN, r.k = kK;
  r.seed_a = 3, r.seed_b = 4;
  const Cv key{1, 2, 3, 4, 5, 6, 7, 8};
  put(key, r.key);
  const auto a = quorl::ref::generate(3, int64_t(kM) * kK), b = quorl::ref::generate(4, int64_t(kN) * kK);
  const Cv a_hash = quorl::ref::commit(key, a.data(), int64_t(a.size()));
  const Cv b_hash = quorl::ref::commit(key, b.data(), int64_t(b.size()));
  const auto seeds = quorl::ref::derive_seeds(key, a_hash, b_hash);
  put(a_hash, r.a_hash), put(b_hash, r.b_hash), put(seeds.a_seed, r.a_seed), put(seeds.b_seed, r.b_seed);
  r.found = cell;
  const auto an = quorl::ref::noised_operand(a.data(), kM, kK, seeds.a_seed, quorl::ref::a_tag());
  const auto bn = quorl::ref::noised_operand(b.data(), kN, kK, seeds.b_seed, quorl::ref::b_tag());
  const quorl::ref::Block block = quorl::ref::standard_cell_messages(an.data(), bn.data(), kM, kN, kK)[size_t(cell)];
  if (message) message->assign(block.begin(), block.end());
  put(quorl::ref::keyed_hash_block(seeds.a_seed, block), r.hash);
  r.has_hash = 1;
  put(get(r.hash), r.target);  // the bound is inclusive: hash == target meets it
  return r;
}

TEST(Verify, HonestFullRecordsPassAndTheirCellsMatchTheReferenceGrid) {
  for (const int32_t cell : {0, 5, 3 * 4 + 2, quorl::ref::standard_grid_rows(kM) * 4 - 1}) {
    std::vector<uint32_t> want;
    const QvRecord r = honest_full(cell, &want);
    QvVerdict v;
    char error[128];
    ASSERT_EQ(qv_verify(&r, 1, &v, error, sizeof error), QV_OK) << error << " cell " << cell;
    EXPECT_EQ(v.fault, QV_FAULT_NONE);
    EXPECT_EQ(std::vector<uint32_t>(v.message, v.message + 16), want) << "cell " << cell;
    EXPECT_EQ(want[2], 0u);  // k = 256 fills two words only

    uint32_t message[16], hash[8];
    ASSERT_EQ(qv_cell(&r, cell, 2, message, hash, error, sizeof error), QV_OK) << error;
    EXPECT_EQ(std::vector<uint32_t>(message, message + 16), want);
    EXPECT_EQ(get(hash), get(r.hash));
  }
}

TEST(Verify, EachWrongClaimIsNamed) {
  const QvRecord honest = honest_full(9);
  struct Case {
    const char* what;
    void (*spoil)(QvRecord&);
    int fault;
  };
  const Case cases[] = {
      {"a_hash", [](QvRecord& r) { r.a_hash[3] ^= 1; }, QV_FAULT_A_HASH},
      {"b_hash", [](QvRecord& r) { r.b_hash[0] ^= 1; }, QV_FAULT_B_HASH},
      {"b_seed", [](QvRecord& r) { r.b_seed[7] ^= 1; }, QV_FAULT_B_SEED},
      {"a_seed", [](QvRecord& r) { r.a_seed[1] ^= 1; }, QV_FAULT_A_SEED},
      {"hash", [](QvRecord& r) { r.hash[0] ^= 1; }, QV_FAULT_HASH},
      {"another cell", [](QvRecord& r) { r.found = 10; }, QV_FAULT_HASH},
      {"target one below the hash",
       [](QvRecord& r) {
         int w = 0;  // subtract 1 from the 256-bit target
         while (r.target[w] == 0) r.target[w++] = 0xFFFFFFFFu;
         r.target[w] -= 1;
       },
       QV_FAULT_TARGET},
      {"seeds from another job", [](QvRecord& r) { r.seed_b = 5; }, QV_FAULT_B_HASH},
  };
  for (const Case& c : cases) {
    QvRecord r = honest;
    c.spoil(r);
    QvVerdict v;
    EXPECT_EQ(qv_verify(&r, 1, &v, nullptr, 0), QV_INVALID) << c.what;
    EXPECT_EQ(v.fault, c.fault) << c.what;
  }
  // Without a claimed hash the cell is judged by the target alone.
  QvRecord r = honest;
  r.has_hash = 0;
  QvVerdict v;
  EXPECT_EQ(qv_verify(&r, 1, &v, nullptr, 0), QV_OK);
  for (uint32_t& w : r.target) w = 0;
  EXPECT_EQ(qv_verify(&r, 1, &v, nullptr, 0), QV_INVALID);
  EXPECT_EQ(v.fault, QV_FAULT_TARGET);
}

// A record that claims no hash carries whatever its hash field happens to
// hold (a zeroed struct, a reused one): none of it may be compared.
TEST(Verify, AnUnclaimedHashFieldIsNeverCompared) {
  const QvRecord honest = honest_full(9);
  struct Case {
    const char* what;
    void (*fill)(uint32_t hash[8]);
  };
  const Case cases[] = {
      {"zeroed", [](uint32_t h[8]) { std::fill(h, h + 8, 0u); }},
      {"one bit off", [](uint32_t h[8]) { h[0] ^= 1; }},
      {"all ones", [](uint32_t h[8]) { std::fill(h, h + 8, 0xFFFFFFFFu); }},
  };
  for (const Case& c : cases) {
    QvRecord r = honest;
    r.has_hash = 0;
    c.fill(r.hash);
    QvVerdict v;
    char error[128] = "";
    EXPECT_EQ(qv_verify(&r, 1, &v, error, sizeof error), QV_OK) << c.what << ": " << error;
    EXPECT_EQ(v.fault, QV_FAULT_NONE) << c.what;
    EXPECT_EQ(get(v.hash), get(honest.hash)) << c.what << ": the verdict holds the true hash";
  }
}

TEST(Verify, BonlyRootsReplayEveryNonceSincePreparation) {
  // 64 chunks in B; runs shorter and longer than the chunk count.
  const Cv key{9, 8, 7, 6, 5, 4, 3, 2};
  const uint64_t prepare = 77;
  for (const auto& [first, last] : {std::pair<uint64_t, uint64_t>{5, 5}, {10, 40}, {1000, 1000 + 150},
                                    {~uint64_t(0) - 70, ~uint64_t(0)}}) {
    const auto a = quorl::ref::generate(prepare, int64_t(kM) * kK);
    std::vector<uint64_t> nonces;
    for (uint64_t x = first;; ++x) {
      nonces.push_back(x);
      if (x == last) break;
    }
    const Cv a_hash = quorl::ref::commit(key, a.data(), int64_t(a.size()));
    const auto want = quorl::ref::bonly_state(
        key, a_hash, quorl::ref::generate(prepare ^ quorl::ref::kPrepareBSeedXor, int64_t(kN) * kK), nonces);

    QvRecord r{};
    r.mode = QV_MODE_BONLY;
    r.m = kM, r.n = kN, r.k = kK;
    put(key, r.key);
    r.prepare_seed = prepare, r.first_nonce = first, r.nonce = last;
    r.found = -1;
    uint32_t ah[8], bh[8], as[8], bs[8];
    ASSERT_EQ(qv_attempt_roots(&r, 1, ah, bh, as, bs, nullptr, 0), QV_OK);
    EXPECT_EQ(get(ah), a_hash);
    EXPECT_EQ(get(bh), want.tree.root) << first << ".." << last;
    EXPECT_EQ(get(bs), want.seeds.b_seed);
    EXPECT_EQ(get(as), want.seeds.a_seed);
  }
}

TEST(Verify, BadRecordsAreRefusedWithAReason) {
  struct Case {
    const char* reason;  // part of the message
    void (*spoil)(QvRecord&);
  };
  const Case cases[] = {
      {"m must be", [](QvRecord& r) { r.m = 100; }},
      {"n must be", [](QvRecord& r) { r.n = 0; }},
      {"k must be", [](QvRecord& r) { r.k = -64; }},
      {"m*k", [](QvRecord& r) { r.m = 384; }},
      {"4 GiB", [](QvRecord& r) { r.m = 1 << 20, r.n = 1 << 20, r.k = 1 << 13; }},
      {"grid", [](QvRecord& r) { r.found = kM / 2 * kN / 64; }},
      {"grid", [](QvRecord& r) { r.found = -2; }},
      {"no cell", [](QvRecord& r) { r.found = -1; }},
      {"mode", [](QvRecord& r) { r.mode = 7; }},
      {"first_nonce", [](QvRecord& r) { r.mode = QV_MODE_BONLY, r.first_nonce = 3, r.nonce = 2; }},
  };
  for (const Case& c : cases) {
    QvRecord r = honest_full(1);
    c.spoil(r);
    QvVerdict v;
    char error[128] = "";
    EXPECT_EQ(qv_verify(&r, 1, &v, error, sizeof error), QV_BAD_RECORD) << c.reason;
    EXPECT_NE(std::string(error).find(c.reason), std::string::npos) << error;
  }
  const QvRecord r = honest_full(1);
  uint32_t message[16], hash[8];
  char error[128] = "";
  EXPECT_EQ(qv_cell(&r, kM / 2 * kN / 64, 1, message, hash, error, sizeof error), QV_BAD_RECORD);
  EXPECT_NE(std::string(error).find("outside"), std::string::npos) << error;
  EXPECT_EQ(qv_verify(nullptr, 1, nullptr, error, sizeof error), QV_BAD_RECORD);
}

TEST(VerifyRecordJson, RoundTripsBothModes) {
  QvRecord full = honest_full(6);
  QvRecord bonly = full;
  bonly.mode = QV_MODE_BONLY, bonly.prepare_seed = ~uint64_t(0), bonly.first_nonce = 12, bonly.nonce = 99;
  bonly.has_hash = 0, bonly.found = -1;
  for (const QvRecord& r : {full, bonly}) {
    char text[2048];
    const size_t need = qv_format_record(&r, text, sizeof text);
    ASSERT_LT(need, sizeof text);
    QvRecord back;
    char error[128];
    ASSERT_EQ(qv_parse_record(text, need, &back, error, sizeof error), QV_OK) << error << "\n" << text;
    char again[2048];
    qv_format_record(&back, again, sizeof again);
    EXPECT_STREQ(text, again);
  }
  char tiny[8];
  const size_t need = qv_format_record(&full, tiny, sizeof tiny);
  EXPECT_GT(need, sizeof tiny);
  EXPECT_EQ(std::string(tiny).size(), sizeof tiny - 1);  // truncated, still terminated
}

TEST(VerifyRecordJson, MalformedTextIsRefusedWithAReason) {
  char good[2048];
  const QvRecord honest = honest_full(6);
  qv_format_record(&honest, good, sizeof good);
  const std::string g = good;
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string s = g;
    s.replace(s.find(from), from.size(), to);
    return s;
  };
  const std::string key = "\"key\":\"" + g.substr(g.find("\"key\":\"") + 7, 64) + "\"";
  struct Case {
    std::string text, reason;
  };
  const Case cases[] = {
      {"", "expected '{'"},
      {"[]", "expected '{'"},
      {g + "x", "text after"},
      {g.substr(0, g.size() - 1), "expected ',' or '}'"},
      {replaced("\"m\":128", "\"m\":12.8"), "integers"},
      {replaced("\"m\":128", "\"m\":\"128\""), "m must be an integer"},
      {replaced("\"m\":128", "\"m\":100"), ""},  // parses; the verifier refuses the shape
      {replaced("\"m\":128", "\"m\":99999999999"), "below 2^31"},
      {replaced("\"seed_a\":3", "\"seed_a\":-3"), "unsigned"},
      {replaced("\"seed_a\":3", "\"seed_a\":18446744073709551616"), "unsigned"},
      {replaced(key, "\"key\":\"00\""), "key must be 64 hex digits"},
      {replaced(key, key.substr(0, 20) + "zz" + key.substr(22)), "key must be 64 hex digits"},
      {replaced("\"mode\":\"full\"", "\"mode\":\"half\""), "mode must be"},
      {replaced("\"found\":6", "\"found\":-7"), "found must be"},
      {replaced("\"seed_b\":4", "\"seed_a\":4"), "given twice"},
      {replaced(",\"seed_b\":4", ""), "lacks seed_b"},
      {replaced("\"mode\":\"full\"", "\"mode\":\"bonly\""), "lacks prepare_seed"},
      {replaced("\"mode\"", "\"mo\\de\""), "escapes"},
      {replaced("{", "{\"note\":\"mined on a Tuesday\",\"attempt\":12,"), ""},  // unknown fields pass
  };
  for (const Case& c : cases) {
    QvRecord r;
    char error[256] = "";
    const int status = qv_parse_record(c.text.data(), c.text.size(), &r, error, sizeof error);
    if (c.reason.empty()) {
      EXPECT_EQ(status, QV_OK) << c.text << ": " << error;
    } else {
      EXPECT_EQ(status, QV_BAD_RECORD) << c.text;
      EXPECT_NE(std::string(error).find(c.reason), std::string::npos) << c.text << ": " << error;
    }
  }
}

}  // namespace
