#include "stratum_client.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include "line_connection.h"
#include "stratum_messages.h"

#ifndef QKMINE_VERSION
#define QKMINE_VERSION "0"
#endif

namespace qkmine::pool {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Jobs of one session the client still takes shares for: the pool keeps
// older jobs until it says clean_jobs, the client keeps the newest few.
constexpr size_t kLiveJobs = 32;

// The same work: a job sent again under its id, unchanged.
bool same_work(const PoolJob& a, const PoolJob& b) {
  return a.id == b.id && a.mode == b.mode && a.dims.m == b.dims.m && a.dims.n == b.dims.n &&
         a.dims.k == b.dims.k && a.key == b.key && a.target == b.target && a.max_nonces == b.max_nonces;
}

// A share the client holds: waiting for a connection, or sent and unanswered.
struct Held {
  Share share;
  bool resent = false;  // sent on an earlier connection whose answer was lost
};

enum class Phase { kIdle, kConnecting, kSubscribing, kAuthorizing, kReady, kStopped };

}  // namespace

struct StratumClient::Impl {
  Impl(ClientOptions o, ClientHandlers h)
      : opt(std::move(o)),
        handlers(std::move(h)),
        work(asio::make_work_guard(io)),
        schedule(opt.pools.size(), opt.retry),
        retry_timer(io),
        answer_timer(io),
        primary_timer(io),
        drain_timer(io) {
    if (opt.agent.empty()) opt.agent = std::string("qkmine/") + QKMINE_VERSION;
    if (!handlers.log) handlers.log = [](const std::string& line) { std::fprintf(stderr, "qkmine: %s\n", line.c_str()); };
    redirect.resize(opt.pools.size());
    resume.resize(opt.pools.size());
    statuses.resize(opt.pools.size());
    for (size_t i = 0; i < opt.pools.size(); ++i) statuses[i].url = opt.pools[i].text();
  }

  // ---- configuration and threads ----
  ClientOptions opt;
  ClientHandlers handlers;
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work;
  std::unique_ptr<asio::ssl::context> tls;
  std::thread thread;

  // ---- network-thread state ----
  PoolSchedule schedule;
  asio::steady_timer retry_timer, answer_timer, primary_timer, drain_timer;
  std::vector<std::optional<PoolUrl>> redirect;  // per pool: where client.reconnect sent us
  std::vector<std::optional<uint32_t>> resume;   // per pool: the extranonce to ask back for
  std::shared_ptr<LineConnection> conn, probe;
  Phase phase = Phase::kIdle;
  size_t pool = 0;           // the pool of the session
  uint32_t extranonce = 0;   // the session's
  bool has_job = false;      // the session delivered a job
  bool stopping = false, back_to_first = false;
  uint64_t next_id = 1, subscribe_id = 0, authorize_id = 0, serials = 0;
  std::map<uint64_t, Clock::time_point> asked;  // unanswered requests by id
  std::map<uint64_t, Held> sent;                // unanswered submissions by id
  std::deque<Held> waiting;                     // shares for the next connection
  // Jobs the pool still takes shares for, all of pool `live_pool` and E `live_extranonce`.
  std::deque<std::shared_ptr<const PoolJob>> live;
  size_t live_pool = 0;
  uint32_t live_extranonce = 0;

  // ---- shared with callers, under `mutex` ----
  mutable std::mutex mutex;
  mutable std::condition_variable job_arrived;
  std::shared_ptr<const PoolJob> current;
  std::vector<PoolStatus> statuses;
  bool accepting = false;  // submit() may post to the network thread
  std::atomic<uint64_t> job_serial{0}, clean_serial{0};

  // ---- helpers ----
  void log(size_t p, const std::string& what) { handlers.log("pool " + opt.pools[p].text() + ": " + what); }

  template <class F>
  void update_status(size_t p, F&& f) {
    std::lock_guard<std::mutex> lock(mutex);
    f(statuses[p]);
  }

  void settle(const Held& held, ShareFate fate, int code, const std::string& why) {
    const bool ours = held.share.job && held.share.job->pool < statuses.size();
    ShareOutcome out{held.share, fate, ours ? held.share.job->pool : pool, code, why};
    update_status(out.pool, [&](PoolStatus& s) {
      if (fate == ShareFate::kAccepted) ++s.accepted;
      if (fate == ShareFate::kDropped) ++s.dropped;
      if (fate == ShareFate::kRejected) ++s.rejected, ++s.rejected_by_code[code];
    });
    if (fate != ShareFate::kAccepted) {
      log(out.pool, std::string("share ") + fate_name(fate) + ": " + (code ? std::to_string(code) + " " : "") + why);
    }
    if (handlers.share) handlers.share(out);
  }

  // The pool still takes shares of `job`: it is of this session's line and
  // the pool's job of that id is still the same work.
  bool is_live(const PoolJob& job) const {
    if (job.pool != live_pool || job.extranonce != live_extranonce) return false;
    return std::any_of(live.begin(), live.end(), [&](const auto& j) { return same_work(*j, job); });
  }

  // ---- connecting ----
  void connect_next() {
    if (stopping) return;  // the drain waits for answers on the connection it had
    pool = schedule.pool();
    const PoolUrl& target = redirect[pool] ? *redirect[pool] : opt.pools[pool];
    phase = Phase::kConnecting;
    has_job = false;
    conn = std::make_shared<LineConnection>(io, target.tls ? tls.get() : nullptr, kMaxLine);
    conn->connect(target.host, target.port, opt.connect_timeout, [this](const std::string& error) {
      if (!error.empty()) return lost(error, /*failure=*/true);
      conn->read([this](std::string line) { on_line(line); },
                 [this](const std::string& why) { lost(why, /*failure=*/true); });
      phase = Phase::kSubscribing;
      subscribe_id = ask(subscribe_line(next_id, opt.agent, resume[pool]));
    });
  }

  uint64_t ask(const std::string& line) {
    const uint64_t id = next_id++;
    asked[id] = Clock::now();
    if (asked.size() == 1) arm_answer_timer();
    conn->send(line);
    return id;
  }

  void arm_answer_timer() {
    if (asked.empty()) return;
    const auto oldest = std::min_element(asked.begin(), asked.end(),
                                         [](const auto& a, const auto& b) { return a.second < b.second; });
    answer_timer.expires_at(oldest->second + opt.answer_timeout);
    answer_timer.async_wait([this](const std::error_code& e) {
      if (e || phase == Phase::kStopped || asked.empty()) return;
      const auto now = Clock::now();
      for (const auto& [id, at] : asked) {
        if (now - at >= opt.answer_timeout) {
          return lost("no answer within " + std::to_string(opt.answer_timeout.count()) + " ms", true);
        }
      }
      arm_answer_timer();
    });
  }

  // The session ended: `failure` unless the client or the pool chose to move.
  void lost(const std::string& why, bool failure, milliseconds wait = milliseconds(-1)) {
    if (phase == Phase::kStopped) return;
    if (conn) conn->close();
    conn.reset();
    asked.clear();
    answer_timer.cancel();
    primary_timer.cancel();
    const bool was_ready = phase == Phase::kReady;
    phase = Phase::kIdle;
    // Unanswered shares wait for the next connection, in the order sent.
    for (auto it = sent.rbegin(); it != sent.rend(); ++it) {
      it->second.resent = true;
      waiting.push_front(it->second);
    }
    sent.clear();
    trim_waiting();
    const size_t p = pool;
    update_status(p, [&](PoolStatus& s) {
      s.connected = false;
      if (failure) ++s.failures, s.last_error = why;
    });
    if (failure || was_ready) log(p, why);
    if (stopping) return finish();
    if (failure) {
      if (redirect[p]) {
        log(p, "going back to " + opt.pools[p].text() + " after the redirect failed");
        redirect[p].reset();
      }
      wait = schedule.failed();
      if (schedule.pool() != p) log(schedule.pool(), "moving here after failures on " + opt.pools[p].text());
    }
    retry_timer.expires_after(std::max(wait, milliseconds(0)));
    retry_timer.async_wait([this](const std::error_code& e) {
      if (!e) connect_next();
    });
  }

  // ---- reading ----
  void on_line(const std::string& line) {
    Incoming in;
    try {
      in = read_line(line);
    } catch (const std::exception& e) {  // the reader throws nothing it knows of; be sure
      in.kind = Incoming::kBroken;
      in.problem = std::string("unreadable message: ") + e.what();
    }
    switch (in.kind) {
      case Incoming::kBroken: return lost(in.problem, true);
      case Incoming::kIgnored: return log(pool, in.problem);
      case Incoming::kRequest:
        log(pool, in.problem + " (answered with an error)");
        return conn->send(unknown_method_line(in.request_id, in.method));
      case Incoming::kNotify: return on_job(std::move(in.job));
      case Incoming::kReconnect: return on_reconnect(in.reconnect);
      case Incoming::kAnswer: return on_answer(in.answer);
    }
  }

  void on_answer(const Answer& a) {
    if (asked.erase(a.id) == 0) return log(pool, "an answer to no request of ours (id " + std::to_string(a.id) + ")");
    if (a.id == subscribe_id) return on_subscribed(a);
    if (a.id == authorize_id) return on_authorized(a);
    const auto it = sent.find(a.id);
    if (it == sent.end()) return;
    const Held held = it->second;
    sent.erase(it);
    if (a.result == true && !a.has_error) {
      settle(held, ShareFate::kAccepted, 0, "");
    } else if (held.resent && a.code == 22) {
      // Only its copy on the lost connection can have reached the pool first:
      // that one was accepted, its answer lost with the connection.
      log(pool, "a share resent after a reconnect was a duplicate: the pool had taken it before");
      settle(held, ShareFate::kAccepted, 0, "");
    } else {
      settle(held, ShareFate::kRejected, a.code, a.has_error ? a.message : "no reason given");
    }
    if (stopping && sent.empty()) return finish();
    maybe_go_back_to_first();
  }

  void on_subscribed(const Answer& a) {
    std::string problem;
    const std::optional<uint32_t> e = a.has_error ? std::nullopt : read_extranonce(a.result, problem);
    if (!e) return lost(a.has_error ? "subscription refused: " + std::to_string(a.code) + " " + a.message : problem, true);
    extranonce = *e;
    const bool resumed = pool == live_pool && extranonce == live_extranonce && !live.empty();
    if (!resumed) {
      // Jobs of another pool or seed space are gone for this connection.
      live.clear();
      live_pool = pool, live_extranonce = extranonce;
      while (!waiting.empty()) {
        const Held held = waiting.front();
        waiting.pop_front();
        settle(held, ShareFate::kDropped, 0, "job gone");
      }
    }
    resume[pool] = extranonce;
    update_status(pool, [&](PoolStatus& s) { s.has_extranonce = true, s.extranonce = extranonce; });
    log(pool, "subscribed, extranonce " + hex8(extranonce) + (resumed ? " (resumed)" : ""));
    phase = Phase::kAuthorizing;
    authorize_id = ask(authorize_line(next_id, opt.user, opt.password));
  }

  void on_authorized(const Answer& a) {
    if (!(a.result == true) || a.has_error) {
      return lost("authorization of " + opt.user + " refused" +
                      (a.has_error ? ": " + std::to_string(a.code) + " " + a.message : ""),
                  true);
    }
    phase = Phase::kReady;
    update_status(pool, [](PoolStatus& s) { s.connected = true; });
    flush();
  }

  // A job from the pool, already checked by the reader.
  void on_job(PoolJob job) {
    if (phase != Phase::kAuthorizing && phase != Phase::kReady) {
      return log(pool, "job " + excerpt(job.id) + " before subscribing ignored");
    }
    job.extranonce = extranonce;
    job.pool = pool;
    const bool pool_clean = job.pool_clean;
    std::shared_ptr<const PoolJob> shared;
    bool repeat;
    {
      std::lock_guard<std::mutex> lock(mutex);
      // The newest job sent again (as pools do after a resumed connection) is
      // nothing new for the miner.
      repeat = current && current->pool == pool && current->extranonce == extranonce && same_work(*current, job);
      if (repeat) {
        shared = current;
      } else {
        job.serial = ++serials;
        job.clean = pool_clean || !current || current->pool != pool || current->extranonce != extranonce;
        shared = std::make_shared<const PoolJob>(std::move(job));
        current = shared;
        job_serial = shared->serial;
        if (shared->clean) clean_serial = shared->serial;
      }
    }
    if (!repeat) job_arrived.notify_all();
    if (pool_clean) live.clear();
    // A job id sent again replaces the work of that id.
    live.erase(std::remove_if(live.begin(), live.end(), [&](const auto& j) { return j->id == shared->id; }), live.end());
    live.push_back(shared);
    if (live.size() > kLiveJobs) live.pop_front();
    if (!has_job) {
      has_job = true;
      schedule.succeeded();
      update_status(pool, [](PoolStatus& s) { ++s.sessions; });
      if (pool != 0) arm_primary_timer();
    }
    if (handlers.job && !repeat) handlers.job(shared);
    flush();
  }

  void on_reconnect(const Reconnect& r) {
    const PoolUrl& now = redirect[pool] ? *redirect[pool] : opt.pools[pool];
    PoolUrl next = now;
    if (!r.host.empty()) next.host = r.host;
    if (r.port != 0) next.port = r.port;
    redirect[pool] = next;
    log(pool, "asked to reconnect to " + next.text() + " in " + std::to_string(r.wait_seconds) + " s");
    milliseconds wait = std::chrono::seconds(r.wait_seconds);
    // A pool that has not delivered a job yet gets the backoff too, so
    // reconnect requests cannot make the client spin.
    if (!has_job) wait = std::max(wait, schedule.failed());
    lost("reconnecting as the pool asked", /*failure=*/false, wait);
  }

  // ---- shares ----
  void on_submit(Share share) {
    Held held{std::move(share), false};
    if (stopping) return settle(held, ShareFate::kDropped, 0, "client stopped");
    if (!held.share.job) return settle(held, ShareFate::kDropped, 0, "no job");
    if (!in_seed_space(*held.share.job, held.share)) {
      return settle(held, ShareFate::kDropped, 0, "outside its job's seed space");
    }
    if (!is_live(*held.share.job)) return settle(held, ShareFate::kDropped, 0, "job gone");
    if (phase == Phase::kReady && has_job) return send(held);
    waiting.push_back(std::move(held));
    trim_waiting();
  }

  // The oldest go first when more shares wait than the options allow.
  void trim_waiting() {
    while (waiting.size() > std::max<size_t>(opt.max_waiting_shares, 1)) {
      const Held oldest = waiting.front();
      waiting.pop_front();
      settle(oldest, ShareFate::kDropped, 0, "too many shares waiting for a connection");
    }
  }

  void send(const Held& held) {
    const uint64_t id = ask(submit_line(next_id, opt.user, held.share));
    sent.emplace(id, held);
  }

  // Sends the waiting shares whose job the pool still holds; drops the rest.
  void flush() {
    if (phase != Phase::kReady || !has_job) return;
    std::deque<Held> now;
    now.swap(waiting);
    for (const Held& held : now) {
      if (is_live(*held.share.job)) {
        send(held);
      } else {
        settle(held, ShareFate::kDropped, 0, "job gone");
      }
    }
  }

  // ---- coming back to the first pool ----
  void arm_primary_timer() {
    primary_timer.expires_after(opt.retry.primary_retry);
    primary_timer.async_wait([this](const std::error_code& e) {
      if (e || stopping || pool == 0) return;
      if (phase != Phase::kReady) return arm_primary_timer();
      probe_first();
    });
  }

  void probe_first() {
    const PoolUrl& first = opt.pools[0];
    probe = std::make_shared<LineConnection>(io, first.tls ? tls.get() : nullptr, kMaxLine);
    probe->connect(first.host, first.port, opt.connect_timeout, [this](const std::string& error) {
      probe->close();
      if (stopping || pool == 0 || phase != Phase::kReady) return;
      if (!error.empty()) return arm_primary_timer();
      log(0, "reachable again: moving back once the pending answers are in");
      back_to_first = true;
      maybe_go_back_to_first();
    });
  }

  void maybe_go_back_to_first() {
    if (!back_to_first || !sent.empty() || stopping) return;
    back_to_first = false;
    schedule.move_to(0);
    lost("leaving for " + opt.pools[0].text(), /*failure=*/false, milliseconds(0));
  }

  // ---- stopping ----
  void begin_stop(milliseconds drain) {
    if (stopping) return;
    stopping = true;
    if (sent.empty()) return finish();
    drain_timer.expires_after(drain);
    drain_timer.async_wait([this](const std::error_code& e) {
      if (!e) finish();
    });
  }

  void finish() {
    if (phase == Phase::kStopped) return;
    {
      std::lock_guard<std::mutex> lock(mutex);
      accepting = false;  // submissions from now on settle on their caller's thread
    }
    for (auto& [id, held] : sent) waiting.push_back(held);
    sent.clear();
    while (!waiting.empty()) {
      const Held held = waiting.front();
      waiting.pop_front();
      settle(held, ShareFate::kDropped, 0, "client stopped");
    }
    phase = Phase::kStopped;
    if (conn) conn->close();
    if (probe) probe->close();
    for (asio::steady_timer* t : {&retry_timer, &answer_timer, &primary_timer, &drain_timer}) t->cancel();
    update_status(pool, [](PoolStatus& s) { s.connected = false; });
    work.reset();  // run() returns once the handlers already queued have run
  }
};

StratumClient::StratumClient(ClientOptions options, ClientHandlers handlers)
    : impl_(std::make_unique<Impl>(std::move(options), std::move(handlers))) {}

StratumClient::~StratumClient() { stop(); }

std::string StratumClient::start() {
  Impl& s = *impl_;
  if (s.thread.joinable() || s.phase != Phase::kIdle) return "the client was started before";
  if (s.opt.pools.empty()) return "no pool given";
  if (s.opt.user.empty()) return "no user given";
  const bool any_tls = std::any_of(s.opt.pools.begin(), s.opt.pools.end(), [](const PoolUrl& u) { return u.tls; });
  if (any_tls) {
    s.tls = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_client);
    s.tls->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                       asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                       asio::ssl::context::no_tlsv1_1);
    std::error_code e;
    if (s.opt.tls_ca_file.empty()) {
      s.tls->set_default_verify_paths(e);
      if (e) return "cannot use the system's trust store: " + e.message();
    } else {
      s.tls->load_verify_file(s.opt.tls_ca_file, e);
      if (e) return "cannot load the CA file " + s.opt.tls_ca_file + ": " + e.message();
    }
  }
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.accepting = true;
  }
  asio::post(s.io, [&s] { s.connect_next(); });
  s.thread = std::thread([&s] { s.io.run(); });
  return "";
}

void StratumClient::stop(std::chrono::milliseconds drain) {
  Impl& s = *impl_;
  if (!s.thread.joinable()) return;
  asio::post(s.io, [&s, drain] { s.begin_stop(drain); });
  if (std::this_thread::get_id() == s.thread.get_id()) return;  // a handler: the owner joins later
  s.thread.join();
}

std::shared_ptr<const PoolJob> StratumClient::job() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->current;
}

uint64_t StratumClient::job_serial() const { return impl_->job_serial.load(); }
uint64_t StratumClient::clean_serial() const { return impl_->clean_serial.load(); }

std::shared_ptr<const PoolJob> StratumClient::wait_job(uint64_t after_serial, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  impl_->job_arrived.wait_for(lock, timeout, [&] { return impl_->job_serial.load() > after_serial; });
  return impl_->current;
}

void StratumClient::submit(Share share) {
  Impl& s = *impl_;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.accepting) {
      asio::post(s.io, [&s, share = std::move(share)]() mutable { s.on_submit(std::move(share)); });
      return;
    }
  }
  // Not started, or stopped: nothing will send it.
  ShareOutcome out{std::move(share), ShareFate::kDropped, 0, 0, "client stopped"};
  if (out.share.job) out.pool = out.share.job->pool;
  if (out.pool < s.statuses.size()) {
    std::lock_guard<std::mutex> lock(s.mutex);
    ++s.statuses[out.pool].dropped;
  }
  if (s.handlers.share) s.handlers.share(out);
}

std::vector<PoolStatus> StratumClient::status() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->statuses;
}

}  // namespace qkmine::pool
