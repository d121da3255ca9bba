#include "stratum_messages.h"

#include <cstdio>

#include "quorl_ref/hex.hpp"

namespace qkmine::pool {
namespace {

constexpr size_t kMaxJobId = 128;

std::string line_of(const Json& message) {
  // Pool-supplied strings are valid UTF-8 (the parser checks), ours are ASCII
  // or the user's; replace rather than throw on anything else.
  return message.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

bool is_count(const Json& v) { return v.is_number_unsigned() || (v.is_number_integer() && v.get<int64_t>() >= 0); }

// A JSON non-negative integer up to `max`.
std::optional<uint64_t> count(const Json& v, uint64_t max) {
  if (!is_count(v)) return std::nullopt;
  const uint64_t x = v.get<uint64_t>();
  if (x > max) return std::nullopt;
  return x;
}

std::optional<quorl::ref::Cv> hex32(const Json& v) {
  if (!v.is_string()) return std::nullopt;
  return quorl::ref::parse_hex32(v.get_ref<const std::string&>());
}

bool printable_id(const std::string& id) {
  if (id.empty() || id.size() > kMaxJobId) return false;
  for (const char c : id) {
    if (c < 0x20 || c > 0x7e) return false;
  }
  return true;
}

// mining.notify params: [job_id, mode, m, n, k, key, target, clean_jobs, max_nonces].
std::string read_job(const Json& params, PoolJob& job) {
  if (!params.is_array() || params.size() < 9) return "params are not the 9 fields of a job";
  if (!params[0].is_string() || !printable_id(params[0].get_ref<const std::string&>())) {
    return "job_id is not a string of 1 to 128 printable characters";
  }
  job.id = params[0].get<std::string>();
  if (params[1] == "full") {
    job.mode = QV_MODE_FULL;
  } else if (params[1] == "bonly") {
    job.mode = QV_MODE_BONLY;
  } else {
    return "mode is not \"full\" or \"bonly\"";
  }
  int dims[3];
  for (int i = 0; i < 3; ++i) {
    const auto v = count(params[2 + i], INT32_MAX);
    if (!v) return std::string("m, n and k must be integers below 2^31; ") + "mnk"[i] + " is not";
    dims[i] = int(*v);
  }
  job.dims = {dims[0], dims[1], dims[2]};
  const auto key = hex32(params[5]), target = hex32(params[6]);
  if (!key) return "key is not 64 hex digits";
  if (!target) return "target is not 64 hex digits";
  job.key = *key, job.target = *target;
  if (!params[7].is_boolean()) return "clean_jobs is not true or false";
  job.pool_clean = params[7].get<bool>();
  const auto max_nonces = count(params[8], UINT64_MAX);
  if (!max_nonces) return "max_nonces is not a non-negative integer";
  job.max_nonces = *max_nonces;
  // The verifier's own rule: shapes qk_init takes, sizes it rebuilds, a nonce budget.
  const QvJob probe = job.verifier_job();
  char why[160] = "";
  if (qv_check_job(&probe, why, sizeof why) != QV_OK) return std::string("the verifier cannot check it: ") + why;
  return "";
}

std::string read_reconnect(const Json& params, Reconnect& r) {
  if (!params.is_array() || params.size() < 3) return "params are not [host, port, wait]";
  if (params[0].is_string()) {
    r.host = params[0].get<std::string>();
    if (r.host.size() > 253 || r.host.find_first_of(" /\t\r\n") != std::string::npos) return "host is not a host name";
  } else if (!params[0].is_null()) {
    return "host is not a string";
  }
  if (!params[1].is_null()) {
    const auto port = count(params[1], 65535);
    if (!port || *port == 0) return "port is not 1 to 65535";
    r.port = uint16_t(*port);
  }
  if (!params[2].is_null()) {
    if (!params[2].is_number() || !(params[2].get<double>() >= 0)) return "wait is not a number of seconds";
    const double wait = params[2].get<double>();
    r.wait_seconds = wait > kMaxReconnectWait ? kMaxReconnectWait : int(wait);
  }
  return "";
}

Incoming broken(std::string why) {
  Incoming in;
  in.kind = Incoming::kBroken;
  in.problem = std::move(why);
  return in;
}

Incoming ignored(std::string why) {
  Incoming in;
  in.kind = Incoming::kIgnored;
  in.problem = std::move(why);
  return in;
}

}  // namespace

std::string hex16(uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

std::string hex8(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", value);
  return text;
}

std::string subscribe_line(uint64_t id, const std::string& agent, std::optional<uint32_t> resume) {
  Json params = Json::array({agent});
  if (resume) params.push_back(hex8(*resume));
  return line_of({{"id", id}, {"method", "mining.subscribe"}, {"params", params}});
}

std::string authorize_line(uint64_t id, const std::string& user, const std::string& password) {
  return line_of({{"id", id}, {"method", "mining.authorize"}, {"params", {user, password}}});
}

std::string submit_line(uint64_t id, const std::string& user, const Share& s) {
  Json params = Json::array({user, s.job->id});
  if (s.job->mode == QV_MODE_FULL) {
    params.insert(params.end(), {hex16(s.seed_a), hex16(s.seed_b)});
  } else {
    params.insert(params.end(), {hex16(s.prepare_seed), hex16(s.first_nonce), hex16(s.nonce)});
  }
  params.push_back(s.found);
  return line_of({{"id", id}, {"method", "mining.submit"}, {"params", params}});
}

std::string unknown_method_line(const Json& id, const std::string& method) {
  return line_of({{"id", id}, {"result", nullptr}, {"error", {20, "unknown method " + method, nullptr}}});
}

Incoming read_line(std::string_view line) {
  const Json message = Json::parse(line.begin(), line.end(), nullptr, /*allow_exceptions=*/false);
  if (message.is_discarded()) return broken("malformed JSON: " + excerpt(line));
  if (!message.is_object()) return broken("a message that is not a JSON object: " + excerpt(line));

  const auto method = message.find("method");
  if (method != message.end()) {
    if (!method->is_string()) return broken("a method that is not a string");
    const std::string name = method->get<std::string>();
    const Json params = message.value("params", Json());
    const auto id = message.find("id");
    const bool request = id != message.end() && !id->is_null();
    Incoming in;
    if (name == "mining.notify") {
      const std::string problem = read_job(params, in.job);
      if (!problem.empty()) return ignored("job ignored: " + problem);
      in.kind = Incoming::kNotify;
      return in;
    }
    if (name == "client.reconnect") {
      const std::string problem = read_reconnect(params, in.reconnect);
      if (!problem.empty()) return ignored("client.reconnect ignored: " + problem);
      in.kind = Incoming::kReconnect;
      return in;
    }
    if (request) {
      in.kind = Incoming::kRequest;
      in.request_id = *id;
      in.method = name;
      in.problem = "unknown method " + excerpt(name);
      return in;
    }
    return ignored("unknown notification " + excerpt(name) + " ignored");
  }

  const auto id = message.find("id");
  if (id == message.end()) return broken("a message with neither method nor id: " + excerpt(line));
  if (!id->is_number_unsigned() && !(id->is_number_integer() && id->get<int64_t>() >= 0)) {
    // Pools answer a request they could not read with a null id.
    return ignored("an answer to no request of ours: " + excerpt(line));
  }
  if (message.find("result") == message.end() && message.find("error") == message.end()) {
    return broken("an answer with neither result nor error: " + excerpt(line));
  }
  Incoming in;
  in.kind = Incoming::kAnswer;
  in.answer.id = id->get<uint64_t>();
  in.answer.result = message.value("result", Json());
  const Json error = message.value("error", Json());
  if (!error.is_null()) {
    in.answer.has_error = true;
    if (error.is_array() && error.size() >= 2 && error[0].is_number_integer() && error[1].is_string()) {
      const int64_t code = error[0].get<int64_t>();
      in.answer.code = code >= -1000000 && code <= 1000000 ? int(code) : 0;
      in.answer.message = excerpt(error[1].get<std::string>(), 200);
    } else {
      in.answer.message = "malformed error " + excerpt(error.dump(-1, ' ', false, Json::error_handler_t::replace));
    }
  }
  return in;
}

std::optional<uint32_t> read_extranonce(const Json& result, std::string& problem) {
  if (!result.is_array() || result.size() < 2 || !result[1].is_string()) {
    problem = "the subscribe result is not [..., \"extranonce\"]";
    return std::nullopt;
  }
  const std::string& e = result[1].get_ref<const std::string&>();
  uint32_t value = 0;
  bool ok = e.size() == 8;
  for (const char c : e) {
    const int digit = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : -1;
    ok = ok && digit >= 0;
    value = value << 4 | uint32_t(digit & 15);
  }
  if (!ok) {
    problem = "the extranonce is not 8 hex digits: " + excerpt(e);
    return std::nullopt;
  }
  return value;
}

std::string excerpt(std::string_view text, size_t limit) {
  std::string out;
  for (const char c : text.substr(0, limit)) {
    if (c >= 0x20 && c < 0x7f) {
      out += c;
    } else {
      char esc[5];
      std::snprintf(esc, sizeof esc, "\\x%02x", static_cast<unsigned char>(c));
      out += esc;
    }
  }
  if (text.size() > limit) out += "... (" + std::to_string(text.size()) + " bytes)";
  return out;
}

}  // namespace qkmine::pool
