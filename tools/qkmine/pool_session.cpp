#include "pool_session.h"

#include "pool_shares.h"
#include "quorl_ref/hex.hpp"
#include "pool_work.h"

namespace qkmine {

std::string read_pool_options(const OptionValues& opt, pool::ClientOptions& options) {
  if (!opt.has("pool")) {
    for (const char* name : {"user", "password", "tls-ca", "pool-retry"}) {
      if (opt.has(name)) return std::string("--") + name + " belongs to --pool";
    }
    return "";
  }
  // The pool hands out the job, its difficulty and the seed space.
  for (const char* name : {"mode", "m", "n", "k", "key", "target", "difficulty", "seed-a", "seed-b", "prepare-seed",
                           "first-nonce"}) {
    if (opt.has(name)) return std::string("--") + name + " cannot go with --pool: the pool decides it";
  }
  for (const std::string& text : opt.texts("pool")) {
    std::string error;
    const std::optional<pool::PoolUrl> url = pool::parse_pool_url(text, error);
    if (!url) return "--pool " + text + ": " + error;
    options.pools.push_back(*url);
  }
  options.user = opt.text("user").value_or("");
  if (options.user.empty()) return "--pool needs --user";
  options.password = opt.text("password").value_or(options.password);
  options.tls_ca_file = opt.text("tls-ca").value_or("");
  if (opt.has("pool-retry")) {
    const auto seconds = opt.number("pool-retry");
    if (!seconds || *seconds <= 0) return "--pool-retry takes a number of seconds above 0";
    options.retry.primary_retry = std::chrono::milliseconds(int64_t(*seconds * 1000));
  }
  return "";
}

PoolSession::PoolSession(pool::ClientOptions options) : options_(std::move(options)) {
  pool::ClientHandlers handlers;
  handlers.log = [](const std::string& line) { std::fprintf(stderr, "qkmine mine: %s\n", line.c_str()); };
  handlers.share = [this](const pool::ShareOutcome& o) { share_ended(o); };
  client_ = std::make_unique<pool::StratumClient>(options_, std::move(handlers));
}

PoolSession::~PoolSession() { client_->stop(); }

std::string PoolSession::start() { return client_->start(); }

void PoolSession::share_ended(const pool::ShareOutcome& o) const {
  // The client logs every other end (rejected with the pool's reason, dropped with why) itself.
  if (o.fate != pool::ShareFate::kAccepted) return;
  const std::string url = o.pool < options_.pools.size() ? options_.pools[o.pool].text() : "?";
  std::fprintf(stderr, "qkmine mine: %s\n", accepted_text(o, url).c_str());
}

std::shared_ptr<const pool::PoolJob> PoolSession::first_job(const std::function<bool()>& keep_waiting) const {
  std::shared_ptr<const pool::PoolJob> job;
  while (!job && keep_waiting()) job = client_->wait_job(0, std::chrono::milliseconds(200));
  return job;
}

MineRun::Setup PoolSession::setup(const Job& base, FILE* out) {
  pool::StratumClient* client = client_.get();
  auto work = std::make_unique<PoolWork>(
      base, [client](uint64_t after, std::chrono::milliseconds wait) { return client->wait_job(after, wait); });
  const PoolWork* source = work.get();
  MineRun::Setup setup;
  setup.records = std::make_unique<PoolShares>(
      out, *work, [client](pool::Share share) { client->submit(std::move(share)); },
      [client, source = work.get()] {
        client->stop(kShareDrain);
        if (!source->current()) std::fprintf(stderr, "qkmine mine: no job was received from the pool\n");
      });
  setup.pool = [client, source] {
    PoolRun run;
    if (const std::shared_ptr<const pool::PoolJob> job = source->current()) {
      run.job_id = job->id;
      run.mode = job->mode, run.dims = job->dims, run.target = quorl::ref::to_hex(job->target);
    }
    for (const pool::PoolStatus& s : client->status()) {
      PoolFigures p;
      p.url = s.url;
      p.connected = s.connected;
      if (s.has_extranonce) p.extranonce = s.extranonce;
      p.accepted = s.accepted, p.rejected = s.rejected, p.dropped = s.dropped;
      p.rejected_by_code = s.rejected_by_code;
      run.pools.push_back(std::move(p));
    }
    return run;
  };
  setup.jobs = std::move(work);
  return setup;
}

}  // namespace qkmine
