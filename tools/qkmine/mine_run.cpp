#include "mine_run.h"

#include <algorithm>
#include <cstdio>

#include "interrupts.h"

namespace qkmine {
namespace {

// Error texts come from the CUDA runtime and from qkmine itself; keep the
// JSON line well-formed whatever they hold.
std::string json_safe(std::string text) {
  for (char& c : text) {
    if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20) c = '\'';
  }
  return text;
}

const char* health_name(Health h) {
  switch (h) {
    case Health::kFailed: return "failed";
    case Health::kHung: return "hung";
    default: return "ok";
  }
}

}  // namespace

Health DeviceTally::health() const {
  std::lock_guard<std::mutex> lock(lock_);
  return health_;
}

std::string DeviceTally::error() const {
  std::lock_guard<std::mutex> lock(lock_);
  return error_;
}

bool DeviceTally::settle(Health to, const std::string& why) {
  std::lock_guard<std::mutex> lock(lock_);
  if (health_ != Health::kMining) return false;
  health_ = to;
  error_ = why;
  return true;
}

int64_t steady_now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

MineRun::MineRun(const Job& job, const std::vector<std::string>& device_names, FILE* out, Setup setup)
    : job_(job),
      start_(std::chrono::steady_clock::now()),
      out_(out),
      jobs_(setup.jobs ? std::move(setup.jobs) : std::make_unique<FixedJob>(job)),
      records_(setup.records ? std::move(setup.records) : std::make_unique<RecordLines>(out)),
      checks_(setup.confirm ? std::move(setup.confirm)
                            : VerifyQueue::Confirm([threads = check_threads()](QvRecord& r, Check c) {
                                return confirm_outcome(r, c, threads);
                              }),
              [this](const Outcome& o, const std::string& verdict) { settle(o, verdict); }) {
  for (const std::string& name : device_names) {
    tallies_.push_back(std::make_unique<DeviceTally>());
    tallies_.back()->name = name;
  }
}

MineRun::~MineRun() { checks_.drain(); }

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
  if (over() || want <= 0) return {};
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
  records_->accept(o.record, t.name);
}

void MineRun::finish() {
  if (end_ns_.load() == 0) {
    end_ns_.store(std::max<int64_t>(1, std::chrono::duration_cast<std::chrono::nanoseconds>(
                                           std::chrono::steady_clock::now() - start_)
                                           .count()));
  }
  checks_.drain();
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

void MineRun::report(bool final) {
  const double seconds = elapsed();
  const double ops_per_attempt = 2.0 * job_.dims.m * job_.dims.n * job_.dims.k;
  const int64_t start_ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(start_.time_since_epoch()).count();
  int64_t attempts = 0, shares = 0, rejected = 0, failed = 0;
  double steady = 0;
  std::string names, per_device, per_device_json, problems;
  for (const auto& t : tallies_) {
    const int64_t a = t->attempts.load(), s = t->shares.load(), r = t->rejected.load();
    attempts += a, shares += s, rejected += r;
    const double rate = seconds > 0 ? double(a) / seconds : 0.0;
    // After the device's first batch, up to the end of mining.
    const int64_t warm_at = t->warm_at.load(), mining_end = start_ns + int64_t(seconds * 1e9);
    const double warm_rate = warm_at > 0 && mining_end > warm_at && a > t->warm_attempts.load()
                                 ? double(a - t->warm_attempts.load()) / (double(mining_end - warm_at) * 1e-9)
                                 : rate;
    steady += warm_rate;
    const Health h = t->health();
    failed += h == Health::kFailed || h == Health::kHung;
    char buf[512];
    if (h == Health::kFailed || h == Health::kHung) {
      std::snprintf(buf, sizeof buf, "%s%s %s", per_device.empty() ? "" : ", ", t->name.c_str(),
                    h == Health::kFailed ? "FAILED" : "HUNG");
      problems += std::string(final ? "done: " : "mining: ") + t->name + " " + health_name(h) + ": " + t->error() + "\n";
    } else {
      std::snprintf(buf, sizeof buf, "%s%s %.2f attempts/s", per_device.empty() ? "" : ", ", t->name.c_str(), rate);
    }
    per_device += buf;
    std::snprintf(buf, sizeof buf,
                  "%s{\"device\":\"%s\",\"attempts\":%lld,\"shares\":%lld,\"attempts_per_s\":%.3f,"
                  "\"steady_attempts_per_s\":%.3f,\"rejected\":%lld,\"status\":\"%s\"",
                  per_device_json.empty() ? "" : ",", t->name.c_str(), (long long)a, (long long)s, rate,
                  warm_rate, (long long)r, health_name(h));
    per_device_json += buf;
    if (h == Health::kFailed || h == Health::kHung) per_device_json += ",\"error\":\"" + json_safe(t->error()) + "\"";
    per_device_json += "}";
    names += (names.empty() ? "" : ",") + t->name;
  }
  const double rate = seconds > 0 ? double(attempts) / seconds : 0.0;
  const double tops = rate * ops_per_attempt / 1e12;
  if (final && job_.json) {
    std::fprintf(out_,
                 "{\"summary\":true,\"device\":\"%s\",\"attempts\":%lld,\"shares\":%lld,\"rejected\":%lld,"
                 "\"seconds\":%.3f,\"attempts_per_s\":%.3f,\"tops\":%.6f,\"devices\":[%s],"
                 "\"steady_attempts_per_s\":%.3f,\"mode\":\"%s\",\"m\":%d,\"n\":%d,\"k\":%d,"
                 "\"failed\":%lld,\"ended_by\":\"%s\"}\n",
                 names.c_str(), (long long)attempts, (long long)shares, (long long)rejected, seconds, rate, tops,
                 per_device_json.c_str(), steady, job_.mode == QV_MODE_FULL ? "full" : "bonly", job_.dims.m,
                 job_.dims.n, job_.dims.k, (long long)failed, ended_by().c_str());
    std::fflush(out_);
    return;
  }
  std::fprintf(stderr,
               "%s %s | total %.2f attempts/s, %.4f TOPS int8, %lld shares, %lld attempts in %.1f s%s\n%s",
               final ? "done:" : "mining:", per_device.c_str(), rate, tops, (long long)shares,
               (long long)attempts, seconds,
               rejected > 0 ? (", " + std::to_string(rejected) + " GPU hits rejected").c_str() : "",
               problems.c_str());
}

}  // namespace qkmine
