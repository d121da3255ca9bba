// The test pool (stratum_pool.py) as a child process: commands go to its
// stdin, its events come back from its stdout, and tests wait for events
// rather than for time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace quorl::test {

using Json = nlohmann::json;

// Generous: the machine may be loaded by other builds.
constexpr std::chrono::seconds kPatience{60};

class PoolProcess {
 public:
  // Extra arguments for the script, e.g. {"--tls-cert", path, ...}.
  explicit PoolProcess(std::vector<std::string> args = {});
  ~PoolProcess();
  PoolProcess(const PoolProcess&) = delete;
  PoolProcess& operator=(const PoolProcess&) = delete;

  bool running() const { return pid_ > 0 && port_ > 0; }
  int port() const { return port_; }
  std::string url(bool tls = false) const;

  // Sends a command and waits for the pool to have carried it out.
  void command(const Json& cmd);

  // Events so far; `mark()` is where the next one will land.
  size_t mark() const;
  std::vector<Json> events(const std::string& name, size_t from = 0) const;
  // The first event at or after `from` for which `match` holds, or nullopt
  // after `patience`.
  std::optional<Json> wait(const std::function<bool(const Json&)>& match, size_t from = 0,
                           std::chrono::milliseconds patience = kPatience) const;
  std::optional<Json> wait_event(const std::string& name, size_t from = 0) const;
  // Whether `count` events called `name` arrived (at or after `from`) in time.
  bool wait_count(const std::string& name, size_t count, size_t from = 0) const;

 private:
  void read_events();

  pid_t pid_ = -1;
  int to_pool_ = -1, from_pool_ = -1;
  int port_ = 0;
  std::thread reader_;
  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  std::vector<Json> events_;
  bool ended_ = false;
};

// Files of a TLS setup made at test time with the openssl CLI.
struct TlsFiles {
  std::string ca, cert, key;       // a CA and a server certificate for 127.0.0.1 / localhost
  std::string other_ca;            // an unrelated CA
  std::string wrong_host_cert, wrong_host_key;  // signed by `ca`, for another host name
};
// "" on success, else what failed.
std::string make_tls_files(const std::string& dir, TlsFiles& files);

}  // namespace quorl::test
