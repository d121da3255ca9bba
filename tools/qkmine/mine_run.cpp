#include "mine_run.h"

#include <algorithm>
#include <cstdio>

#include "interrupts.h"
#include "quorl_ref/hex.hpp"

namespace qkmine {

MineRun::MineRun(const Job& job, const std::vector<std::string>& device_names, FILE* out, Setup setup)
    : job_(job),
      start_(std::chrono::steady_clock::now()),
      out_(out),
      jobs_(setup.jobs ? std::move(setup.jobs) : std::make_unique<FixedJob>(job)),
      records_(setup.records ? std::move(setup.records) : std::make_unique<RecordLines>(out)),
      read_telemetry_(std::move(setup.telemetry)),
      pool_(std::move(setup.pool)),
      windows_(device_names.size()),
      telemetry_(device_names.size()),
      checks_(setup.confirm ? std::move(setup.confirm)
                            : VerifyQueue::Confirm([threads = check_threads()](QvRecord& r, Check c) {
                                return confirm_outcome(r, c, threads);
                              }),
              [this](const Outcome& o, const std::string& verdict) { settle(o, verdict); }) {
  for (const std::string& name : device_names) {
    tallies_.push_back(std::make_unique<DeviceTally>());
    tallies_.back()->name = name;
  }
  sample();  // the windows start at zero attempts
}

MineRun::~MineRun() { checks_.drain(); }

double MineRun::since_start() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void MineRun::sample() {
  const double now = since_start();
  std::lock_guard<std::mutex> lock(status_lock_);
  int64_t total = 0;
  for (size_t i = 0; i < tallies_.size(); ++i) {
    const int64_t attempts = tallies_[i]->attempts.load();
    windows_[i].add(now, attempts);
    total += attempts;
  }
  total_window_.add(now, total);
}

void MineRun::read_telemetry() {
  if (!read_telemetry_) return;
  std::vector<std::optional<GpuTelemetry>> latest(tallies_.size());
  for (size_t i = 0; i < latest.size(); ++i) latest[i] = read_telemetry_(i);
  std::lock_guard<std::mutex> lock(status_lock_);
  telemetry_ = std::move(latest);
}

RunFigures MineRun::status() const {
  RunFigures run = figures();
  const double now = since_start();
  std::lock_guard<std::mutex> lock(status_lock_);
  int64_t total = 0;
  for (size_t i = 0; i < run.devices.size(); ++i) {
    DeviceFigures& d = run.devices[i];
    d.window_rates = windows_[i].rates(now, d.attempts);
    d.telemetry = telemetry_[i];
    total += d.attempts;
  }
  run.window_rates = total_window_.rates(now, total);
  return run;
}

double MineRun::elapsed() const {
  const int64_t end = end_ns_.load();
  if (end > 0) return double(end) * 1e-9;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

bool MineRun::over() const {
  if (stop_.load() || interrupt_requested()) return true;
  if (job_.seconds > 0 && elapsed() >= job_.seconds) return true;
  return false;
}

Work MineRun::claim(int64_t want) {
  if (want <= 0) return {};
  // A pool's first job may take a while: wait for it in slices, so a stop
  // still ends the wait promptly.
  while (!over() && !jobs_->ready(std::chrono::milliseconds(200))) {
  }
  if (over()) return {};
  std::lock_guard<std::mutex> lock(claim_lock_);
  const int64_t count = job_.attempts < 0 ? want : std::min(want, job_.attempts - claimed_);
  if (count <= 0) return {};
  Work work = jobs_->take(count);  // may be fewer: the rest of a range given back
  claimed_ += work.count;
  return work;
}

void MineRun::give_back(const Work& work) {
  if (work.count <= 0) return;
  {
    std::lock_guard<std::mutex> lock(claim_lock_);
    claimed_ -= work.count;
  }
  jobs_->give_back(work);
}

void MineRun::count_attempts(size_t device, int64_t n) {
  DeviceTally& t = tally(device);
  const int64_t total = t.attempts.fetch_add(n) + n;
  if (t.warm_at.load() == 0) {
    t.warm_attempts.store(total);
    t.warm_at.store(steady_now_ns());
  }
}

void MineRun::hand_over(Outcome outcome) { checks_.hand_over(std::move(outcome)); }

void MineRun::fail(size_t device, const std::string& why) {
  DeviceTally& t = tally(device);
  if (!t.settle(Health::kFailed, why)) return;
  std::fprintf(stderr, "qkmine mine: %s failed: %s; it stops, %s\n", t.name.c_str(), why.c_str(),
               tallies_.size() > 1 ? "the other devices go on" : "no device is left");
}

void MineRun::settle(const Outcome& o, const std::string& verdict) {
  DeviceTally& t = tally(o.device);
  if (!verdict.empty()) {
    t.rejected.fetch_add(1);
    std::fprintf(stderr, "qkmine mine: %s reported cell %d, which the host verifier rejects (%s)\n",
                 t.name.c_str(), o.record.found, verdict.c_str());
    return;
  }
  if (o.record.found >= 0) t.shares.fetch_add(1);
  records_->accept(o.record, t.name, o.job_id);
}

void MineRun::finish() {
  if (end_ns_.load() == 0) {
    end_ns_.store(std::max<int64_t>(1, std::chrono::duration_cast<std::chrono::nanoseconds>(
                                           std::chrono::steady_clock::now() - start_)
                                           .count()));
  }
  checks_.drain();
  if (!finished_.exchange(true)) records_->finish();
}

std::string MineRun::ended_by() const {
  bool any_left = false;
  for (const auto& t : tallies_) {
    if (t->health() == Health::kHung) return "watchdog";
    any_left = any_left || t->health() != Health::kFailed;
  }
  if (interrupt_requested()) return "interrupt";
  if (!any_left) return "failure";
  if (job_.seconds > 0 && elapsed() >= job_.seconds) return "seconds";
  return "attempts";
}

RunFigures MineRun::figures() const {
  RunFigures run;
  run.mode = job_.mode;
  run.dims = job_.dims;
  run.seconds = elapsed();
  run.ended_by = ended_by();
  run.job_id = job_.id;
  run.target = quorl::ref::to_hex(job_.target);
  const int64_t mining_end =
      std::chrono::duration_cast<std::chrono::nanoseconds>(start_.time_since_epoch()).count() +
      int64_t(run.seconds * 1e9);
  for (const auto& t : tallies_) {
    DeviceFigures d;
    d.name = t->name;
    d.attempts = t->attempts.load(), d.shares = t->shares.load(), d.rejected = t->rejected.load();
    d.attempts_per_s = run.seconds > 0 ? double(d.attempts) / run.seconds : 0.0;
    const int64_t warm_at = t->warm_at.load(), warm_attempts = t->warm_attempts.load();
    d.steady_attempts_per_s = warm_at > 0 && mining_end > warm_at && d.attempts > warm_attempts
                                  ? double(d.attempts - warm_attempts) / (double(mining_end - warm_at) * 1e-9)
                                  : d.attempts_per_s;
    d.health = t->health();
    d.error = t->error();
    run.devices.push_back(d);
  }
  if (pool_) {
    run.pool = pool_();
    if (!run.pool->job_id.empty()) {
      run.mode = run.pool->mode, run.dims = run.pool->dims, run.target = run.pool->target;
    }
  }
  return run;
}

void MineRun::report(bool final) {
  const RunFigures run = final ? figures() : status();
  if (final && job_.json) {
    std::fprintf(out_, "%s\n", summary_json(run).c_str());
    std::fflush(out_);
  } else {
    std::fputs(progress_text(run, final).c_str(), stderr);
  }
}

}  // namespace qkmine
