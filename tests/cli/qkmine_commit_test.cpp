// qkmine commit as a user runs it: roots on the CPU path equal b3sum of the
// generated matrices; bad usage exits 2 with a usage line.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "../support/b3sum.h"
#include "qkmine_run.h"
#include "quorl_ref/hex.hpp"
#include "quorl_ref/matrix_gen.hpp"

namespace {

using Result = quorl::test::QkmineResult;
using quorl::test::qkmine;

std::string field(const std::string& json, const std::string& name) {
  return quorl::test::json_field(json, name);
}

constexpr const char* kKey = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

TEST(QkmineCommit, CpuRootsAreTheKeyedHashesOfTheGeneratedMatrices) {
  const Result r = qkmine(std::string("commit --m 256 --n 512 --k 128 --seed-a 0x10 --seed-b 17 "
                                      "--key ") + kKey + " --device cpu --json");
  ASSERT_EQ(r.exit_code, 0) << r.out;
  const quorl::ref::Cv key = *quorl::ref::parse_hex32(kKey);
  for (const auto& [name, seed, bytes] :
       {std::tuple{"a_hash", 0x10, 256 * 128}, std::tuple{"b_hash", 17, 512 * 128}}) {
    const std::vector<int8_t> m = quorl::ref::generate(seed, bytes);
    EXPECT_EQ(field(r.out, name), quorl::test::b3sum_hex({m.begin(), m.end()}, &key)) << name;
  }
  EXPECT_EQ(field(r.out, "device"), "cpu");
}

TEST(QkmineCommit, BadUsageExitsTwoWithAUsageLine) {
  const std::string good = std::string("--m 128 --n 256 --k 64 --seed-a 1 --seed-b 2 --key ") + kKey;
  const std::string cases[] = {
      "",
      "commit",
      "commit --m 128 --n 256 --k 64 --seed-a 1 --seed-b 2",
      "commit " + good + " --device gpu",
      "commit " + good + " --bogus 1",
      "commit --m 100 --n 256 --k 64 --seed-a 1 --seed-b 2 --key " + std::string(kKey),
      "commit --m 128 --n 256 --k 64 --seed-a 1 --seed-b 2 --key 00ff",
      "commit --m 128 --n 256 --k 64 --seed-a -1 --seed-b 2 --key " + std::string(kKey),
      "frobnicate",
  };
  for (const std::string& args : cases) {
    const Result r = qkmine(args);
    EXPECT_EQ(r.exit_code, 2) << args << "\n" << r.out;
    EXPECT_NE(r.out.find("usage: qkmine"), std::string::npos) << args << "\n" << r.out;
  }
}

}  // namespace
