// The pool side of `qkmine mine --pool`: the options, the stratum client,
// and the run's job source and record sink over it.
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "mine_job.h"
#include "mine_run.h"
#include "option_values.h"
#include "stratum_client.h"

namespace qkmine {

// How long the end of a run waits for the pool's answers to shares already
// sent before it drops what is left.
constexpr std::chrono::milliseconds kShareDrain{3000};

// --pool (repeatable), --user, --password, --tls-ca, --pool-retry into
// `options`; "" or the usage error (a pool option without --pool, --pool with
// an option the pool decides, a malformed URL). Without --pool, "" and
// `options.pools` empty.
std::string read_pool_options(const OptionValues& opt, pool::ClientOptions& options);

class PoolSession {
 public:
  explicit PoolSession(pool::ClientOptions options);
  ~PoolSession();

  // Connects in the background; "" or why the client cannot start.
  std::string start();
  // The newest job, waiting for the first one while `keep_waiting()` holds.
  std::shared_ptr<const pool::PoolJob> first_job(const std::function<bool()>& keep_waiting) const;
  // The run's job source (jobs of `base`'s limits) and record sink (records
  // printed on `out`, shares submitted), and the pools' figures. Once.
  MineRun::Setup setup(const Job& base, FILE* out);

 private:
  void share_ended(const pool::ShareOutcome& outcome) const;

  pool::ClientOptions options_;
  std::unique_ptr<pool::StratumClient> client_;
};

}  // namespace qkmine
