#include "record_json.h"


#include "quorl_ref/hex.hpp"
#include "record_fields.h"

namespace quorl::verify {
namespace {

// A cursor over the text; every read reports what it expected on failure.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  void skip_space() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\n' || text_[pos_] == '\r')) {
      ++pos_;
    }
  }
  bool at_end() {
    skip_space();
    return pos_ == text_.size();
  }
  bool take(char c) {
    skip_space();
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  // A string without escapes (no record field needs one).
  bool string(std::string_view& out, std::string& error) {
    if (!take('"')) return fail("expected a string", error);
    const size_t start = pos_;
    while (pos_ < text_.size() && text_[pos_] != '"') {
      const unsigned char c = static_cast<unsigned char>(text_[pos_]);
      if (c == '\\') return fail("escapes in strings are not supported", error);
      if (c < 0x20) return fail("control character in a string", error);
      ++pos_;
    }
    if (pos_ == text_.size()) return fail("unterminated string", error);
    out = text_.substr(start, pos_ - start);
    ++pos_;
    return true;
  }
  // An integer literal: optional minus, digits; fractions and exponents are refused.
  bool integer(std::string_view& out, std::string& error) {
    skip_space();
    const size_t start = pos_;
    if (pos_ < text_.size() && text_[pos_] == '-') ++pos_;
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
    if (pos_ == start || (pos_ == start + 1 && text_[start] == '-')) {
      return fail("expected a string or an integer", error);
    }
    if (pos_ < text_.size() && (text_[pos_] == '.' || text_[pos_] == 'e' || text_[pos_] == 'E')) {
      return fail("numbers must be integers", error);
    }
    out = text_.substr(start, pos_ - start);
    return true;
  }
  bool fail(const std::string& what, std::string& error) const {
    error = what + " at offset " + std::to_string(pos_);
    return false;
  }
  char peek() {
    skip_space();
    return pos_ < text_.size() ? text_[pos_] : '\0';
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace

std::string parse_record(std::string_view json, QvRecord& record) {
  record = empty_record();
  FieldSet present = 0;
  Reader in(json);
  std::string error;
  if (!in.take('{')) return in.fail("expected '{'", error), error;
  if (!in.take('}')) {
    do {
      std::string_view name, value;
      if (!in.string(name, error)) return error;
      if (!in.take(':')) return in.fail("expected ':'", error), error;
      const bool quoted = in.peek() == '"';
      if (!(quoted ? in.string(value, error) : in.integer(value, error))) return error;
      const FieldInfo* f = find_field(name);
      if (f == nullptr) continue;  // unknown fields are allowed (newer writers)
      const bool wants_text = field_kind(*f) == FieldKind::kMode || field_kind(*f) == FieldKind::kHex32 ||
                              field_kind(*f) == FieldKind::kText;
      if (quoted != wants_text) {
        return std::string(name) + (wants_text ? " must be a string" : " must be an integer");
      }
      FieldSet bit = 0;
      const std::string problem = assign_field(record, bit, *f, value);
      if (!problem.empty()) return problem;
      if (present & bit) return std::string(name) + " given twice";
      present |= bit;
    } while (in.take(','));
    if (!in.take('}')) return in.fail("expected ',' or '}'", error), error;
  }
  if (!in.at_end()) return in.fail("text after the record", error), error;
  const std::string missing = missing_field(record, present);
  if (!missing.empty()) return "record lacks " + missing;
  return "";
}

std::string format_record(const QvRecord& r, std::string_view device) {
  auto hex = [](const uint32_t* words) {
    ref::Cv cv;
    std::copy(words, words + 8, cv.begin());
    return ref::to_hex(cv);
  };
  auto u64 = [](uint64_t v) { return std::to_string(v); };
  std::string out = "{\"mode\":\"";
  out += r.mode == QV_MODE_BONLY ? "bonly" : "full";
  out += "\"";
  if (!device.empty()) out += ",\"device\":\"" + std::string(device) + "\"";
  out += ",\"m\":" + std::to_string(r.m) + ",\"n\":" + std::to_string(r.n) +
         ",\"k\":" + std::to_string(r.k);
  out += ",\"key\":\"" + hex(r.key) + "\",\"target\":\"" + hex(r.target) + "\"";
  if (r.mode == QV_MODE_BONLY) {
    out += ",\"prepare_seed\":" + u64(r.prepare_seed) + ",\"first_nonce\":" + u64(r.first_nonce) +
           ",\"nonce\":" + u64(r.nonce);
  } else {
    out += ",\"seed_a\":" + u64(r.seed_a) + ",\"seed_b\":" + u64(r.seed_b);
  }
  out += ",\"a_hash\":\"" + hex(r.a_hash) + "\",\"b_hash\":\"" + hex(r.b_hash) + "\"";
  out += ",\"a_seed\":\"" + hex(r.a_seed) + "\",\"b_seed\":\"" + hex(r.b_seed) + "\"";
  out += ",\"found\":" + std::to_string(r.found);
  if (r.has_hash) out += ",\"hash\":\"" + hex(r.hash) + "\"";
  out += "}";
  return out;
}

}  // namespace quorl::verify
