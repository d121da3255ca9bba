// qkmine's GPU commands as a user runs them on a machine without a GPU:
// bench and selftest say so and exit 3, mine falls back to the CPU only when
// no device was named, and bad options exit 2 before any device is touched.
#include <gtest/gtest.h>

#include <string>

#include "devices.h"
#include "qkmine_run.h"

namespace {

using quorl::test::qkmine;

#define QK_REQUIRE_NO_GPU() \
  if (qkmine::visible_gpus() > 0) GTEST_SKIP() << "a GPU is visible"

TEST(QkmineGpuCommands, WithoutAGpuBenchSelftestAndNamedDevicesExitThree) {
  QK_REQUIRE_NO_GPU();
  const struct {
    std::string args, says;
  } cases[] = {
      {"bench", "qkmine bench: no CUDA device visible"},
      {"bench --json --shapes 128x256x2048", "qkmine bench: no CUDA device visible"},
      {"selftest", "qkmine selftest: no CUDA device visible"},
      {"devices", "qkmine devices: no CUDA device visible"},
      {"devices --json", "qkmine devices: no CUDA device visible"},
      {"mine --devices all --attempts 1", "qkmine mine: no CUDA device visible"},
      {"mine --devices 0 --attempts 1", "qkmine mine: no CUDA device visible"},
  };
  for (const auto& c : cases) {
    const auto r = qkmine(c.args);
    EXPECT_EQ(r.exit_code, 3) << c.args << "\n" << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << c.args << "\n" << r.out;
  }
}

TEST(QkmineGpuCommands, WithoutAGpuMineFallsBackToTheCpuWithANotice) {
  QK_REQUIRE_NO_GPU();
  const auto r = qkmine("mine --attempts 1 --m 128 --n 256 --k 64 --all --json");
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_EQ(r.out.rfind("qkmine: no CUDA device visible; mining on the CPU reference model\n", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("\"device\":\"cpu\""), std::string::npos) << r.out;
}

TEST(QkmineGpuCommands, BadOptionsExitTwo) {
  const struct {
    std::string args, says;
  } cases[] = {
      {"bench --reps 0", "usage: qkmine bench"},
      {"bench --shapes 100x256x64", "unsupported shape 100x256x64"},
      {"bench --shapes 8192x8192", "--shapes takes MxNxK"},
      {"bench --plot", "--plot needs a value"},
      {"bench --device -1", "usage: qkmine bench"},
      {"bench --colour red", "unknown option --colour"},
      {"selftest --device x", "usage: qkmine selftest"},
      {"selftest extra", "unexpected argument 'extra'"},
      {"mine --devices 0,0", "usage: qkmine mine"},
      {"mine --devices 1x", "--devices takes a list of GPU ordinals"},
      {"mine --devices 0 --m 100", "unsupported shape"},
      {"mine --devices all --mode bonly --seed-a 1", "--seed-a belongs to --mode full"},
  };
  for (const auto& c : cases) {
    const auto r = qkmine(c.args);
    EXPECT_EQ(r.exit_code, 2) << c.args << "\n" << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << c.args << "\n" << r.out;
  }
}

}  // namespace
