// qkmine mine --pool as a child process against the test pool (which checks
// every share with the Python module): shares accepted over TCP and TLS in
// both modes, disjoint spaces for two miners, clean job switches, lost
// connections, failover, hostile messages, the pool's refusals counted, and
// the command line's pool options.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "../cli/qkmine_process.h"
#include "pool_process.h"
#include "tls_suite.h"

namespace {

using quorl::test::Json;
using quorl::test::PoolProcess;
using quorl::test::QkmineProcess;

constexpr const char* kKey = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
// About one cell in 4400 meets it: of 256 cells an attempt, a share every 17 attempts or so.
const std::string kTarget = std::string(60, 'f') + "0f00";
constexpr double kBound = 120;  // seconds a child may take at most: a guard against hangs

Json job_command(const std::string& id, const std::string& mode = "full", bool clean = true, int max_nonces = 0) {
  return {{"cmd", "job"}, {"id", id},    {"mode", mode},      {"m", 128},       {"n", 256},
          {"k", 256},     {"key", kKey}, {"target", kTarget}, {"clean", clean}, {"max_nonces", max_nonces}};
}

std::vector<std::string> mine_args(const std::vector<std::string>& urls, double seconds,
                                   std::vector<std::string> more = {}) {
  std::vector<std::string> args{"mine", "--devices", "cpu", "--user", "farm.rig1", "--json",
                                "--seconds", std::to_string(seconds)};
  for (const std::string& url : urls) args.insert(args.end(), {"--pool", url});
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

uint64_t hex64(const Json& v) { return std::stoull(v.get<std::string>(), nullptr, 16); }

// What a finished run printed: its records and its summary.
struct Finished {
  int status = -1;
  std::vector<Json> records;
  Json summary;
  std::string err;
};

Finished finish(QkmineProcess& q) {
  Finished f;
  f.status = q.wait(kBound);
  f.err = q.err();
  std::istringstream out(q.out());
  for (std::string line; std::getline(out, line);) {
    const Json j = Json::parse(line, nullptr, false);
    if (j.is_discarded()) continue;
    (j.contains("summary") ? f.summary : f.records.emplace_back()) = j;
  }
  return f;
}

// The shares the pool saw, by connection's extranonce.
std::map<int, uint32_t> extranonces(const PoolProcess& pool) {
  std::map<int, uint32_t> out;
  for (const Json& e : pool.events("subscribed")) out[e["conn"]] = uint32_t(hex64(e["extranonce"]));
  return out;
}

// Every share that ended at the miner is accounted for, and agrees with the pool's view.
void expect_all_accounted(const Finished& f, const PoolProcess& pool, size_t which = 0) {
  ASSERT_TRUE(f.summary.contains("pools")) << f.err;
  const Json& p = f.summary["pools"][which];
  EXPECT_EQ(p["accepted"].get<uint64_t>() + p["rejected"].get<uint64_t>() + p["dropped"].get<uint64_t>(),
            f.summary["shares"].get<uint64_t>())
      << f.err;
  size_t accepted = 0;
  for (const Json& e : pool.events("submit")) accepted += e["code"] == 0;
  EXPECT_EQ(p["accepted"].get<uint64_t>(), accepted) << f.summary.dump() << "\n" << f.err;
}


using QkminePool = quorl::test::TlsSuite;

TEST_F(QkminePool, SharesAreAcceptedOverTcpAndTlsInBothModesAndStayInTheSeedSpace) {
  struct Case {
    const char* what;
    bool tls;
    const char* mode;
    int max_nonces;
  };
  const Case cases[] = {{"full over TCP", false, "full", 0},
                        {"full over TLS", true, "full", 0},
                        {"B-only, 5 nonces a preparation", false, "bonly", 5}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> args;
    if (c.tls) args = {"--tls-cert", files_.cert, "--tls-key", files_.key};
    PoolProcess pool(args);
    ASSERT_TRUE(pool.running());
    pool.command(job_command("j1", c.mode, true, c.max_nonces));
    QkmineProcess q(mine_args({pool.url(c.tls)}, 4, c.tls ? std::vector<std::string>{"--tls-ca", files_.ca}
                                                              : std::vector<std::string>{}));
    const Finished f = finish(q);
    ASSERT_EQ(f.status, 0) << f.err;
    const std::vector<Json> submits = pool.events("submit");
    ASSERT_GE(submits.size(), 2u) << f.err;
    const uint32_t e = extranonces(pool).at(1);
    std::set<uint64_t> prepare_seeds;
    for (const Json& s : submits) {
      EXPECT_EQ(s["code"], 0) << s.dump();
      EXPECT_EQ(s["job"], "j1");
      const Json& p = s["params"];
      EXPECT_EQ(p[0], "farm.rig1");
      EXPECT_EQ(hex64(p[2]) >> 32, e) << "outside the connection's seed space: " << s.dump();
      if (std::string(c.mode) == "bonly") {
        EXPECT_LT(hex64(p[4]) - hex64(p[3]), uint64_t(c.max_nonces)) << s.dump();
        prepare_seeds.insert(hex64(p[2]));
      }
    }
    if (std::string(c.mode) == "bonly") EXPECT_GE(prepare_seeds.size(), 2u) << "it prepared afresh";
    // The records are still printed, one per share, for qkmine verify.
    EXPECT_EQ(f.records.size(), f.summary["shares"].get<size_t>());
    EXPECT_EQ(f.summary["mode"], c.mode);
    EXPECT_EQ(f.summary["pool_job"], "j1");
    EXPECT_EQ(f.summary["pools"][0]["extranonce"], pool.events("subscribed")[0]["extranonce"]);
    // The client drops a share outside its job's seed space rather than send it: none may be.
    EXPECT_EQ(f.summary["pools"][0]["rejected"], 0);
    EXPECT_EQ(f.summary["pools"][0]["dropped"], 0) << f.err;
    expect_all_accounted(f, pool);
    EXPECT_NE(f.err.find("pool " + pool.url(c.tls) + ": share accepted (job j1"), std::string::npos) << f.err;
  }
}

TEST_F(QkminePool, ACertificateFromAnotherCaIsRefusedAndNothingIsMined) {
  PoolProcess pool({"--tls-cert", files_.cert, "--tls-key", files_.key});
  ASSERT_TRUE(pool.running());
  pool.command(job_command("j1"));
  QkmineProcess q(mine_args({pool.url(true)}, 3, {"--tls-ca", files_.other_ca}));
  const Finished f = finish(q);
  EXPECT_EQ(f.status, 0) << f.err;  // an unreachable pool is retried until the run's limit
  EXPECT_NE(f.err.find("certificate verify failed"), std::string::npos) << f.err;
  EXPECT_NE(f.err.find("no job was received from the pool"), std::string::npos) << f.err;
  EXPECT_TRUE(f.summary["pool_job"].is_null());
  EXPECT_EQ(f.summary["attempts"], 0);
  EXPECT_TRUE(f.records.empty());
  EXPECT_TRUE(pool.events("subscribed").empty());
}

TEST_F(QkminePool, TwoMinersGetDisjointSeedSpaces) {
  PoolProcess pool;
  ASSERT_TRUE(pool.running());
  pool.command(job_command("j1"));
  QkmineProcess a(mine_args({pool.url()}, 3)), b(mine_args({pool.url()}, 3));
  ASSERT_EQ(finish(a).status, 0);
  ASSERT_EQ(finish(b).status, 0);
  const auto spaces = extranonces(pool);
  ASSERT_EQ(spaces.size(), 2u);
  EXPECT_NE(spaces.at(1), spaces.at(2));
  std::map<int, size_t> per_conn;
  for (const Json& s : pool.events("submit")) {
    EXPECT_EQ(s["code"], 0) << s.dump();
    EXPECT_EQ(hex64(s["params"][2]) >> 32, spaces.at(s["conn"])) << s.dump();
    ++per_conn[s["conn"]];
  }
  EXPECT_EQ(per_conn.size(), 2u) << "both miners found shares";
}

TEST_F(QkminePool, ACleanJobSwitchLeavesNoShareForTheOldJob) {
  PoolProcess pool;
  ASSERT_TRUE(pool.running());
  pool.command(job_command("j1"));
  QkmineProcess q(mine_args({pool.url()}, 6));
  ASSERT_TRUE(pool.wait([](const Json& e) { return e["event"] == "submit" && e["job"] == "j1"; }));
  pool.command(job_command("j2"));
  const size_t after_switch = pool.mark();
  const auto first_new = pool.wait([](const Json& e) { return e["event"] == "submit" && e["job"] == "j2"; },
                                   after_switch);
  ASSERT_TRUE(first_new) << q.err();
  const Finished f = finish(q);
  ASSERT_EQ(f.status, 0) << f.err;
  bool switched = false;
  for (const Json& s : pool.events("submit", after_switch)) {
    switched = switched || s["job"] == "j2";
    if (switched) EXPECT_EQ(s["job"], "j2") << "a share of the old job after the switch";
    if (s["job"] == "j2") EXPECT_EQ(s["code"], 0) << s.dump();
  }
  EXPECT_EQ(f.summary["pool_job"], "j2");
  expect_all_accounted(f, pool);
}

TEST_F(QkminePool, ALostConnectionIsResumedAndNoShareIsLost) {
  PoolProcess pool;
  ASSERT_TRUE(pool.running());
  pool.command(job_command("j1"));
  QkmineProcess q(mine_args({pool.url()}, 8));
  ASSERT_TRUE(pool.wait_event("submit"));
  pool.command({{"cmd", "drop"}});
  const size_t dropped = pool.mark();
  const auto resumed =
      pool.wait([](const Json& e) { return e["event"] == "subscribed" && e["resumed"] == true; }, dropped);
  ASSERT_TRUE(resumed) << q.err();
  ASSERT_TRUE(pool.wait([](const Json& e) { return e["event"] == "submit" && e["conn"] == 2; }, dropped));
  const Finished f = finish(q);
  ASSERT_EQ(f.status, 0) << f.err;
  EXPECT_EQ(f.summary["pools"][0]["dropped"], 0) << f.err;
  expect_all_accounted(f, pool);
}

TEST_F(QkminePool, DuplicateAndStaleSharesAreRefusedByThePoolAndCounted) {
  PoolProcess pool;
  ASSERT_TRUE(pool.running());
  pool.command(job_command("j1"));
  QkmineProcess q(mine_args({pool.url()}, 30));
  ASSERT_TRUE(pool.wait_event("submit"));
  // The pool calls the next share a duplicate (qkmine itself never sends one twice).
  pool.command({{"cmd", "refuse"}, {"code", 22}, {"message", "duplicate share"}});
  ASSERT_TRUE(pool.wait([](const Json& e) { return e["event"] == "submit" && e["code"] == 22; })) << q.err();
  // The job ends without a word: what the miner sends for it is stale.
  pool.command({{"cmd", "forget"}, {"ids", {"j1"}}});
  ASSERT_TRUE(pool.wait([](const Json& e) { return e["event"] == "submit" && e["code"] == 21; })) << q.err();
  q.signal(SIGINT);
  const Finished f = finish(q);
  ASSERT_EQ(f.status, 0) << f.err;
  const Json& codes = f.summary["pools"][0]["rejected_by_code"];
  EXPECT_GE(codes.value("22", 0), 1) << f.summary.dump();
  EXPECT_GE(codes.value("21", 0), 1) << f.summary.dump();
  EXPECT_NE(f.err.find(": share rejected: 22 duplicate share"), std::string::npos) << f.err;
  EXPECT_NE(f.err.find(": share rejected: 21 job not found"), std::string::npos) << f.err;
  expect_all_accounted(f, pool);
}

TEST_F(QkminePool, FailsOverWhileTheFirstPoolIsDownAndComesBack) {
  PoolProcess first, second;
  ASSERT_TRUE(first.running() && second.running());
  first.command(job_command("a1"));
  second.command(job_command("b1"));
  first.command({{"cmd", "close_listener"}});
  QkmineProcess q(mine_args({first.url(), second.url()}, 60, {"--pool-retry", "1"}));
  ASSERT_TRUE(second.wait_event("submit")) << q.err();
  first.command({{"cmd", "open_listener"}});
  ASSERT_TRUE(first.wait_event("submit")) << q.err();
  q.signal(SIGINT);
  const Finished f = finish(q);
  ASSERT_EQ(f.status, 0) << f.err;
  EXPECT_GE(f.summary["pools"][0]["accepted"].get<int>(), 1);
  EXPECT_GE(f.summary["pools"][1]["accepted"].get<int>(), 1);
  for (const PoolProcess* p : {&first, &second}) {
    for (const Json& s : p->events("submit")) EXPECT_EQ(s["code"], 0) << s.dump();
  }
}

TEST_F(QkminePool, HostileMessagesNeverCrashTheMinerNorGetMined) {
  PoolProcess pool;
  ASSERT_TRUE(pool.running());
  pool.command(job_command("good"));
  QkmineProcess q(mine_args({pool.url()}, 30));
  ASSERT_TRUE(pool.wait_event("submit"));
  auto hex = [](const std::string& text) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : text + "\n") out += {digits[c >> 4], digits[c & 15]};
    return out;
  };
  auto notify = [](Json params) { return Json{{"id", nullptr}, {"method", "mining.notify"}, {"params", params}}.dump(); };
  struct Case {
    std::string line;
    bool reconnects;  // else the message is ignored
  };
  const Case cases[] = {
      {notify({"odd", "full", 3, 256, 256, kKey, kTarget, true, 0}), false},        // dims the verifier refuses
      {notify({"short", "full", 128, 256, 256, "abc", kTarget, true, 0}), false},   // a key of bad hex
      {notify({"types", "full", "128", 256, 256, kKey, kTarget, true, 0}), false},  // a number as text
      {Json{{"id", nullptr}, {"method", "mining.unknown"}, {"params", Json::array()}}.dump(), false},
      {"{\"id\": 1, \"result\"", true},  // malformed JSON
      {std::string(70000, 'x'), true},    // a line over 64 KiB
  };
  for (const Case& c : cases) {
    size_t mark = pool.mark();
    pool.command({{"cmd", "send"}, {"hex", hex(c.line)}});
    if (c.reconnects) {  // mining goes on on the next connection
      const auto back = pool.wait([](const Json& e) { return e["event"] == "subscribed"; }, mark);
      ASSERT_TRUE(back) << c.line.substr(0, 80) << "\n" << q.err();
      mark = pool.mark();
    }
    ASSERT_TRUE(pool.wait([](const Json& e) { return e["event"] == "submit" && e["job"] == "good"; }, mark))
        << c.line.substr(0, 80) << "\n" << q.err();
  }
  q.signal(SIGINT);
  const Finished f = finish(q);
  ASSERT_EQ(f.status, 0) << f.err;
  std::set<std::string> taken;
  for (const Json& s : pool.events("submit")) {
    EXPECT_EQ(s["job"], "good") << s.dump();
    // A share whose answer a reconnect cut off is sent again, and the pool knows it.
    const bool resent = s["code"] == 22 && taken.count(s["params"].dump()) == 1;
    EXPECT_TRUE(s["code"] == 0 || resent) << s.dump();
    if (s["code"] == 0) taken.insert(s["params"].dump());
  }
  EXPECT_EQ(f.summary["pool_job"], "good");
  EXPECT_EQ(f.summary["pools"][0]["rejected"], 0) << f.err;
  expect_all_accounted(f, pool);
}

TEST(QkminePoolOptions, MisusedPoolOptionsAreUsageErrors) {
  const std::string url = "stratum+tcp://127.0.0.1:1";
  struct Case {
    std::vector<std::string> args;
    const char* says;
  };
  const Case cases[] = {
      {{"--pool", url}, "--pool needs --user"},
      {{"--user", "u"}, "--user belongs to --pool"},
      {{"--tls-ca", "ca.pem"}, "--tls-ca belongs to --pool"},
      {{"--pool", "http://x:1", "--user", "u"}, "--pool http://x:1"},
      {{"--pool", url, "--user", "u", "--key", std::string(64, '0')}, "--key cannot go with --pool"},
      {{"--pool", url, "--user", "u", "--difficulty", "8"}, "--difficulty cannot go with --pool"},
      {{"--pool", url, "--user", "u", "--mode", "bonly"}, "--mode cannot go with --pool"},
      {{"--pool", url, "--user", "u", "--first-nonce", "1"}, "--first-nonce cannot go with --pool"},
      {{"--pool", url, "--user", "u", "--pool-retry", "0"}, "--pool-retry takes"},
      {{"--pool", url, "--user", "u", "--pool"}, "--pool needs a value"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"mine", "--devices", "cpu", "--seconds", "1"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    QkmineProcess q(args);
    EXPECT_EQ(q.wait(kBound), 2) << c.says;
    EXPECT_NE(q.err().find(c.says), std::string::npos) << q.err();
  }
}

}  // namespace
