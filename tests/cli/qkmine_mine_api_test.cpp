// qkmine mine --api-port as monitoring reads it: the CPU path mines while
// real HTTP requests read its summary and metrics; binds beyond the
// loopback need a token.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "qkmine_process.h"
#include "qkmine_run.h"

namespace {

using quorl::test::QkmineProcess;

constexpr double kGuardSeconds = 120;  // only against a hang

// The port qkmine said it serves on, from its stderr; 0 if it did not.
int served_port(QkmineProcess& p) {
  const std::string says = "monitoring on http://127.0.0.1:";
  if (!p.wait_for_stderr(says, kGuardSeconds)) return 0;
  const std::string err = p.err();
  return std::atoi(err.c_str() + err.find(says) + says.size());
}

TEST(QkmineMineApi, SummaryAndMetricsOfARunningMiner) {
  QkmineProcess p({"mine", "--devices", "cpu", "--m", "128", "--n", "256", "--k", "256", "--difficulty", "6",
                   "--api-port", "0", "--api-token", "t0ken", "--json"});
  const int port = served_port(p);
  ASSERT_GT(port, 0) << p.err();
  ASSERT_TRUE(p.wait_for_stdout("\"found\":", kGuardSeconds)) << p.err();  // it has mined a share
  httplib::Client c("127.0.0.1", port);
  c.set_read_timeout(30);
  c.set_bearer_token_auth("t0ken");
  const httplib::Result summary = c.Get("/summary");
  ASSERT_TRUE(summary) << httplib::to_string(summary.error());
  ASSERT_EQ(summary->status, 200) << summary->body;
  const nlohmann::json doc = nlohmann::json::parse(summary->body);
  EXPECT_EQ(doc["job"]["m"], 128);
  ASSERT_EQ(doc["devices"].size(), 1u);
  EXPECT_EQ(doc["devices"][0]["device"], "cpu");
  EXPECT_GE(doc["devices"][0]["shares"].get<int>(), 1) << summary->body;
  EXPECT_TRUE(doc["devices"][0]["rates"].contains("15m"));
  const httplib::Result metrics = c.Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_NE(metrics->body.find("qkmine_attempts_total{device=\"cpu\"} "), std::string::npos) << metrics->body;
  httplib::Client stranger("127.0.0.1", port);
  const httplib::Result refused = stranger.Get("/summary");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 401);

  p.signal(SIGINT);
  EXPECT_EQ(p.wait(kGuardSeconds), 0) << p.err();
  EXPECT_NE(p.out().find("\"summary\":true"), std::string::npos);
}

TEST(QkmineMineApi, BadEndpointOptionsExitTwo) {
  const struct {
    std::string args, says;
  } cases[] = {
      {"mine --devices cpu --attempts 1 --api-port 0 --api-bind 0.0.0.0", "give --api-token too"},
      {"mine --devices cpu --attempts 1 --api-port 70000", "--api-port takes 0 to 65535"},
      {"mine --devices cpu --attempts 1 --api-port http", "--api-port takes 0 to 65535"},
      {"mine --devices cpu --attempts 1 --api-token x", "--api-token belongs to --api-port"},
      {"mine --devices cpu --attempts 1 --api-bind ::1", "--api-bind belongs to --api-port"},
  };
  for (const auto& c : cases) {
    const auto r = quorl::test::qkmine(c.args);
    EXPECT_EQ(r.exit_code, 2) << c.args << "\n" << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << c.args << "\n" << r.out;
  }
}

}  // namespace
