// qkmine's command line as a user meets it: --help on every command lists
// its options, --version, --config files, and the refusals CLI11's reading
// leaves to qkmine's own words.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "qkmine_run.h"

namespace {

using quorl::test::qkmine;

TEST(QkmineCommandLine, EveryCommandHasHelpListingItsOptions) {
  const struct {
    std::string command;
    std::vector<std::string> shows;  // options, and defaults
  } cases[] = {
      {"commit", {"--seed-a X", "--key HEX", "--device N|cpu", "--json"}},
      {"mine", {"--devices LIST|all|cpu", "(default: 2048)", "--watchdog SECONDS", "--api-port PORT",
                "(default: 127.0.0.1)", "--config FILE"}},
      {"verify", {"--threads T", "(default: 1)", "--prepare-seed S", "--found F"}},
      {"bench", {"--shapes MxNxK,...", "(default: 20)", "--plot FILE"}},
      {"selftest", {"--device N", "(default: 0)"}},
      {"devices", {"--json"}},
  };
  for (const auto& c : cases) {
    const auto r = qkmine(c.command + " --help", /*merge_stderr=*/false);
    EXPECT_EQ(r.exit_code, 0) << c.command;
    EXPECT_EQ(r.out.rfind("usage: qkmine " + c.command, 0), 0u) << r.out;
    for (const std::string& s : c.shows) EXPECT_NE(r.out.find(s), std::string::npos) << c.command << ": " << s;
  }
  const auto top = qkmine("--help", /*merge_stderr=*/false);
  EXPECT_EQ(top.exit_code, 0);
  for (const char* command : {"commit", "mine", "verify", "bench", "selftest", "devices"}) {
    EXPECT_NE(top.out.find(std::string("  ") + command + " "), std::string::npos) << command;
  }
  EXPECT_EQ(qkmine("help").exit_code, 0);
}

TEST(QkmineCommandLine, VersionSaysWhichQkmine) {
  const auto r = qkmine("--version", /*merge_stderr=*/false);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "qkmine " QKMINE_VERSION "\n");
}

TEST(QkmineCommandLine, RefusalsInQkminesWords) {
  const struct {
    std::string args, says;
  } cases[] = {
      {"mine --devices cpu --attempts 1 --m 128 --m 256", "qkmine mine: --m given twice"},
      {"mine --devices cpu --attempts 1 --json --json", "qkmine mine: --json given twice"},
      {"verify --found", "qkmine verify: --found needs a value"},
      {"commit --colour=red", "qkmine commit: unknown option --colour"},
      {"devices now", "qkmine devices: unexpected argument 'now'"},
      {"mine --config /nonexistent/qkmine.toml", "qkmine mine: /nonexistent/qkmine.toml was not readable"},
      {"--frobnicate", "qkmine: unknown option '--frobnicate'"},
      // strtoull would take " -1" as 2^64 - 1
      {"mine --devices cpu --attempts 1 --seed-a ' -1'", "--seed-a takes an unsigned integer"},
  };
  for (const auto& c : cases) {
    const auto r = qkmine(c.args);
    EXPECT_EQ(r.exit_code, 2) << c.args << "\n" << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << c.args << "\n" << r.out;
    EXPECT_NE(r.out.find("usage: qkmine"), std::string::npos) << c.args << "\n" << r.out;
  }
}

TEST(QkmineCommandLine, AConfigFileGivesOptionsTheCommandLineOverrides) {
  const std::string path = ::testing::TempDir() + "qkmine_" + std::to_string(::getpid()) + ".toml";
  std::ofstream(path) << "[mine]\ndevices = \"cpu\"\nm = 128\nn = 256\nk = 64\nattempts = 5\nall = true\n"
                         "json = false\n";
  const auto r = qkmine("mine --config '" + path + "' --attempts 2 --json", /*merge_stderr=*/false);
  std::remove(path.c_str());
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_NE(r.out.find("\"m\":128,\"n\":256,\"k\":64"), std::string::npos) << r.out;  // from the file
  EXPECT_NE(r.out.find("\"summary\":true,\"device\":\"cpu\",\"attempts\":2,"), std::string::npos) << r.out;
  // --all from the file: a record per attempt, then the summary.
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3) << r.out;
}

}  // namespace
