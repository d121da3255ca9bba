// qkmine verify bounds the work a record can ask for: a record whose matrices
// exceed --max-bytes (256 MiB by default) is refused before anything is built.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "qkmine_run.h"
#include "quorl_verify.h"

namespace {

using quorl::test::qkmine;

quorl::test::QkmineResult verify(const QvRecord& record, const std::string& args) {
  char text[2048];
  const size_t n = qv_format_record(&record, text, sizeof text);
  EXPECT_LT(n, sizeof text);
  const std::string path = ::testing::TempDir() + "qk_bound_record_" + std::to_string(::getpid());
  std::ofstream(path) << text;
  return qkmine("verify " + args + " < '" + path + "'");
}

// A record of a full attempt claiming no share, with its true roots and seeds.
QvRecord honest(int m, int n, int k) {
  QvRecord r{};
  r.mode = QV_MODE_FULL;
  r.m = m, r.n = n, r.k = k;
  for (int i = 0; i < 8; ++i) r.key[i] = 0x01010101u * uint32_t(i);
  r.seed_a = 5, r.seed_b = 6;
  r.found = -1;
  char why[128];
  EXPECT_EQ(qv_attempt_roots(&r, 1, r.a_hash, r.b_hash, r.a_seed, r.b_seed, why, sizeof why), QV_OK) << why;
  return r;
}

TEST(QkmineVerifyBound, RecordsAboveTheBoundAreRefusedWithTheirSize) {
  const QvRecord small = honest(128, 256, 256);  // 96 KiB of A and B
  const uint64_t bytes = (128 + 256) * 256;
  struct Case {
    const char* what;
    QvRecord record;
    std::string args;
    int exit_code;
    std::string says;
  };
  QvRecord huge = small;  // the 4 GiB claim of a 200-byte record
  huge.m = huge.n = 1 << 20, huge.k = 2048;
  const Case cases[] = {
      {"at the bound", small, "--max-bytes " + std::to_string(bytes), 0, "valid"},
      {"one byte above it", small, "--max-bytes " + std::to_string(bytes - 1), 2,
       "bad record: its matrices take 98304 bytes, above --max-bytes 98303"},
      {"huge claim, default bound", huge, "", 2,
       "bad record: its matrices take 4294967296 bytes, above --max-bytes 268435456"},
      {"huge claim, hex bound", huge, "--max-bytes 0x10000", 2, "above --max-bytes 65536"},
  };
  for (const Case& c : cases) {
    const auto r = verify(c.record, c.args);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.what << "\n" << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << c.what << "\n" << r.out;
  }
}

TEST(QkmineVerifyBound, TheBoundMustBeAPositiveByteCount) {
  for (const std::string bad : {"0", "-1", "lots", "1e9"}) {
    const auto r = qkmine("verify --max-bytes " + bad + " < /dev/null");
    EXPECT_EQ(r.exit_code, 2) << bad;
    EXPECT_NE(r.out.find("--max-bytes takes a positive number of bytes"), std::string::npos) << r.out;
  }
}

}  // namespace
