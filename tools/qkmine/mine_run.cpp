#include "mine_run.h"

#include <algorithm>
#include <csignal>
#include <cstdio>

namespace qkmine {
namespace {

std::atomic<MineRun*> g_run{nullptr};
extern "C" void on_interrupt(int) {
  if (MineRun* run = g_run.load()) run->stop();
}

}  // namespace

MineRun::MineRun(const Job& job, const std::vector<std::string>& device_names, FILE* out)
    : job_(job), start_(std::chrono::steady_clock::now()), out_(out) {
  for (const std::string& name : device_names) {
    tallies_.push_back(std::make_unique<DeviceTally>());
    tallies_.back()->name = name;
  }
}

double MineRun::elapsed() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

bool MineRun::over() const {
  return stop_.load() || (job_.seconds > 0 && elapsed() >= job_.seconds) ||
         (job_.attempts >= 0 && claimed_.load() >= job_.attempts);
}

MineRun::Claim MineRun::claim(int64_t want) {
  if (stop_.load() || (job_.seconds > 0 && elapsed() >= job_.seconds)) return {0, 0};
  const int64_t first = claimed_.fetch_add(want);
  if (job_.attempts < 0) return {first, want};
  if (first >= job_.attempts) return {first, 0};
  return {first, std::min(want, job_.attempts - first)};
}

void MineRun::emit(const std::string& line) {
  std::lock_guard<std::mutex> lock(out_lock_);
  std::fprintf(out_, "%s\n", line.c_str());
  std::fflush(out_);
}

void MineRun::report(bool final) {
  const double seconds = elapsed();
  const double ops_per_attempt = 2.0 * job_.dims.m * job_.dims.n * job_.dims.k;
  int64_t attempts = 0, shares = 0, rejected = 0;
  std::string names, per_device, per_device_json;
  for (const auto& t : tallies_) {
    const int64_t a = t->attempts.load();
    attempts += a;
    shares += t->shares.load();
    rejected += t->rejected.load();
    const double rate = seconds > 0 ? double(a) / seconds : 0.0;
    char buf[256];
    std::snprintf(buf, sizeof buf, "%s%s %.2f attempts/s", per_device.empty() ? "" : ", ",
                  t->name.c_str(), rate);
    per_device += buf;
    std::snprintf(buf, sizeof buf, "%s{\"device\":\"%s\",\"attempts\":%lld,\"shares\":%lld,\"attempts_per_s\":%.3f}",
                  per_device_json.empty() ? "" : ",", t->name.c_str(), (long long)a,
                  (long long)t->shares.load(), rate);
    per_device_json += buf;
    names += (names.empty() ? "" : ",") + t->name;
  }
  const double rate = seconds > 0 ? double(attempts) / seconds : 0.0;
  const double tops = rate * ops_per_attempt / 1e12;
  std::lock_guard<std::mutex> lock(out_lock_);
  if (final && job_.json) {
    std::fprintf(out_, "{\"summary\":true,\"device\":\"%s\",\"attempts\":%lld,\"shares\":%lld,\"rejected\":%lld,"
                "\"seconds\":%.3f,\"attempts_per_s\":%.3f,\"tops\":%.6f,\"devices\":[%s]}\n",
                names.c_str(), (long long)attempts, (long long)shares, (long long)rejected, seconds, rate,
                tops, per_device_json.c_str());
    std::fflush(out_);
    return;
  }
  std::fprintf(stderr,
               "%s %s | total %.2f attempts/s, %.4f TOPS int8, %lld shares, %lld attempts in %.1f s%s\n",
               final ? "done:" : "mining:", per_device.c_str(), rate, tops, (long long)shares,
               (long long)attempts, seconds,
               rejected > 0 ? (", " + std::to_string(rejected) + " GPU hits rejected").c_str() : "");
}

void stop_on_interrupt(MineRun& run) {
  g_run.store(&run);
  std::signal(SIGINT, on_interrupt);
  std::signal(SIGTERM, on_interrupt);
}

}  // namespace qkmine
