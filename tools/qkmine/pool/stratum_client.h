// The stratum client of qkmine: one connection to a pool at a time (with
// failover between pools), jobs handed to the miner, shares submitted for it.
//
// Threading: the client runs its networking on one thread of its own, started
// by start() and joined by stop(), both called by the client's owner. Every
// other public call is thread-safe, and none waits on the network (wait_job
// and stop wait as they say). The handlers run on the client's thread, one at
// a time, in the order of events; they must return quickly, may call job(),
// submit() and status(), and must not call stop().
//
// Shares: every submitted share ends exactly once, through the share handler,
// as accepted, rejected (with the pool's code and message) or dropped (with
// the reason: "job gone", "outside its job's seed space", "client stopped",
// "too many shares waiting for a connection"). While the connection is down
// shares wait, and go out once a new session on the same pool got back the
// same extranonce (the client asks for it) and the pool still holds their job.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pool_job.h"
#include "pool_schedule.h"
#include "pool_url.h"

namespace qkmine::pool {

struct ClientOptions {
  std::vector<PoolUrl> pools;  // in order of preference: the first is the one to come back to
  std::string user;
  std::string password = "x";
  std::string tls_ca_file;     // "": the system's trust store
  std::string agent;           // "": "qkmine/<version>"
  RetryPolicy retry;
  std::chrono::milliseconds connect_timeout{10000};  // resolve, connect and TLS handshake
  std::chrono::milliseconds answer_timeout{30000};   // for every request the client sends
  size_t max_waiting_shares = 4096;                  // held while no connection takes them
};

struct PoolStatus {
  std::string url;
  bool connected = false;   // subscribed and authorized: shares go out at once
  bool has_extranonce = false;
  uint32_t extranonce = 0;  // of the newest session
  uint64_t accepted = 0, rejected = 0, dropped = 0;
  std::map<int, uint64_t> rejected_by_code;  // the pool's codes (0: it gave none)
  uint64_t sessions = 0;    // connections that delivered a job
  uint64_t failures = 0;    // failed connection attempts and lost sessions
  std::string last_error;
};

struct ClientHandlers {
  std::function<void(const std::string& line)> log;  // default: "qkmine: LINE" on stderr
  std::function<void(const std::shared_ptr<const PoolJob>& job)> job;
  std::function<void(const ShareOutcome& outcome)> share;
};

class StratumClient {
 public:
  StratumClient(ClientOptions options, ClientHandlers handlers = {});
  ~StratumClient();  // stop() without draining
  StratumClient(const StratumClient&) = delete;
  StratumClient& operator=(const StratumClient&) = delete;

  // Starts the client's thread and the first connection. "" or why the
  // options cannot work (no pool, no user, an unreadable CA file). Once only.
  std::string start();

  // Waits up to `drain` for the pool's answers to shares already sent, drops
  // what is left (unanswered, or waiting for a connection) as "client
  // stopped", closes the connection and joins the thread. Idempotent.
  void stop(std::chrono::milliseconds drain = std::chrono::milliseconds(0));

  // The newest job (null before the first), and serials to poll cheaply:
  // job_serial() is the newest job's, clean_serial() the newest clean one's.
  std::shared_ptr<const PoolJob> job() const;
  uint64_t job_serial() const;
  uint64_t clean_serial() const;
  // Blocks until a job newer than `after_serial` arrives or `timeout` passes;
  // returns the newest job then (which may be older, or null).
  std::shared_ptr<const PoolJob> wait_job(uint64_t after_serial, std::chrono::milliseconds timeout) const;

  // Hands a share to the client; its fate arrives through the share handler
  // (on the caller's thread, at once, after stop()).
  void submit(Share share);

  // One entry per pool, in the order of ClientOptions::pools.
  std::vector<PoolStatus> status() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qkmine::pool
