// The stratum messages of this scheme, as lines of JSON: what the client
// sends, and what it makes of each line a pool sends. Everything a pool sends
// is untrusted: every field is checked for type and range, and a job the
// verifier could not check is refused here, before any miner sees it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "pool_job.h"

namespace qkmine::pool {

using Json = nlohmann::json;

// Longest line a pool may send, newline excluded.
constexpr size_t kMaxLine = 64 * 1024;

std::string hex16(uint64_t value);  // 16 lowercase hex digits, most significant first
std::string hex8(uint32_t value);   // 8 lowercase hex digits

// Requests, each one line ending in '\n'. `resume` asks the pool for the
// extranonce of a lost connection back (pools may ignore it).
std::string subscribe_line(uint64_t id, const std::string& agent, std::optional<uint32_t> resume);
std::string authorize_line(uint64_t id, const std::string& user, const std::string& password);
std::string submit_line(uint64_t id, const std::string& user, const Share& share);
// The answer to a request for a method the client does not serve.
std::string unknown_method_line(const Json& id, const std::string& method);

// An answer to one of the client's requests.
struct Answer {
  uint64_t id = 0;
  Json result;          // null when absent
  bool has_error = false;
  int code = 0;         // the pool's error code, 0 when it gave none or a malformed one
  std::string message;  // the pool's error message
};

struct Reconnect {
  std::string host;  // "" for the same host
  uint16_t port = 0; // 0 for the same port
  int wait_seconds = 0;
};

struct Incoming {
  enum Kind {
    kAnswer,     // `answer`
    kNotify,     // `job` (id, mode, dims, key, target, max_nonces, pool_clean)
    kReconnect,  // `reconnect`
    kRequest,    // a method the client does not serve, with an id: answer it
    kIgnored,    // log `problem` and go on (bad job, unknown notification, ...)
    kBroken,     // log `problem` and reconnect: the stream cannot be trusted
  } kind = kBroken;
  Answer answer;
  PoolJob job;
  Reconnect reconnect;
  Json request_id;
  std::string method;
  std::string problem;
};

// One line from the pool (without its '\n').
Incoming read_line(std::string_view line);

// The extranonce in a mining.subscribe result [null, "8 hex digits"].
std::optional<uint32_t> read_extranonce(const Json& result, std::string& problem);

// A short, printable excerpt of untrusted text for log lines.
std::string excerpt(std::string_view text, size_t limit = 80);

// Longest clamp for client.reconnect's wait.
constexpr int kMaxReconnectWait = 300;

}  // namespace qkmine::pool
