// qkmine verify: check one attempt's record on the host alone. The record
// comes as options or, when none is given, as one JSON object on stdin.
#include <cstdio>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "commands.h"
#include "quorl_ref/hex.hpp"
#include "quorl_verify.h"
#include "record_fields.h"
#include "record_json.h"

namespace qkmine {
namespace {

constexpr const char* kUsage =
    "usage: qkmine verify [--json] [--threads T] [--max-bytes B] [< record.json]\n"
    "       qkmine verify --mode full|bonly --m M --n N --k K --key HEX --target HEX\n"
    "         (--seed-a X --seed-b Y | --prepare-seed S --first-nonce X --nonce Y)\n"
    "         --a-hash HEX --b-hash HEX --a-seed HEX --b-seed HEX --found F [--hash HEX]\n"
    "         [--json] [--threads T] [--max-bytes B]\n";

// The most bytes of A and B together that a record may make verify rebuild:
// 8x the default GPU shape (8192 x 8192 x 2048 takes 32 MiB), so a record
// from a stranger cannot claim gigabytes of work.
constexpr uint64_t kDefaultMaxBytes = uint64_t(256) << 20;

// Record options: the record's field names with '-' for '_', and their values.
const struct {
  const char* name;
  const char* value_name;
} kRecordOptions[] = {{"mode", "full|bonly"}, {"m", "M"},          {"n", "N"},
                      {"k", "K"},             {"key", "HEX"},      {"target", "HEX"},
                      {"seed-a", "X"},        {"seed-b", "Y"},     {"prepare-seed", "S"},
                      {"first-nonce", "X"},   {"nonce", "Y"},      {"a-hash", "HEX"},
                      {"b-hash", "HEX"},      {"a-seed", "HEX"},   {"b-seed", "HEX"},
                      {"found", "F"},         {"hash", "HEX"}};

int usage(const std::string& why) { return usage_error("verify", kUsage, why); }

int bad_record(const std::string& why) {
  std::fprintf(stderr, "qkmine verify: bad record: %s\n", why.c_str());
  return kExitUsage;
}

std::string field_name(std::string option) {
  for (char& c : option) c = c == '-' ? '_' : c;
  return option;
}

// Builds the record from options; "" or the reason it is refused.
std::string record_from_options(const OptionValues& opt, QvRecord& record) {
  using namespace quorl::verify;
  record = empty_record();
  FieldSet present = 0;
  for (const auto& [option, value_name] : kRecordOptions) {
    std::optional<std::string> value = opt.text(option);
    if (!value) continue;
    const FieldInfo* f = find_field(field_name(option));
    // Integers on the command line may be 0x-hex, as in the other commands.
    if (field_kind(*f) == FieldKind::kU64 || field_kind(*f) == FieldKind::kDim) {
      const auto v = opt.u64(option);
      if (!v) return "--" + std::string(option) + " must be an unsigned integer";
      *value = std::to_string(*v);
    } else if (field_kind(*f) == FieldKind::kFound) {
      const auto v = opt.integer(option);
      if (!v) return "--found must be -1 or a grid index";
      *value = std::to_string(*v);
    }
    const std::string problem = assign_field(record, present, *f, *value);
    if (!problem.empty()) return problem;
  }
  const std::string missing = missing_field(record, present);
  return missing.empty() ? "" : "--" + missing + " is required";
}

std::string hex(const uint32_t* words, int count) {
  std::string out;
  for (int i = 0; i < count; i += 8) {
    quorl::ref::Cv cv;
    std::copy(words + i, words + i + 8, cv.begin());
    out += quorl::ref::to_hex(cv);
  }
  return out;
}

const char* fault_name(int fault) {
  switch (fault) {
    case QV_FAULT_A_HASH: return "a_hash";
    case QV_FAULT_B_HASH: return "b_hash";
    case QV_FAULT_B_SEED: return "b_seed";
    case QV_FAULT_A_SEED: return "a_seed";
    case QV_FAULT_HASH: return "hash";
    case QV_FAULT_TARGET: return "target";
  }
  return "";
}

const char* fault_text(int fault) {
  switch (fault) {
    case QV_FAULT_A_HASH: return "the root of A is not the claimed a_hash";
    case QV_FAULT_B_HASH: return "the root of B is not the claimed b_hash";
    case QV_FAULT_B_SEED: return "b_seed is not derived from the key and b_hash";
    case QV_FAULT_A_SEED: return "a_seed is not derived from b_seed and a_hash";
    case QV_FAULT_HASH: return "the cell's hash is not the claimed hash";
    case QV_FAULT_TARGET: return "the cell's hash is above the target";
  }
  return "";
}

void print_verdict(const QvVerdict& v, bool json) {
  const bool valid = v.fault == QV_FAULT_NONE;
  if (json) {
    nlohmann::ordered_json out = {{"valid", valid}};
    if (!valid) out["fault"] = fault_name(v.fault);
    if (v.has_cell) out["hash"] = hex(v.hash, 8), out["message"] = hex(v.message, 16);
    out["a_hash"] = hex(v.a_hash, 8), out["b_hash"] = hex(v.b_hash, 8);
    out["a_seed"] = hex(v.a_seed, 8), out["b_seed"] = hex(v.b_seed, 8);
    std::printf("%s\n", out.dump().c_str());
    return;
  }
  if (valid) {
    std::printf("valid%s\n", v.has_cell ? "" : " (no share claimed: roots and seeds checked)");
  } else {
    std::printf("invalid: %s\n", fault_text(v.fault));
  }
  if (v.has_cell) std::printf("hash %s\nmessage %s\n", hex(v.hash, 8).c_str(), hex(v.message, 16).c_str());
  std::printf("a_hash %s\nb_hash %s\na_seed %s\nb_seed %s\n", hex(v.a_hash, 8).c_str(),
              hex(v.b_hash, 8).c_str(), hex(v.a_seed, 8).c_str(), hex(v.b_seed, 8).c_str());
}

int run_verify(const OptionValues& opt) {
  int threads = 1;
  if (opt.has("threads")) {
    const auto t = opt.integer("threads");
    if (!t || *t < 1 || *t > 256) return usage("--threads takes 1 to 256");
    threads = int(*t);
  }
  uint64_t max_bytes = kDefaultMaxBytes;
  if (opt.has("max-bytes")) {
    const auto b = opt.u64("max-bytes");
    if (!b || *b == 0) return usage("--max-bytes takes a positive number of bytes");
    max_bytes = *b;
  }
  bool from_options = false;
  for (const auto& record_option : kRecordOptions) from_options |= opt.has(record_option.name);

  QvRecord record;
  if (from_options) {
    const std::string problem = record_from_options(opt, record);
    if (!problem.empty()) return usage(problem);
  } else {
    const std::string text{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
    const std::string problem = quorl::verify::parse_record(text, record);
    if (!problem.empty()) return bad_record(problem);
  }
  // Dims are checked positive int32 by the reader, so the products fit.
  const uint64_t bytes = uint64_t(int64_t(record.m) * record.k + int64_t(record.n) * record.k);
  if (bytes > max_bytes) {
    return bad_record("its matrices take " + std::to_string(bytes) + " bytes, above --max-bytes " +
                      std::to_string(max_bytes));
  }
  QvVerdict verdict;
  char why[256] = "";
  const int status = qv_verify(&record, threads, &verdict, why, sizeof why);
  if (status == QV_BAD_RECORD) return bad_record(why);
  print_verdict(verdict, opt.has("json"));
  return status == QV_OK ? kExitOk : kExitFailed;
}

}  // namespace

CommandSpec verify_command() {
  CommandSpec spec{"verify", "check a mining record on the host (fields as options or JSON on stdin)", kUsage, {},
                   run_verify};
  for (const auto& [name, value_name] : kRecordOptions) {
    spec.options.push_back({name, value_name, std::string("the record's ") + name + " (instead of stdin)"});
  }
  spec.options.push_back({"threads", "T", "threads for the check, 1 to 256", "1"});
  spec.options.push_back({"max-bytes", "B", "refuse a record whose A and B together exceed B bytes",
                          std::to_string(kDefaultMaxBytes) + " (256 MiB)"});
  spec.options.push_back({"json", nullptr, "print one JSON object"});
  return spec;
}

}  // namespace qkmine
