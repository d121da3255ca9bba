#include "record_json.h"

#include <nlohmann/json.hpp>

#include "quorl_ref/hex.hpp"
#include "record_fields.h"

namespace quorl::verify {
namespace {

using Json = nlohmann::json;

// Reads one flat object through nlohmann-json's SAX interface, so the
// record's own rules hold where a plain parse would not: a repeated field
// is refused (a parse keeps the last), every integer reaches its field as
// the decimal text it was written as (a parse narrows it to a double past
// 2^64), and values other than strings and integers are refused, nested
// ones included.
class RecordReader : public nlohmann::json_sax<Json> {
 public:
  explicit RecordReader(QvRecord& record) : record_(record) { record_ = empty_record(); }

  // What went wrong, or "" if nothing did.
  const std::string& problem() const { return problem_; }
  FieldSet present() const { return present_; }

  bool start_object(std::size_t) override {
    if (state_ != State::kStart) return refuse_value();
    state_ = State::kKey;
    return true;
  }
  bool end_object() override {
    state_ = State::kDone;
    return true;
  }
  bool key(string_t& name) override {
    name_ = name;
    state_ = State::kValue;
    return true;
  }
  bool string(string_t& value) override { return take(value, true); }
  bool number_unsigned(number_unsigned_t value) override { return take(std::to_string(value), false); }
  bool number_integer(number_integer_t value) override {
    // Only numbers written with a minus come here ("-0" included).
    const uint64_t magnitude = value < 0 ? 0 - uint64_t(value) : uint64_t(value);
    return take("-" + std::to_string(magnitude), false);
  }
  bool number_float(number_float_t, const string_t& text) override {
    // Integers past 64 bits come here too, as written.
    if (text.find_first_of(".eE") != string_t::npos) return fail("numbers must be integers");
    return take(text, false);
  }
  bool null() override { return refuse_value(); }
  bool boolean(bool) override { return refuse_value(); }
  bool binary(binary_t&) override { return refuse_value(); }
  bool start_array(std::size_t) override { return refuse_value(); }
  bool end_array() override { return refuse_value(); }

  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& e) override {
    static const char* const kExpected[] = {"expected '{'", "expected a string", "expected a string or an integer",
                                            "expected ',' or '}'", "text after the record"};
    // The reader stopped at the last character it read.
    const size_t offset = position > 0 ? position - 1 : 0;
    const std::string detail = e.what();
    // "[json.exception.parse_error.101] parse error at line 1, column 5: <what>"
    const size_t colon = detail.find(": ", detail.find("column"));
    fail(std::string(kExpected[int(state_)]) + " at offset " + std::to_string(offset) +
         (colon != std::string::npos ? " (" + detail.substr(colon + 2) + ")" : ""));
    return false;
  }

 private:
  enum class State { kStart, kKey, kValue, kAfterValue, kDone };

  bool fail(const std::string& why) {
    if (problem_.empty()) problem_ = why;
    return false;
  }
  bool refuse_value() {
    if (state_ == State::kStart) return fail("expected '{'");
    return fail(state_ == State::kValue ? name_ + " must be a string or an integer" : "expected a string");
  }

  // The value of field name_, as text; `quoted` when it was a JSON string.
  bool take(const std::string& value, bool quoted) {
    if (state_ != State::kValue) return refuse_value();
    state_ = State::kAfterValue;
    const FieldInfo* f = find_field(name_);
    if (f == nullptr) return true;  // unknown fields are allowed (newer writers)
    const bool wants_text =
        field_kind(*f) == FieldKind::kMode || field_kind(*f) == FieldKind::kHex32 || field_kind(*f) == FieldKind::kText;
    if (quoted != wants_text) return fail(name_ + (wants_text ? " must be a string" : " must be an integer"));
    FieldSet bit = 0;
    const std::string problem = assign_field(record_, bit, *f, value);
    if (!problem.empty()) return fail(problem);
    if (present_ & bit) return fail(name_ + " given twice");
    present_ |= bit;
    return true;
  }

  QvRecord& record_;
  State state_ = State::kStart;
  std::string name_, problem_;
  FieldSet present_ = 0;
};

}  // namespace

std::string parse_record(std::string_view json, QvRecord& record) {
  // Record fields never need an escape; refusing them keeps every field
  // exactly as written.
  if (const size_t at = json.find('\\'); at != std::string_view::npos) {
    record = empty_record();
    return "escapes in strings are not supported at offset " + std::to_string(at);
  }
  RecordReader reader(record);
  const bool parsed = Json::sax_parse(json.begin(), json.end(), &reader);
  if (!parsed || !reader.problem().empty()) {
    return reader.problem().empty() ? "not a record" : reader.problem();
  }
  const std::string missing = missing_field(record, reader.present());
  if (!missing.empty()) return "record lacks " + missing;
  return "";
}

std::string format_record(const QvRecord& r, std::string_view device) {
  auto hex = [](const uint32_t* words) {
    ref::Cv cv;
    std::copy(words, words + 8, cv.begin());
    return ref::to_hex(cv);
  };
  nlohmann::ordered_json out;
  out["mode"] = r.mode == QV_MODE_BONLY ? "bonly" : "full";
  if (!device.empty()) out["device"] = std::string(device);
  out["m"] = r.m, out["n"] = r.n, out["k"] = r.k;
  out["key"] = hex(r.key), out["target"] = hex(r.target);
  if (r.mode == QV_MODE_BONLY) {
    out["prepare_seed"] = r.prepare_seed, out["first_nonce"] = r.first_nonce, out["nonce"] = r.nonce;
  } else {
    out["seed_a"] = r.seed_a, out["seed_b"] = r.seed_b;
  }
  out["a_hash"] = hex(r.a_hash), out["b_hash"] = hex(r.b_hash);
  out["a_seed"] = hex(r.a_seed), out["b_seed"] = hex(r.b_seed);
  out["found"] = r.found;
  if (r.has_hash) out["hash"] = hex(r.hash);
  return out.dump();
}

}  // namespace quorl::verify
