// qkmine mine on the CPU path and qkmine verify as a user runs them: every
// record that mine prints verifies, a tampered record does not, and bad input
// exits 2 with a reason.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "qkmine_run.h"

namespace {

using quorl::test::json_field;
using quorl::test::qkmine;

constexpr const char* kKey = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// `qkmine verify ARGS < record`.
quorl::test::QkmineResult verify(const std::string& record, const std::string& args = "") {
  const std::string path = ::testing::TempDir() + "qk_record_" + std::to_string(::getpid());
  std::ofstream(path) << record;
  return qkmine("verify " + args + " < '" + path + "'");
}

std::string replaced(std::string s, const std::string& from, const std::string& to) {
  const size_t at = s.find(from);
  if (at != std::string::npos) s.replace(at, from.size(), to);
  return s;
}

// Records of a short run at a low difficulty: most attempts find a share.
std::vector<std::string> mined(const std::string& mode_args, bool all) {
  const auto r = qkmine("mine --devices cpu --m 128 --n 256 --k 256 --difficulty 6 --attempts 4 --json --key " +
                            std::string(kKey) + " " + mode_args + (all ? " --all" : ""),
                        /*merge_stderr=*/false);
  EXPECT_EQ(r.exit_code, 0) << r.out;
  std::vector<std::string> records = lines(r.out);
  EXPECT_FALSE(records.empty());
  if (records.empty()) return records;
  EXPECT_NE(records.back().find("\"summary\":true"), std::string::npos) << records.back();
  EXPECT_NE(records.back().find("\"attempts\":4"), std::string::npos) << records.back();
  records.pop_back();
  return records;
}

TEST(QkmineMineVerify, EveryMinedRecordVerifiesInBothModes) {
  for (const std::string mode : {"--seed-a 5 --seed-b 6", "--mode bonly --prepare-seed 9 --first-nonce 100"}) {
    const std::vector<std::string> records = mined(mode, /*all=*/true);
    ASSERT_EQ(records.size(), 4u) << mode;  // --all: one per attempt
    int shares = 0;
    for (const std::string& record : records) {
      const auto v = verify(record, "--json");
      EXPECT_EQ(v.exit_code, 0) << record << "\n" << v.out;
      EXPECT_NE(v.out.find("\"valid\":true"), std::string::npos) << v.out;
      if (record.find("\"found\":-1") == std::string::npos) {
        ++shares;
        EXPECT_EQ(json_field(v.out, "hash"), json_field(record, "hash"));
        EXPECT_EQ(json_field(v.out, "message").size(), 128u);
      }
    }
    EXPECT_GT(shares, 0) << mode;
  }
  // The B-only nonces advance one per attempt from --first-nonce.
  const std::vector<std::string> bonly = mined("--mode bonly --prepare-seed 9 --first-nonce 100", true);
  ASSERT_EQ(bonly.size(), 4u);
  EXPECT_NE(bonly[3].find("\"first_nonce\":100,\"nonce\":103"), std::string::npos) << bonly[3];
}

TEST(QkmineMineVerify, TamperedRecordsAreInvalidAndOptionsMatchStdin) {
  std::vector<std::string> shares = mined("--seed-a 5 --seed-b 6", /*all=*/false);
  ASSERT_FALSE(shares.empty());
  const std::string share = shares[0];
  // Changing B's seed changes its root.
  auto v = verify(replaced(share, "\"seed_b\":", "\"seed_b\":1"), "--json");
  EXPECT_EQ(v.exit_code, 1) << v.out;
  EXPECT_EQ(json_field(v.out, "fault"), "b_hash") << v.out;
  // 66 digits is a malformed field, not a wrong claim.
  v = verify(replaced(share, "\"a_seed\":\"", "\"a_seed\":\"00"));
  EXPECT_EQ(v.exit_code, 2) << v.out;
  EXPECT_NE(v.out.find("a_seed must be 64 hex digits"), std::string::npos) << v.out;
  // A target with its top 32 bits cleared (the record is otherwise honest).
  const std::string tight = json_field(share, "target");
  std::string lowered = share;
  lowered.replace(lowered.find(tight), 64, std::string(56, 'f') + "00000000");
  v = verify(lowered);
  EXPECT_EQ(v.exit_code, 1) << v.out;
  EXPECT_NE(v.out.find("invalid: the cell's hash is above the target"), std::string::npos) << v.out;

  // The same record as options gives the same verdict.
  std::string options;
  for (const char* name : {"key", "target", "a_hash", "b_hash", "a_seed", "b_seed", "hash"}) {
    std::string option = name;
    for (char& c : option) c = c == '_' ? '-' : c;
    options += " --" + option + " " + json_field(share, name);
  }
  auto number = [&](const std::string& name) {
    const size_t at = share.find("\"" + name + "\":") + name.size() + 3;
    return share.substr(at, share.find_first_of(",}", at) - at);
  };
  options += " --mode full --m 128 --n 256 --k 256 --seed-a " + number("seed_a") + " --seed-b " +
             number("seed_b") + " --found " + number("found");
  const auto by_options = qkmine("verify --json" + options);
  EXPECT_EQ(by_options.exit_code, 0) << options << "\n" << by_options.out;
  EXPECT_EQ(by_options.out, verify(share, "--json").out);
}

TEST(QkmineMineVerify, BadInputExitsTwo) {
  const struct {
    std::string args, says;
  } cases[] = {
      {"verify --mode full --m 128", "usage: qkmine verify"},
      {"verify --threads 0 --mode full", "usage: qkmine verify"},
      {"verify --mode full --m 128 --n 256 --k 256 --key 00 --target 00", "usage: qkmine verify"},
      {"mine --devices cpu --mode half", "usage: qkmine mine"},
      {"mine --devices cpu --m 100", "usage: qkmine mine"},
      {"mine --devices cpu --difficulty 300", "usage: qkmine mine"},
      {"mine --devices cpu --target 00", "usage: qkmine mine"},
      {"mine --devices cpu --mode bonly --seed-a 1", "usage: qkmine mine"},
      {"mine --devices cpu --attempts 1 --seconds 1", "usage: qkmine mine"},
      {"mine --devices x1", "usage: qkmine mine"},
      {"mine --devices cpu --watchdog -1", "--watchdog takes a number of seconds"},
      {"mine --devices cpu --watchdog soon", "--watchdog takes a number of seconds"},
      {"mine --devices cpu --watchdog", "--watchdog needs a value"},
  };
  for (const auto& c : cases) {
    const auto r = qkmine(c.args);
    EXPECT_EQ(r.exit_code, 2) << c.args << "\n" << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << c.args << "\n" << r.out;
  }
  for (const std::string record : {std::string(""), std::string("{\"mode\":\"full\"}"), std::string("not json"),
                                   std::string("{\"mode\":\"full\",\"m\":100,\"n\":256,\"k\":64,\"key\":\"") +
                                       kKey + "\",\"target\":\"" + kKey + "\",\"seed_a\":1,\"seed_b\":2,\"a_hash\":\"" +
                                       kKey + "\",\"b_hash\":\"" + kKey + "\",\"a_seed\":\"" + kKey +
                                       "\",\"b_seed\":\"" + kKey + "\",\"found\":-1}"}) {
    const auto r = verify(record);
    EXPECT_EQ(r.exit_code, 2) << record << "\n" << r.out;
    EXPECT_NE(r.out.find("qkmine verify: bad record: "), std::string::npos) << r.out;
  }
}

}  // namespace
