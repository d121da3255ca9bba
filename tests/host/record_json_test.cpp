// The record's JSON rules, field by field, through the C API: what is read
// and how exactly, and what is refused with which reason.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "quorl_verify.h"

namespace {

constexpr const char* kHex = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

// A full-mode record whose seed_a, found and extra fields the cases write.
std::string full(const std::string& seed_a, const std::string& found = "-1", const std::string& extra = "") {
  const std::string h = std::string("\"") + kHex + "\"";
  return "{\"mode\":\"full\",\"m\":128,\"n\":256,\"k\":64,\"key\":" + h + ",\"target\":" + h +
         ",\"seed_a\":" + seed_a + ",\"seed_b\":2,\"a_hash\":" + h + ",\"b_hash\":" + h + ",\"a_seed\":" + h +
         ",\"b_seed\":" + h + ",\"found\":" + found + extra + "}";
}

struct Parsed {
  int status;
  QvRecord record;
  std::string error;
};

Parsed parse(const std::string& text) {
  Parsed p{};
  char error[256] = "";
  p.status = qv_parse_record(text.data(), text.size(), &p.record, error, sizeof error);
  p.error = error;
  return p;
}

TEST(RecordJson, SeedsAreReadExactlyOverTheWholeUnsignedRange) {
  const struct {
    const char* text;
    uint64_t value;
  } cases[] = {
      {"0", 0},
      {"9223372036854775807", 9223372036854775807ull},    // 2^63 - 1
      {"9223372036854775808", 9223372036854775808ull},    // 2^63
      {"18446744073709551615", 18446744073709551615ull},  // 2^64 - 1
  };
  for (const auto& c : cases) {
    const Parsed p = parse(full(c.text));
    ASSERT_EQ(p.status, QV_OK) << c.text << ": " << p.error;
    EXPECT_EQ(p.record.seed_a, c.value) << c.text;
    char again[1024];
    qv_format_record(&p.record, again, sizeof again);
    EXPECT_NE(std::string(again).find(std::string("\"seed_a\":") + c.text + ","), std::string::npos) << again;
  }
}

TEST(RecordJson, ValuesAreRefusedWithTheirReason) {
  const struct {
    std::string text, reason;  // reason "": accepted
  } cases[] = {
      {full("18446744073709551616"), "seed_a must be an unsigned 64-bit decimal integer"},
      {full("-1"), "seed_a must be an unsigned"},
      {full("-0"), "seed_a must be an unsigned"},
      {full("-99999999999999999999"), "seed_a must be an unsigned"},
      {full("1.0"), "numbers must be integers"},
      {full("1e3"), "numbers must be integers"},
      {full("\"1\""), "seed_a must be an integer"},
      {full("true"), "seed_a must be a string or an integer"},
      {full("null"), "seed_a must be a string or an integer"},
      {full("[1]"), "seed_a must be a string or an integer"},
      {full("3", "-1"), ""},
      {full("3", "-0"), "found must be -1 or a grid index"},
      {full("3", "-2"), "found must be -1 or a grid index"},
      {full("3", "2147483648"), "found must be -1 or a grid index"},
      {full("3", "-1", ",\"seed_a\":3"), "seed_a given twice"},
      {full("3", "-1", ",\"device\":\"gpu:0\",\"device\":\"gpu:1\""), "device given twice"},
      {full("3", "-1", ",\"note\":1,\"note\":\"again\""), ""},  // unknown fields may repeat
      {full("3", "-1", ",\"note\":{\"a\":1}"), "note must be a string or an integer"},
      {full("3", "-1", ",\"note\":[]"), "note must be a string or an integer"},
      {full("3", "-1", ",\"note\":\"\\u0041\""), "escapes in strings are not supported"},
      {full("3", "-1", ",\"note\":\"a\x01\""), "at offset"},  // a control character
      {"5", "expected '{'"},
      {"{\"mode\":\"full\"} {}", "text after the record"},
      {"{\"mode\" \"full\"}", "expected ':'"},
      {"{}", "record lacks mode"},
  };
  for (const auto& c : cases) {
    const Parsed p = parse(c.text);
    if (c.reason.empty()) {
      EXPECT_EQ(p.status, QV_OK) << c.text << ": " << p.error;
      continue;
    }
    EXPECT_EQ(p.status, QV_BAD_RECORD) << c.text;
    EXPECT_NE(p.error.find(c.reason), std::string::npos) << c.text << ": " << p.error;
  }
}

}  // namespace
