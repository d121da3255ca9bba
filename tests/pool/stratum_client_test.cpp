// The stratum client against the test pool (stratum_pool.py, which checks
// every share with the Python module over libquorl_verify), with shares found
// on the CPU reference path: acceptance, disjoint seed spaces, clean job
// switches, lost connections, failover, TLS, hostile pools, and the pool's
// refusals, each counted by the client.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

#include "cpu_shares.h"
#include "pool_process.h"
#include "tls_suite.h"
#include "quorl_ref/hex.hpp"
#include "stratum_client.h"
#include "stratum_messages.h"

namespace {

using namespace qkmine::pool;
using quorl::test::find_shares;
using quorl::test::Json;
using quorl::test::kPatience;
using quorl::test::PoolProcess;
using std::chrono::milliseconds;

constexpr const char* kKey = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
// About one cell in four meets it: every attempt of 256 cells finds a share.
const std::string kTarget = std::string(62, 'f') + "3f";

Json job_command(const std::string& id, const std::string& mode = "full", bool clean = true) {
  return {{"cmd", "job"}, {"id", id},    {"mode", mode},      {"m", 128},       {"n", 256},
          {"k", 256},     {"key", kKey}, {"target", kTarget}, {"clean", clean}, {"max_nonces", mode == "bonly" ? 500 : 0}};
}

// What the client reported through its handlers.
class Recorder {
 public:
  ClientHandlers handlers() {
    ClientHandlers h;
    h.log = [this](const std::string& line) { add([&] { logs_.push_back(line); }); };
    h.job = [this](const std::shared_ptr<const PoolJob>& j) { add([&] { jobs_.push_back(j); }); };
    h.share = [this](const ShareOutcome& o) { add([&] { outcomes_.push_back(o); }); };
    return h;
  }

  // Waits until `n` outcomes are in; returns them all.
  std::vector<ShareOutcome> outcomes(size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, kPatience, [&] { return outcomes_.size() >= n; });
    return outcomes_;
  }
  // Whether a log line from the `from`th on holds `part`, waiting for it.
  bool wait_log(const std::string& part, size_t from = 0) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] {
      for (size_t i = from; i < logs_.size(); ++i) {
        if (logs_[i].find(part) != std::string::npos) return true;
      }
      return false;
    });
  }
  size_t log_mark() {
    std::lock_guard<std::mutex> lock(mutex_);
    return logs_.size();
  }
  std::shared_ptr<const PoolJob> wait_job(const std::string& id) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::shared_ptr<const PoolJob> hit;
    changed_.wait_for(lock, kPatience, [&] {
      for (const auto& j : jobs_) {
        if (j->id == id) hit = j;
      }
      return hit != nullptr;
    });
    return hit;
  }
  std::vector<std::shared_ptr<const PoolJob>> jobs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return jobs_;
  }
  std::string log_text() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string all;
    for (const std::string& l : logs_) all += l + "\n";
    return all;
  }

 private:
  template <class F>
  void add(F&& f) {
    std::lock_guard<std::mutex> lock(mutex_);
    f();
    changed_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> logs_;
  std::vector<std::shared_ptr<const PoolJob>> jobs_;
  std::vector<ShareOutcome> outcomes_;
};

// Quick retries: the behaviour is the real one, the waits are shorter.
ClientOptions options(const std::vector<std::string>& urls, const std::string& user = "alice") {
  ClientOptions o;
  for (const std::string& u : urls) {
    std::string error;
    const auto url = parse_pool_url(u, error);
    EXPECT_TRUE(url) << u << ": " << error;
    if (url) o.pools.push_back(*url);
  }
  o.user = user;
  o.retry.first_delay = milliseconds(50);
  o.retry.max_delay = milliseconds(400);
  o.retry.failures_before_failover = 2;
  o.retry.primary_retry = milliseconds(300);
  o.connect_timeout = milliseconds(20000);
  o.answer_timeout = milliseconds(20000);
  return o;
}

std::string hex_of(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (const unsigned char c : bytes) out += {digits[c >> 4], digits[c & 15]};
  return out;
}

size_t count_fate(const std::vector<ShareOutcome>& outcomes, ShareFate fate) {
  size_t n = 0;
  for (const auto& o : outcomes) n += o.fate == fate;
  return n;
}

TEST(StratumClient, SharesFromTheCpuPathAreAcceptedAndRecheckedInBothModes) {
  for (const std::string mode : {"full", "bonly"}) {
    SCOPED_TRACE(mode);
    PoolProcess pool;
    ASSERT_TRUE(pool.running());
    pool.command(job_command("j1", mode));
    Recorder rec;
    StratumClient client(options({pool.url()}), rec.handlers());
    ASSERT_EQ(client.start(), "");
    const auto job = client.wait_job(0, kPatience);
    ASSERT_TRUE(job);
    EXPECT_EQ(job->id, "j1");
    EXPECT_TRUE(job->clean);
    EXPECT_EQ(job->mode, mode == "full" ? QV_MODE_FULL : QV_MODE_BONLY);
    const auto subscribed = pool.wait_event("subscribed");
    ASSERT_TRUE(subscribed);
    EXPECT_EQ((*subscribed)["extranonce"], hex8(job->extranonce));

    const auto shares = find_shares(job, 3, 40);
    ASSERT_EQ(shares.size(), 3u);
    for (const Share& s : shares) client.submit(s);
    const auto outcomes = rec.outcomes(3);
    ASSERT_EQ(outcomes.size(), 3u);
    for (const auto& o : outcomes) {
      EXPECT_EQ(o.fate, ShareFate::kAccepted) << o.why;
      EXPECT_EQ(o.pool, 0u);
    }
    // The pool checked each, and the verifier agrees on its own.
    ASSERT_TRUE(pool.wait_count("submit", 3));
    const auto submits = pool.events("submit");
    ASSERT_EQ(submits.size(), 3u);
    for (size_t i = 0; i < shares.size(); ++i) {
      const QvJob issued = job->verifier_job();
      QvShare s{shares[i].seed_a, shares[i].seed_b, shares[i].prepare_seed, shares[i].first_nonce, shares[i].nonce,
                shares[i].found};
      QvShareVerdict v;
      ASSERT_EQ(qv_check_share(&issued, &s, 1, &v, nullptr, 0), QV_OK);
      quorl::ref::Cv hash;
      std::copy(v.hash, v.hash + 8, hash.begin());
      EXPECT_EQ(submits[i]["code"], 0);
      EXPECT_EQ(submits[i]["hash"], quorl::ref::to_hex(hash));
      EXPECT_EQ(submits[i]["params"][0], "alice");
      EXPECT_EQ(submits[i]["params"][1], "j1");
      EXPECT_EQ(submits[i]["params"].size(), mode == "full" ? 5u : 6u);
    }
    const auto status = client.status();
    ASSERT_EQ(status.size(), 1u);
    EXPECT_TRUE(status[0].connected);
    EXPECT_EQ(status[0].accepted, 3u);
    EXPECT_EQ(status[0].rejected + status[0].dropped, 0u);
    EXPECT_EQ(status[0].url, pool.url());
  }
}

TEST(StratumClient, TwoClientsMineDisjointSeedSpaces) {
  PoolProcess pool;
  ASSERT_TRUE(pool.running());
  pool.command(job_command("j1"));
  Recorder rec_a, rec_b;
  StratumClient a(options({pool.url()}, "alice"), rec_a.handlers());
  StratumClient b(options({pool.url()}, "alice"), rec_b.handlers());  // one user, two machines
  ASSERT_EQ(a.start(), "");
  ASSERT_EQ(b.start(), "");
  const auto job_a = a.wait_job(0, kPatience), job_b = b.wait_job(0, kPatience);
  ASSERT_TRUE(job_a && job_b);
  EXPECT_NE(job_a->extranonce, job_b->extranonce);

  // The same attempt numbers in each space: different seeds, both accepted.
  const auto shares_a = find_shares(job_a, 2, 0), shares_b = find_shares(job_b, 2, 0);
  for (const Share& s : shares_a) a.submit(s);
  for (const Share& s : shares_b) b.submit(s);
  EXPECT_EQ(count_fate(rec_a.outcomes(2), ShareFate::kAccepted), 2u);
  EXPECT_EQ(count_fate(rec_b.outcomes(2), ShareFate::kAccepted), 2u);
  for (size_t i = 0; i < 2; ++i) EXPECT_NE(shares_a[i].seed_a, shares_b[i].seed_a);

  // A's share handed to B is outside B's space: B keeps it from the pool.
  ASSERT_TRUE(pool.wait_count("submit", 4));
  const size_t from = pool.mark();
  Share stray = shares_a[0];
  stray.job = job_b;
  b.submit(stray);
  const auto outcomes = rec_b.outcomes(3);
  ASSERT_EQ(outcomes.size(), 3u);
  EXPECT_EQ(outcomes[2].fate, ShareFate::kDropped);
  EXPECT_EQ(outcomes[2].why, "outside its job's seed space");
  b.submit(find_shares(job_b, 1, 9)[0]);  // a later share still goes out, alone
  ASSERT_EQ(rec_b.outcomes(4).size(), 4u);
  ASSERT_TRUE(pool.wait_count("submit", 1, from));
  const auto submits = pool.events("submit", from);
  ASSERT_EQ(submits.size(), 1u);
  EXPECT_EQ(submits[0]["params"][2].get<std::string>().substr(0, 8), hex8(job_b->extranonce));
  EXPECT_EQ(a.status()[0].accepted + b.status()[0].accepted, 5u);
  EXPECT_EQ(b.status()[0].dropped, 1u);
}

TEST(StratumClient, ACleanJobEndsTheOldOneAndAnOpenJobDoesNot) {
  PoolProcess pool;
  ASSERT_TRUE(pool.running());
  pool.command(job_command("j1"));
  Recorder rec;
  StratumClient client(options({pool.url()}), rec.handlers());
  ASSERT_EQ(client.start(), "");
  const auto j1 = rec.wait_job("j1");
  ASSERT_TRUE(j1);
  const uint64_t clean_before = client.clean_serial();
  EXPECT_EQ(clean_before, j1->serial);

  // j2 keeps j1 open: shares of both are taken.
  pool.command(job_command("j2", "full", /*clean=*/false));
  const auto j2 = rec.wait_job("j2");
  ASSERT_TRUE(j2);
  EXPECT_FALSE(j2->clean);
  EXPECT_EQ(client.clean_serial(), clean_before);
  EXPECT_EQ(client.job_serial(), j2->serial);
  client.submit(find_shares(j1, 1, 0)[0]);
  client.submit(find_shares(j2, 1, 0)[0]);
  EXPECT_EQ(count_fate(rec.outcomes(2), ShareFate::kAccepted), 2u);

  // j3 is clean: from the moment the client has it, nothing of j1 or j2 goes out.
  pool.command(job_command("j3"));
  const auto j3 = rec.wait_job("j3");
  ASSERT_TRUE(j3);
  EXPECT_TRUE(j3->clean);
  EXPECT_EQ(client.clean_serial(), j3->serial);
  EXPECT_EQ(client.job(), j3);
  ASSERT_TRUE(pool.wait_count("submit", 2));
  const size_t from = pool.mark();
  client.submit(find_shares(j1, 1, 5)[0]);
  client.submit(find_shares(j2, 1, 5)[0]);
  client.submit(find_shares(j3, 1, 5)[0]);
  const auto outcomes = rec.outcomes(5);
  ASSERT_EQ(outcomes.size(), 5u);
  EXPECT_EQ(outcomes[2].fate, ShareFate::kDropped);
  EXPECT_EQ(outcomes[2].why, "job gone");
  EXPECT_EQ(outcomes[3].fate, ShareFate::kDropped);
  EXPECT_EQ(outcomes[4].fate, ShareFate::kAccepted);
  ASSERT_TRUE(pool.wait_count("submit", 1, from));
  const auto submits = pool.events("submit", from);
  ASSERT_EQ(submits.size(), 1u);
  EXPECT_EQ(submits[0]["job"], "j3");
  EXPECT_EQ(client.status()[0].dropped, 2u);
}

TEST(StratumClient, ALostConnectionLosesNoShare) {
  PoolProcess pool;
  ASSERT_TRUE(pool.running());
  pool.command(job_command("j1"));
  Recorder rec;
  StratumClient client(options({pool.url()}), rec.handlers());
  ASSERT_EQ(client.start(), "");
  const auto job = client.wait_job(0, kPatience);
  ASSERT_TRUE(job);
  // The pool hangs up on the first submission without answering it; the
  // rest are found while the client reconnects.
  pool.command({{"cmd", "drop_on_submit"}, {"count", 1}});
  const auto shares = find_shares(job, 4, 100);
  for (const Share& s : shares) client.submit(s);
  const auto outcomes = rec.outcomes(4);
  ASSERT_EQ(outcomes.size(), 4u);
  EXPECT_EQ(count_fate(outcomes, ShareFate::kAccepted), 4u) << rec.log_text();
  const auto resumed = pool.wait([](const Json& e) { return e["event"] == "subscribed" && e["resumed"] == true; });
  ASSERT_TRUE(resumed) << "the client asks for its extranonce back";
  EXPECT_EQ((*resumed)["extranonce"], hex8(job->extranonce));
  ASSERT_TRUE(pool.wait_count("submit", 4));
  size_t accepted_by_pool = 0;
  for (const Json& e : pool.events("submit")) accepted_by_pool += e["code"] == 0;
  EXPECT_EQ(accepted_by_pool, 4u);
  EXPECT_GE(client.status()[0].failures, 1u);
  EXPECT_EQ(client.status()[0].accepted, 4u);
  EXPECT_EQ(rec.jobs().size(), 1u) << "the job sent again on the resumed connection is nothing new";

  // The pool takes a share and the connection dies before its answer: the
  // client resends it, and the pool's "duplicate" means it was taken.
  pool.command({{"cmd", "drop_after_submit"}, {"count", 1}});
  client.submit(find_shares(job, 1, 150)[0]);
  const auto taken = rec.outcomes(5);
  ASSERT_EQ(taken.size(), 5u);
  EXPECT_EQ(taken[4].fate, ShareFate::kAccepted) << taken[4].why;
  ASSERT_TRUE(pool.wait_count("submit", 6));
  EXPECT_EQ(pool.events("submit").back()["code"], 22);
  EXPECT_TRUE(rec.wait_log("the pool had taken it before"));
  EXPECT_EQ(client.status()[0].accepted, 5u);
  EXPECT_EQ(client.status()[0].rejected, 0u);

  // A pool that comes back without the old session (a restart): the shares
  // of the old space are dropped as job gone, and the new job is clean.
  const int port = pool.port();
  pool.command({{"cmd", "close_listener"}});
  client.submit(find_shares(job, 1, 200)[0]);  // found while the pool is down
  PoolProcess restarted({"--port", std::to_string(port), "--first-extranonce", "0x9000"});
  ASSERT_TRUE(restarted.running());
  restarted.command(job_command("r1"));
  const auto r1 = rec.wait_job("r1");
  ASSERT_TRUE(r1);
  EXPECT_TRUE(r1->clean);
  EXPECT_NE(r1->extranonce, job->extranonce);
  const auto after = rec.outcomes(6);
  ASSERT_EQ(after.size(), 6u);
  EXPECT_EQ(after[5].fate, ShareFate::kDropped);
  EXPECT_EQ(after[5].why, "job gone");
}

TEST(StratumClient, FailsOverWhenTheFirstPoolIsDownAndComesBack) {
  PoolProcess first, second;
  ASSERT_TRUE(first.running() && second.running());
  first.command(job_command("a1"));
  second.command(job_command("b1"));
  first.command({{"cmd", "close_listener"}});
  Recorder rec;
  StratumClient client(options({first.url(), second.url()}), rec.handlers());
  ASSERT_EQ(client.start(), "");
  const auto b1 = rec.wait_job("b1");
  ASSERT_TRUE(b1) << rec.log_text();
  EXPECT_EQ(b1->pool, 1u);
  EXPECT_TRUE(rec.wait_log("moving here after failures on " + first.url()));
  client.submit(find_shares(b1, 1, 0)[0]);
  ASSERT_EQ(rec.outcomes(1).size(), 1u);

  // The first pool comes back: the client returns to it.
  first.command({{"cmd", "open_listener"}});
  const auto a1 = rec.wait_job("a1");
  ASSERT_TRUE(a1) << rec.log_text();
  EXPECT_EQ(a1->pool, 0u);
  EXPECT_TRUE(a1->clean) << "a job of another pool is always clean";
  client.submit(find_shares(a1, 1, 0)[0]);
  const auto outcomes = rec.outcomes(2);
  ASSERT_EQ(outcomes.size(), 2u);
  EXPECT_EQ(outcomes[0].fate, ShareFate::kAccepted);
  EXPECT_EQ(outcomes[0].pool, 1u);
  EXPECT_EQ(outcomes[1].fate, ShareFate::kAccepted);
  EXPECT_EQ(outcomes[1].pool, 0u);
  const auto status = client.status();
  ASSERT_EQ(status.size(), 2u);
  EXPECT_EQ(status[0].accepted, 1u);
  EXPECT_EQ(status[1].accepted, 1u);
  EXPECT_GE(status[0].failures, 2u);
  EXPECT_NE(status[0].last_error.find("cannot connect"), std::string::npos) << status[0].last_error;
  EXPECT_TRUE(status[0].connected);
  EXPECT_FALSE(status[1].connected);
}

using StratumClientTls = quorl::test::TlsSuite;

TEST_F(StratumClientTls, APoolWithItsOwnCaIsTrustedThroughTheCaFile) {
  PoolProcess pool({"--tls-cert", files_.cert, "--tls-key", files_.key});
  ASSERT_TRUE(pool.running());
  pool.command(job_command("t1"));
  for (const std::string host : {"127.0.0.1", "localhost"}) {
    SCOPED_TRACE(host);
    Recorder rec;
    ClientOptions o = options({"stratum+ssl://" + host + ":" + std::to_string(pool.port())});
    o.tls_ca_file = files_.ca;
    StratumClient client(o, rec.handlers());
    ASSERT_EQ(client.start(), "");
    const auto job = client.wait_job(0, kPatience);
    ASSERT_TRUE(job) << rec.log_text();
    client.submit(find_shares(job, 1, 0)[0]);
    const auto outcomes = rec.outcomes(1);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].fate, ShareFate::kAccepted) << outcomes[0].why;
  }
}

TEST_F(StratumClientTls, CertificatesThatDoNotProveThePoolAreRefused) {
  PoolProcess pool({"--tls-cert", files_.cert, "--tls-key", files_.key});
  PoolProcess elsewhere({"--tls-cert", files_.wrong_host_cert, "--tls-key", files_.wrong_host_key});
  ASSERT_TRUE(pool.running() && elsewhere.running());
  struct Case {
    const char* what;
    std::string url, ca;
  };
  const Case cases[] = {
      {"signed by another CA", pool.url(true), files_.other_ca},
      {"not in the system's trust store", pool.url(true), ""},
      {"issued for another host", elsewhere.url(true), files_.ca},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Recorder rec;
    ClientOptions o = options({c.url});
    o.tls_ca_file = c.ca;
    StratumClient client(o, rec.handlers());
    ASSERT_EQ(client.start(), "");
    EXPECT_TRUE(rec.wait_log("TLS handshake failed: certificate verify failed")) << rec.log_text();
    client.stop();
    EXPECT_EQ(client.job(), nullptr);
    EXPECT_GE(client.status()[0].failures, 1u);
    EXPECT_FALSE(client.status()[0].connected);
  }
  EXPECT_TRUE(pool.events("subscribed").empty()) << "no refused connection got as far as subscribing";
  EXPECT_TRUE(elsewhere.events("subscribed").empty());
}

TEST(StratumClient, HostileMessagesAreLoggedAndNeverMined) {
  PoolProcess pool;
  ASSERT_TRUE(pool.running());
  pool.command(job_command("start"));
  Recorder rec;
  StratumClient client(options({pool.url()}), rec.handlers());
  ASSERT_EQ(client.start(), "");
  ASSERT_TRUE(rec.wait_job("start"));

  auto notify = [](Json params) { return Json{{"id", nullptr}, {"method", "mining.notify"}, {"params", params}}.dump(); };
  auto job_params = [](Json change_at, int index) {
    Json p = {"bad", "full", 128, 256, 256, kKey, kTarget, true, 0};
    if (index >= 0) p[size_t(index)] = change_at;
    return p;
  };
  enum Handling { kIgnored, kReconnect };
  struct Case {
    const char* what;
    std::string raw;  // sent as is, then a newline
    Handling handling;
    std::string log;  // part of the log line
  };
  const std::string deep = std::string(30000, '[') + std::string(30000, ']');
  const Case cases[] = {
      {"malformed JSON", "{\"id\": 1, \"result\"", kReconnect, "malformed JSON"},
      {"invalid UTF-8", "{\"id\":null,\"method\":\"x\xff\"}", kReconnect, "malformed JSON"},
      {"not an object", "[1, 2, 3]", kReconnect, "not a JSON object"},
      {"deeply nested", deep, kReconnect, "not a JSON object"},
      {"a line over 64 KiB", std::string(70000, 'x'), kReconnect, "a line over 64 KiB"},
      {"method of a wrong type", "{\"id\":null,\"method\":5,\"params\":[]}", kReconnect, "method that is not a string"},
      {"neither method nor id", "{\"params\":[]}", kReconnect, "neither method nor id"},
      {"an answer without result or error", "{\"id\":3}", kReconnect, "neither result nor error"},
      {"unknown notification", "{\"id\":null,\"method\":\"mining.set_difficulty\",\"params\":[8]}", kIgnored,
       "unknown notification mining.set_difficulty"},
      {"unknown request", "{\"id\":77,\"method\":\"client.get_version\",\"params\":[]}", kIgnored,
       "unknown method client.get_version (answered with an error)"},
      {"answer to nothing", "{\"id\":424242,\"result\":true,\"error\":null}", kIgnored, "no request of ours"},
      {"job with m as text", notify(job_params("128", 2)), kIgnored, "job ignored: m, n and k must be integers"},
      {"job with m a float", notify(job_params(128.5, 2)), kIgnored, "job ignored: m, n and k must be integers"},
      {"job with negative k", notify(job_params(-256, 4)), kIgnored, "job ignored: m, n and k must be integers"},
      {"job with dims qk_init refuses", notify(job_params(100, 2)), kIgnored,
       "the verifier cannot check it: m must be a positive multiple of 128"},
      {"job too large to check", notify(job_params(1 << 25, 2)), kIgnored, "the verifier cannot check it: matrices above 4 GiB"},
      {"job with bad hex key", notify(job_params(std::string(64, 'z'), 5)), kIgnored, "key is not 64 hex digits"},
      {"job with a short target", notify(job_params("ff", 6)), kIgnored, "target is not 64 hex digits"},
      {"job with mode half", notify(job_params("half", 1)), kIgnored, "mode is not"},
      {"job with clean_jobs 1", notify(job_params(1, 7)), kIgnored, "clean_jobs is not true or false"},
      {"B-only job without nonces", notify([&] { Json p = job_params("bonly", 1); p[8] = 0; return p; }()), kIgnored,
       "max_nonces >= 1"},
      {"job with max_nonces -1", notify(job_params(-1, 8)), kIgnored, "max_nonces is not a non-negative integer"},
      {"job with a control character in its id", notify(job_params("a\tb", 0)), kIgnored, "job_id is not a string"},
      {"job with too few fields", notify(Json::array({"bad", "full", 128})), kIgnored, "params are not the 9 fields"},
      {"job with params an object", notify(Json::object({{"job", 1}})), kIgnored, "params are not the 9 fields"},
      {"reconnect to port 0", "{\"id\":null,\"method\":\"client.reconnect\",\"params\":[\"h\",0,1]}", kIgnored,
       "client.reconnect ignored: port is not 1 to 65535"},
      {"reconnect to a host with a slash", "{\"id\":null,\"method\":\"client.reconnect\",\"params\":[\"a/b\",1,1]}", kIgnored,
       "client.reconnect ignored: host is not a host name"},
  };
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t from = pool.mark(), log_from = rec.log_mark();
    const uint64_t serial_before = client.job_serial();
    pool.command({{"cmd", "send"}, {"hex", hex_of(c.raw + "\n")}});
    EXPECT_TRUE(rec.wait_log(c.log, log_from)) << rec.log_text();
    if (c.handling == kReconnect) {
      EXPECT_TRUE(pool.wait([](const Json& e) { return e["event"] == "subscribed" && e["resumed"] == true; }, from))
          << "the client reconnects and resumes its session";
    }
    // The client is still well: a good job that follows reaches the miner.
    const std::string next = "after-" + std::to_string(++round);
    pool.command(job_command(next));
    const auto job = rec.wait_job(next);
    ASSERT_TRUE(job) << rec.log_text();
    EXPECT_EQ(job->serial, serial_before + 1) << "no other job reached the miner";
    if (c.handling == kIgnored) EXPECT_TRUE(pool.events("closed", from).empty()) << "the connection was kept";
  }
  // The unknown request was answered with an error.
  const auto answer = pool.wait([](const Json& e) { return e["event"] == "client_answer" && e["message"]["id"] == 77; });
  ASSERT_TRUE(answer);
  EXPECT_EQ((*answer)["message"]["error"][0], 20);
  uint64_t last = 0;
  for (const auto& job : rec.jobs()) {
    EXPECT_NE(job->id, "bad");
    EXPECT_GT(job->serial, last) << "each job is handed over once";
    last = job->serial;
  }
  // And it still mines: a share of the newest job is accepted.
  const auto job = client.job();
  client.submit(find_shares(job, 1, 0)[0]);
  const auto outcomes = rec.outcomes(1);
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(outcomes[0].fate, ShareFate::kAccepted);
}

TEST(StratumClient, APoolThatStopsAnsweringIsLeftAndTheShareResent) {
  PoolProcess pool;
  ASSERT_TRUE(pool.running());
  pool.command(job_command("j1"));
  Recorder rec;
  ClientOptions o = options({pool.url()});
  o.answer_timeout = milliseconds(1500);
  StratumClient client(o, rec.handlers());
  ASSERT_EQ(client.start(), "");
  const auto job = client.wait_job(0, kPatience);
  ASSERT_TRUE(job);
  pool.command({{"cmd", "mute"}, {"on", true}});
  const size_t from = pool.mark();
  client.submit(find_shares(job, 1, 0)[0]);
  EXPECT_TRUE(rec.wait_log("no answer within 1500 ms")) << rec.log_text();
  ASSERT_TRUE(pool.wait_event("connected", from));
  pool.command({{"cmd", "mute"}, {"on", false}});
  // The reconnection may have been muted too; the client keeps trying.
  const auto outcomes = rec.outcomes(1);
  ASSERT_EQ(outcomes.size(), 1u) << rec.log_text();
  EXPECT_EQ(outcomes[0].fate, ShareFate::kAccepted) << outcomes[0].why << "\n" << rec.log_text();
}

TEST(StratumClient, APoolsRedirectIsFollowed) {
  PoolProcess from_pool, to_pool;
  ASSERT_TRUE(from_pool.running() && to_pool.running());
  from_pool.command(job_command("f1"));
  to_pool.command(job_command("t1"));
  Recorder rec;
  StratumClient client(options({from_pool.url()}), rec.handlers());
  ASSERT_EQ(client.start(), "");
  ASSERT_TRUE(rec.wait_job("f1"));
  from_pool.command({{"cmd", "reconnect"}, {"host", "127.0.0.1"}, {"port", to_pool.port()}, {"wait", 0}});
  const auto t1 = rec.wait_job("t1");
  ASSERT_TRUE(t1) << rec.log_text();
  EXPECT_TRUE(t1->clean);
  EXPECT_TRUE(rec.wait_log("asked to reconnect to stratum+tcp://127.0.0.1:" + std::to_string(to_pool.port())));
  client.submit(find_shares(t1, 1, 0)[0]);
  ASSERT_EQ(rec.outcomes(1).size(), 1u);
  EXPECT_EQ(rec.outcomes(1)[0].fate, ShareFate::kAccepted);
  EXPECT_TRUE(to_pool.wait_count("submit", 1));
  EXPECT_TRUE(from_pool.events("submit").empty());
}

TEST(StratumClient, RefusalsArePassedOnWithThePoolsReasonAndCounted) {
  PoolProcess pool;
  ASSERT_TRUE(pool.running());
  pool.command(job_command("j1"));
  Recorder rec;
  StratumClient client(options({pool.url()}), rec.handlers());
  ASSERT_EQ(client.start(), "");
  const auto j1 = rec.wait_job("j1");
  ASSERT_TRUE(j1);
  pool.command(job_command("b1", "bonly", /*clean=*/false));
  const auto b1 = rec.wait_job("b1");
  ASSERT_TRUE(b1);

  const Share full = find_shares(j1, 1, 0)[0];
  const Share bonly = find_shares(b1, 1, 0)[0];
  const auto long_run = [&] {  // more nonces than B has chunks (64), each a share
    Share s = quorl::test::attempt(b1, 10, 70);
    s.found = quorl::test::split_cells(*b1, s).meeting.at(0);
    return s;
  }();
  Share same_attempt = long_run;  // its first nonce no longer matters
  same_attempt.first_nonce += 3;
  Share above = full;
  above.found = quorl::test::split_cells(*j1, full).above.at(0);

  struct Case {
    const char* what;
    Share share;
    ShareFate fate;
    int code;
    std::string why;
  };
  const Case cases[] = {
      {"first submission", full, ShareFate::kAccepted, 0, ""},
      {"the same share again", full, ShareFate::kRejected, 22, "duplicate share"},
      {"a B-only share", bonly, ShareFate::kAccepted, 0, ""},
      {"the same B-only share again", bonly, ShareFate::kRejected, 22, "duplicate share"},
      {"a long nonce run", long_run, ShareFate::kAccepted, 0, ""},
      {"the same attempt under another first nonce", same_attempt, ShareFate::kRejected, 22, "duplicate share"},
      {"a cell above the target", above, ShareFate::kRejected, 23, "share above target"},
  };
  size_t seen = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    client.submit(c.share);
    const auto outcomes = rec.outcomes(++seen);
    ASSERT_EQ(outcomes.size(), seen);
    EXPECT_EQ(outcomes.back().fate, c.fate) << outcomes.back().why;
    EXPECT_EQ(outcomes.back().code, c.code);
    EXPECT_EQ(outcomes.back().why, c.why);
  }
  // A job the pool forgot without a word: stale.
  pool.command({{"cmd", "forget"}, {"ids", {"j1"}}});
  client.submit(find_shares(j1, 1, 30)[0]);
  const auto outcomes = rec.outcomes(++seen);
  ASSERT_EQ(outcomes.size(), seen);
  EXPECT_EQ(outcomes.back().fate, ShareFate::kRejected);
  EXPECT_EQ(outcomes.back().code, 21);
  EXPECT_EQ(outcomes.back().why, "job not found");

  const PoolStatus s = client.status()[0];
  EXPECT_EQ(s.accepted, 3u);
  EXPECT_EQ(s.rejected, 5u);
  EXPECT_EQ(s.rejected_by_code.at(22), 3u);
  EXPECT_EQ(s.rejected_by_code.at(21), 1u);
  EXPECT_EQ(s.rejected_by_code.at(23), 1u);
  EXPECT_TRUE(rec.wait_log("share rejected: 22 duplicate share"));
}

TEST(StratumClient, ARefusedUserIsRetriedWithBackoff) {
  PoolProcess pool({"--refuse-user", "mallory"});
  ASSERT_TRUE(pool.running());
  pool.command(job_command("j1"));
  Recorder rec;
  StratumClient client(options({pool.url()}, "mallory"), rec.handlers());
  ASSERT_EQ(client.start(), "");
  EXPECT_TRUE(rec.wait_log("authorization of mallory refused: 24 unauthorized")) << rec.log_text();
  EXPECT_TRUE(pool.wait_count("subscribed", 2)) << "it tries again";
  client.stop();
  EXPECT_EQ(client.job(), nullptr);
  EXPECT_GE(client.status()[0].failures, 1u);
}

TEST(StratumClient, StoppingDrainsAnswersAndDropsWhatIsLeft) {
  PoolProcess pool;
  ASSERT_TRUE(pool.running());
  pool.command(job_command("j1"));
  Recorder rec;
  StratumClient client(options({pool.url()}), rec.handlers());
  ASSERT_EQ(client.start(), "");
  const auto job = client.wait_job(0, kPatience);
  ASSERT_TRUE(job);
  const auto shares = find_shares(job, 3, 0);
  client.submit(shares[0]);
  client.stop(std::chrono::seconds(30));  // the answer is waited for
  auto outcomes = rec.outcomes(1);
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(outcomes[0].fate, ShareFate::kAccepted);
  client.submit(shares[1]);  // after stop: settled at once, on this thread
  outcomes = rec.outcomes(2);
  ASSERT_EQ(outcomes.size(), 2u);
  EXPECT_EQ(outcomes[1].fate, ShareFate::kDropped);
  EXPECT_EQ(outcomes[1].why, "client stopped");
  client.stop();  // idempotent
  EXPECT_EQ(client.status()[0].dropped, 1u);
  EXPECT_FALSE(client.status()[0].connected);

  // Without a drain, an unanswered share is dropped, not lost.
  Recorder rec2;
  StratumClient muted(options({pool.url()}), rec2.handlers());
  ASSERT_EQ(muted.start(), "");
  const auto job2 = rec2.wait_job("j1");
  ASSERT_TRUE(job2);
  pool.command({{"cmd", "mute"}, {"on", true}});
  muted.submit(find_shares(job2, 1, 0)[0]);
  muted.stop();
  const auto dropped = rec2.outcomes(1);
  ASSERT_EQ(dropped.size(), 1u);
  EXPECT_EQ(dropped[0].fate, ShareFate::kDropped);
  EXPECT_EQ(dropped[0].why, "client stopped");
}

TEST(StratumClient, SharesWaitingForAConnectionAreBounded) {
  PoolProcess pool;
  ASSERT_TRUE(pool.running());
  pool.command(job_command("j1"));
  Recorder rec;
  ClientOptions o = options({pool.url()});
  o.max_waiting_shares = 2;
  StratumClient client(o, rec.handlers());
  ASSERT_EQ(client.start(), "");
  const auto job = client.wait_job(0, kPatience);
  ASSERT_TRUE(job);
  pool.command({{"cmd", "close_listener"}});
  ASSERT_TRUE(rec.wait_log("the pool closed the connection")) << "the client knows it is down";
  const auto shares = find_shares(job, 3, 0);
  for (const Share& s : shares) client.submit(s);
  const auto outcomes = rec.outcomes(1);
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(outcomes[0].fate, ShareFate::kDropped);
  EXPECT_EQ(outcomes[0].why, "too many shares waiting for a connection");
  EXPECT_EQ(outcomes[0].share.tag, shares[0].tag) << "the oldest goes first";
  client.stop();  // the two still waiting
  const auto all = rec.outcomes(3);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[1].why, "client stopped");
  EXPECT_EQ(all[2].why, "client stopped");
  EXPECT_EQ(client.status()[0].dropped, 3u);
}

TEST(StratumClient, OptionsThatCannotWorkAreRefusedAtStart) {
  const std::string tcp = "stratum+tcp://127.0.0.1:1", tls = "stratum+ssl://127.0.0.1:1";
  struct Case {
    const char* what;
    std::vector<std::string> urls;
    std::string user, ca, error;
  };
  const Case cases[] = {
      {"no pool", {}, "alice", "", "no pool given"},
      {"no user", {tcp}, "", "", "no user given"},
      {"a CA file that is not there", {tls}, "alice", "/nonexistent/ca.pem", "cannot load the CA file /nonexistent/ca.pem"},
  };
  for (const Case& c : cases) {
    ClientOptions o = options(c.urls, c.user);
    o.tls_ca_file = c.ca;
    StratumClient client(o);
    EXPECT_NE(client.start().find(c.error), std::string::npos) << c.what;
  }
  Recorder rec;
  StratumClient twice(options({tcp}), rec.handlers());
  ASSERT_EQ(twice.start(), "");
  EXPECT_EQ(twice.start(), "the client was started before");
}

}  // namespace
