// The stratum lines the client writes, field by field, and what it makes of
// the lines a pool sends: jobs, answers, redirects, and everything else.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "stratum_messages.h"

namespace {

using namespace qkmine::pool;

constexpr const char* kKey = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
constexpr const char* kTarget = "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff0f";

Json parsed(const std::string& line) {
  EXPECT_FALSE(line.empty());
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line";
  return Json::parse(line);
}

TEST(StratumMessages, RequestsCarryTheirFieldsInOrder) {
  EXPECT_EQ(parsed(subscribe_line(1, "qkmine/0.1.0", std::nullopt)),
            Json::parse(R"({"id":1,"method":"mining.subscribe","params":["qkmine/0.1.0"]})"));
  EXPECT_EQ(parsed(subscribe_line(9, "qkmine/0.1.0", 0x00ab00cdu)),
            Json::parse(R"({"id":9,"method":"mining.subscribe","params":["qkmine/0.1.0","00ab00cd"]})"));
  EXPECT_EQ(parsed(authorize_line(2, "rig\"7", "x")),
            Json::parse(R"({"id":2,"method":"mining.authorize","params":["rig\"7","x"]})"));

  auto job = std::make_shared<PoolJob>();
  job->id = "job-5";
  Share s;
  s.job = job;
  s.seed_a = 0x1234567800000001ull, s.seed_b = ~uint64_t(0), s.found = 77;
  s.prepare_seed = 5, s.first_nonce = 6, s.nonce = 7;  // not sent for a full job
  EXPECT_EQ(parsed(submit_line(3, "alice", s)),
            Json::parse(R"({"id":3,"method":"mining.submit",
                            "params":["alice","job-5","1234567800000001","ffffffffffffffff",77]})"));
  job->mode = QV_MODE_BONLY;
  s.prepare_seed = 0xabcdef0100000000ull, s.first_nonce = 0, s.nonce = 0x10;
  EXPECT_EQ(parsed(submit_line(4, "alice", s)),
            Json::parse(R"({"id":4,"method":"mining.submit",
                            "params":["alice","job-5","abcdef0100000000","0000000000000000","0000000000000010",77]})"));
  EXPECT_EQ(parsed(unknown_method_line(Json("req-1"), "client.get_version")),
            Json::parse(R"({"id":"req-1","result":null,"error":[20,"unknown method client.get_version",null]})"));
}

TEST(StratumMessages, AJobIsReadFieldByField) {
  const std::string base = std::string(R"({"id":null,"method":"mining.notify","params":["j9","bonly",128,256,512,")") +
                           kKey + "\",\"" + kTarget + "\",false,1000]}";
  const Incoming in = read_line(base);
  ASSERT_EQ(in.kind, Incoming::kNotify) << in.problem;
  EXPECT_EQ(in.job.id, "j9");
  EXPECT_EQ(in.job.mode, QV_MODE_BONLY);
  EXPECT_EQ(in.job.dims.m, 128);
  EXPECT_EQ(in.job.dims.n, 256);
  EXPECT_EQ(in.job.dims.k, 512);
  EXPECT_EQ(in.job.key[0], 0x03020100u) << "byte 0 first, words little-endian";
  EXPECT_EQ(in.job.key[7], 0x1f1e1d1cu);
  EXPECT_EQ(in.job.target[7], 0x0fffffffu);
  EXPECT_FALSE(in.job.pool_clean);
  EXPECT_EQ(in.job.max_nonces, 1000u);

  // Upper-case hex, CRLF endings and fields after the ninth are fine.
  std::string upper = base;
  const size_t key_at = upper.find(kKey);
  for (size_t at = key_at; at < key_at + 64; ++at) upper[at] = char(std::toupper(upper[at]));
  const Incoming again = read_line(upper.substr(0, upper.size() - 2) + ",\"extra\"]}\r");
  ASSERT_EQ(again.kind, Incoming::kNotify) << again.problem;
  EXPECT_EQ(again.job.key, in.job.key);
  const Incoming huge = read_line(std::string(R"({"method":"mining.notify","params":["j","full",128,256,256,")") + kKey +
                                  "\",\"" + kTarget + "\",true,18446744073709551615]}");
  ASSERT_EQ(huge.kind, Incoming::kNotify) << huge.problem;
  EXPECT_EQ(huge.job.max_nonces, ~uint64_t(0));
}

TEST(StratumMessages, AnswersCarryTheResultOrThePoolsError) {
  struct Case {
    const char* line;
    Incoming::Kind kind;
    uint64_t id;
    bool has_error;
    int code;
    const char* message;  // or part of the problem
  };
  const Case cases[] = {
      {R"({"id":5,"result":true,"error":null})", Incoming::kAnswer, 5, false, 0, ""},
      {R"({"id":6,"result":null,"error":[23,"share above target",null]})", Incoming::kAnswer, 6, true, 23,
       "share above target"},
      {R"({"id":7,"result":false,"error":{"code":21}})", Incoming::kAnswer, 7, true, 0, "malformed error"},
      {R"({"id":8,"error":[99999999999,"huge code"]})", Incoming::kAnswer, 8, true, 0, "huge code"},
      {R"({"id":9,"result":[null,"0a0b0c0d"]})", Incoming::kAnswer, 9, false, 0, ""},
      {R"({"id":null,"result":null,"error":[20,"parse error",null]})", Incoming::kIgnored, 0, false, 0,
       "an answer to no request of ours"},
      {R"({"id":-4,"result":true})", Incoming::kIgnored, 0, false, 0, "no request of ours"},
      {R"({"id":"x","result":true})", Incoming::kIgnored, 0, false, 0, "no request of ours"},
      {R"({"id":4})", Incoming::kBroken, 0, false, 0, "neither result nor error"},
  };
  for (const Case& c : cases) {
    const Incoming in = read_line(c.line);
    ASSERT_EQ(in.kind, c.kind) << c.line << ": " << in.problem;
    if (c.kind == Incoming::kAnswer) {
      EXPECT_EQ(in.answer.id, c.id) << c.line;
      EXPECT_EQ(in.answer.has_error, c.has_error) << c.line;
      EXPECT_EQ(in.answer.code, c.code) << c.line;
      EXPECT_NE(in.answer.message.find(c.message), std::string::npos) << c.line << ": " << in.answer.message;
    } else {
      EXPECT_NE(in.problem.find(c.message), std::string::npos) << c.line << ": " << in.problem;
    }
  }
}

TEST(StratumMessages, RedirectsAreReadAndTheirWaitClamped) {
  struct Case {
    const char* params;
    Incoming::Kind kind;
    const char* host;
    uint16_t port;
    int wait;
  };
  const Case cases[] = {
      {R"(["pool2.example", 3334, 5])", Incoming::kReconnect, "pool2.example", 3334, 5},
      {R"([null, null, null])", Incoming::kReconnect, "", 0, 0},
      {R"(["", 4000, 2.7])", Incoming::kReconnect, "", 4000, 2},
      {R"(["h", 1, 1e9])", Incoming::kReconnect, "h", 1, kMaxReconnectWait},
      {R"(["h", 1, -1])", Incoming::kIgnored, "", 0, 0},
      {R"(["h", "1", 1])", Incoming::kIgnored, "", 0, 0},
      {R"(["h", 70000, 1])", Incoming::kIgnored, "", 0, 0},
      {R"([5, 1, 1])", Incoming::kIgnored, "", 0, 0},
      {R"(["h", 1])", Incoming::kIgnored, "", 0, 0},
  };
  for (const Case& c : cases) {
    const Incoming in = read_line(std::string(R"({"id":null,"method":"client.reconnect","params":)") + c.params + "}");
    ASSERT_EQ(in.kind, c.kind) << c.params << ": " << in.problem;
    if (c.kind != Incoming::kReconnect) continue;
    EXPECT_EQ(in.reconnect.host, c.host) << c.params;
    EXPECT_EQ(in.reconnect.port, c.port) << c.params;
    EXPECT_EQ(in.reconnect.wait_seconds, c.wait) << c.params;
  }
}

TEST(StratumMessages, TheExtranonceIsEightHexDigits) {
  const std::pair<const char*, long long> cases[] = {
      {R"([null,"0000abcd"])", 0xabcd},    {R"([null,"FFFFFFFF"])", 0xffffffffLL},
      {R"([[["mining.notify","s"]],"12345678",4])", 0x12345678},
      {R"([null,"abcd"])", -1},            {R"([null,"0000abcdef"])", -1},
      {R"([null,"0000abcg"])", -1},        {R"([null,305419896])", -1},
      {R"("0000abcd")", -1},               {R"([null])", -1},
  };
  for (const auto& [text, want] : cases) {
    std::string problem;
    const auto e = read_extranonce(Json::parse(text), problem);
    if (want < 0) {
      EXPECT_FALSE(e) << text;
      EXPECT_FALSE(problem.empty()) << text;
    } else {
      ASSERT_TRUE(e) << text << ": " << problem;
      EXPECT_EQ(*e, uint32_t(want)) << text;
    }
  }
}

TEST(StratumMessages, ExcerptsOfUntrustedTextArePrintableAndShort) {
  EXPECT_EQ(excerpt("plain text"), "plain text");
  EXPECT_EQ(excerpt("bell\a and \x1b[31mred"), "bell\\x07 and \\x1b[31mred");
  EXPECT_EQ(excerpt(std::string(100, 'x'), 10), "xxxxxxxxxx... (100 bytes)");
  EXPECT_EQ(hex16(0x1234), "0000000000001234");
  EXPECT_EQ(hex8(0xabcdef), "00abcdef");
}

TEST(StratumMessages, SharesInsideAndOutsideTheirJobsSeedSpace) {
  PoolJob full, bonly;
  full.extranonce = bonly.extranonce = 0x0000beef;
  bonly.mode = QV_MODE_BONLY;
  bonly.max_nonces = 10;
  const uint64_t in = uint64_t(0xbeef) << 32;
  struct Case {
    const char* what;
    const PoolJob* job;
    uint64_t seed, first, nonce;
    bool inside;
  };
  const Case cases[] = {
      {"full, in E", &full, in | 0xffffffff, 0, 0, true},
      {"full, next E", &full, in + (uint64_t(1) << 32), 0, 0, false},
      {"bonly, first nonce", &bonly, in, 50, 50, true},
      {"bonly, last nonce allowed", &bonly, in, 50, 59, true},
      {"bonly, one too many", &bonly, in, 50, 60, false},
      {"bonly, backwards", &bonly, in, 50, 49, false},
      {"bonly, other E", &bonly, in ^ (uint64_t(1) << 40), 50, 50, false},
  };
  for (const Case& c : cases) {
    Share s;
    s.seed_a = s.prepare_seed = c.seed;
    s.first_nonce = c.first, s.nonce = c.nonce;
    EXPECT_EQ(in_seed_space(*c.job, s), c.inside) << c.what;
  }
}

}  // namespace
