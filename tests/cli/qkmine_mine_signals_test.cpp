// qkmine mine as a user stops it, on the CPU path every machine has: the
// first SIGINT or SIGTERM ends the run after the current attempt with the
// summary, a second exits at once, and an attempt that outlasts --watchdog
// ends the run with the summary and status 4.
#include <gtest/gtest.h>
#include <signal.h>

#include <sstream>
#include <string>
#include <vector>

#include "qkmine_process.h"
#include "quorl_verify.h"

namespace {

using quorl::test::QkmineProcess;

constexpr const char* kStarted = "Ctrl-C stops after the current batch";
constexpr double kGuardSeconds = 120;  // only against a hang

// Small attempts find a share in nearly every attempt; large ones take
// seconds each on the reference model.
const std::vector<std::string> kSmall = {"--m", "128", "--n", "256", "--k", "256", "--difficulty", "6"};
const std::vector<std::string> kLarge = {"--m", "2048", "--n", "2048", "--k", "2048"};

std::vector<std::string> mine_args(const std::vector<std::string>& dims, const std::vector<std::string>& more = {}) {
  std::vector<std::string> args{"mine", "--devices", "cpu", "--json"};
  args.insert(args.end(), dims.begin(), dims.end());
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Every line but the summary is a record that verifies; returns the
// summary ("" without one) and counts the shares.
std::string check_records(const std::string& out, int& shares) {
  std::string summary;
  shares = 0;
  for (const std::string& line : lines(out)) {
    if (line.find("\"summary\":true") != std::string::npos) {
      EXPECT_TRUE(summary.empty()) << "two summaries";
      summary = line;
      continue;
    }
    QvRecord r;
    QvVerdict v;
    char why[256] = "";
    EXPECT_EQ(qv_parse_record(line.data(), line.size(), &r, why, sizeof why), QV_OK) << line << ": " << why;
    EXPECT_EQ(qv_verify(&r, 1, &v, why, sizeof why), QV_OK) << line << ": " << why;
    shares += r.found >= 0;
  }
  return summary;
}

TEST(QkmineMineSignals, TheFirstSignalStopsAfterTheBatchASecondExitsAtOnce) {
  const struct {
    const char* name;
    std::vector<int> signals;
    const std::vector<std::string>& dims;
    int exit_status;
    const char* says;
    bool summary;
  } cases[] = {
      {"SIGINT", {SIGINT}, kSmall, 0, "stopping after each device's current batch", true},
      {"SIGTERM", {SIGTERM}, kSmall, 0, "stopping after each device's current batch", true},
      {"SIGINT twice", {SIGINT, SIGINT}, kLarge, 130, "interrupted again: exiting at once", false},
      {"SIGTERM then SIGINT", {SIGTERM, SIGINT}, kLarge, 130, "interrupted again: exiting at once", false},
      {"SIGTERM twice", {SIGTERM, SIGTERM}, kLarge, 143, "interrupted again: exiting at once", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QkmineProcess p(mine_args(c.dims));
    ASSERT_TRUE(p.wait_for_stderr(kStarted, kGuardSeconds)) << p.err();
    if (c.summary) ASSERT_TRUE(p.wait_for_stdout("\"found\":", kGuardSeconds)) << p.err();  // a share or two first
    for (const int sig : c.signals) {
      p.signal(sig);
      ASSERT_TRUE(p.wait_for_stderr("qkmine mine: stopping after", kGuardSeconds)) << p.err();
    }
    EXPECT_EQ(p.wait(kGuardSeconds), c.exit_status) << p.err();
    EXPECT_NE(p.err().find(c.says), std::string::npos) << p.err();
    int shares = 0;
    const std::string summary = check_records(p.out(), shares);
    if (!c.summary) {
      EXPECT_EQ(summary, "");
      continue;
    }
    EXPECT_NE(summary.find("\"ended_by\":\"interrupt\""), std::string::npos) << summary;
    EXPECT_NE(summary.find("\"shares\":" + std::to_string(shares) + ","), std::string::npos) << summary;
    EXPECT_GT(shares, 0) << p.out();
  }
}

TEST(QkmineMineSignals, AnAttemptOutlastingTheWatchdogEndsTheRunWithTheSummary) {
  QkmineProcess p(mine_args(kLarge, {"--watchdog", "0.2"}));
  EXPECT_EQ(p.wait(kGuardSeconds), 4) << p.err();
  EXPECT_NE(p.err().find("qkmine mine: cpu is hung: an attempt on the reference model has not returned in 0.2 s"),
            std::string::npos)
      << p.err();
  int shares = 0;
  const std::string summary = check_records(p.out(), shares);
  EXPECT_NE(summary.find("\"status\":\"hung\""), std::string::npos) << summary;
  EXPECT_NE(summary.find("\"ended_by\":\"watchdog\""), std::string::npos) << summary;
}

TEST(QkmineMineSignals, EachRecordIsOnStdoutAsSoonAsItStands) {
  // Every attempt a share, each taking a good part of a second: a reader of
  // stdout (a file here) sees the first before the second is done.
  QkmineProcess p(mine_args({"--m", "1024", "--n", "1024", "--k", "2048", "--difficulty", "0"}));
  ASSERT_TRUE(p.wait_for_stdout("\"found\":", kGuardSeconds)) << p.err();
  p.signal(SIGINT);
  EXPECT_EQ(p.wait(kGuardSeconds), 0) << p.err();
  int shares = 0;
  const std::string summary = check_records(p.out(), shares);
  // Without a flush per record the first would show only once a stdio
  // buffer filled, about seven records later.
  EXPECT_LT(shares, 5) << summary;
  EXPECT_NE(summary.find("\"shares\":" + std::to_string(shares) + ","), std::string::npos) << summary;
}

}  // namespace
