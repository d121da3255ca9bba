#include "run_summary.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "quorl_verify.h"

namespace qkmine {
namespace {

bool stopped(Health h) { return h == Health::kFailed || h == Health::kHung; }

const char* status_name(Health h) {
  return h == Health::kFailed ? "failed" : h == Health::kHung ? "hung" : "ok";
}

// Error texts come from the CUDA runtime and from qkmine itself; keep the
// JSON well-formed whatever they hold.
std::string json_safe(std::string text) {
  for (char& c : text) {
    if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20) c = '\'';
  }
  return text;
}

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
  va_list args, again;
  va_start(args, pattern);
  va_copy(again, args);
  // Many GPUs with telemetry make long lines: measure, then write.
  std::string out(size_t(std::max(0, std::vsnprintf(nullptr, 0, pattern, args))), '\0');
  std::vsnprintf(out.data(), out.size() + 1, pattern, again);
  va_end(again);
  va_end(args);
  return out;
}

struct Totals {
  int64_t attempts = 0, shares = 0, rejected = 0, stopped = 0;
  double steady = 0;
};

Totals totals(const RunFigures& run) {
  Totals t;
  for (const DeviceFigures& d : run.devices) {
    t.attempts += d.attempts, t.shares += d.shares, t.rejected += d.rejected;
    t.stopped += stopped(d.health);
    t.steady += d.steady_attempts_per_s;
  }
  return t;
}

double rate(int64_t attempts, double seconds) { return seconds > 0 ? double(attempts) / seconds : 0.0; }

double tops(const RunFigures& run, double attempts_per_s) {
  return attempts_per_s * 2.0 * run.dims.m * run.dims.n * run.dims.k / 1e12;
}

// "812.00 attempts/s", or over the windows "812.00/805.10/790.30 attempts/s".
std::string rate_text(double whole_run, const std::optional<std::array<double, 3>>& windows) {
  if (!windows) return format("%.2f attempts/s", whole_run);
  return format("%.2f/%.2f/%.2f attempts/s", (*windows)[0], (*windows)[1], (*windows)[2]);
}

// " | pool stratum+tcp://...: up, 3 accepted, 1 rejected, 0 dropped" per pool.
std::string pool_text(const PoolRun& pool, bool final) {
  std::string out;
  if (pool.job_id.empty()) out += final ? " | no job was received from the pool" : " | waiting for a job from the pool";
  for (const PoolFigures& p : pool.pools) {
    out += format(" | pool %s: %s, %llu accepted, %llu rejected, %llu dropped", p.url.c_str(),
                  p.connected ? "up" : "down", (unsigned long long)p.accepted, (unsigned long long)p.rejected,
                  (unsigned long long)p.dropped);
  }
  return out;
}

std::string pools_json(const PoolRun& pool) {
  std::string out;
  for (const PoolFigures& p : pool.pools) {
    std::string codes;
    for (const auto& [code, count] : p.rejected_by_code) {
      codes += format("%s\"%d\":%llu", codes.empty() ? "" : ",", code, (unsigned long long)count);
    }
    out += format("%s{\"url\":\"%s\",\"connected\":%s,\"extranonce\":%s,\"accepted\":%llu,\"rejected\":%llu,"
                  "\"dropped\":%llu,\"rejected_by_code\":{%s}}",
                  out.empty() ? "" : ",", json_safe(p.url).c_str(), p.connected ? "true" : "false",
                  p.extranonce ? format("\"%08x\"", *p.extranonce).c_str() : "null", (unsigned long long)p.accepted,
                  (unsigned long long)p.rejected, (unsigned long long)p.dropped, codes.c_str());
  }
  return format(",\"pool_job\":%s,\"pools\":[", pool.job_id.empty() ? "null" : ("\"" + json_safe(pool.job_id) + "\"").c_str()) +
         out + "]";
}

}  // namespace

std::string progress_text(const RunFigures& run, bool final) {
  const char* lead = final ? "done:" : "mining:";
  const Totals t = totals(run);
  std::string devices, problems;
  for (const DeviceFigures& d : run.devices) {
    devices += devices.empty() ? " " : ", ";
    if (stopped(d.health)) {
      devices += d.name + (d.health == Health::kFailed ? " FAILED" : " HUNG");
      problems += format("%s %s %s: %s\n", lead, d.name.c_str(), status_name(d.health), d.error.c_str());
    } else {
      devices += d.name + " " + rate_text(d.attempts_per_s, final ? std::nullopt : d.window_rates);
      const std::string telemetry = d.telemetry ? telemetry_text(*d.telemetry) : "";
      if (!telemetry.empty()) devices += " (" + telemetry + ")";
    }
  }
  const double total = rate(t.attempts, run.seconds);
  const auto windows = final ? std::nullopt : run.window_rates;
  // TOPS at the most recent rate the line shows.
  const double recent = windows ? (*windows)[0] : total;
  return format("%s%s | total %s%s, %.4f TOPS int8, %lld shares, %lld attempts in %.1f s", lead, devices.c_str(),
                rate_text(total, windows).c_str(), windows ? " over 10 s/60 s/15 min" : "", tops(run, recent),
                (long long)t.shares, (long long)t.attempts, run.seconds) +
         (t.rejected > 0 ? ", " + std::to_string(t.rejected) + " GPU hits rejected" : "") +
         (run.pool ? pool_text(*run.pool, final) : "") + "\n" + problems;
}

std::string summary_json(const RunFigures& run) {
  const Totals t = totals(run);
  std::string names, devices;
  for (const DeviceFigures& d : run.devices) {
    names += (names.empty() ? "" : ",") + d.name;
    devices += format("%s{\"device\":\"%s\",\"attempts\":%lld,\"shares\":%lld,\"attempts_per_s\":%.3f,"
                      "\"steady_attempts_per_s\":%.3f,\"rejected\":%lld,\"status\":\"%s\"",
                      devices.empty() ? "" : ",", d.name.c_str(), (long long)d.attempts, (long long)d.shares,
                      d.attempts_per_s, d.steady_attempts_per_s, (long long)d.rejected, status_name(d.health));
    if (stopped(d.health)) devices += ",\"error\":\"" + json_safe(d.error) + "\"";
    devices += "}";
  }
  const double total = rate(t.attempts, run.seconds);
  // Scripts read these fields, some by their first match in the line: the
  // run's totals come before the devices' own.
  return format("{\"summary\":true,\"device\":\"%s\",\"attempts\":%lld,\"shares\":%lld,\"rejected\":%lld,"
                "\"seconds\":%.3f,\"attempts_per_s\":%.3f,\"tops\":%.6f,\"steady_attempts_per_s\":%.3f,",
                names.c_str(), (long long)t.attempts, (long long)t.shares, (long long)t.rejected, run.seconds,
                total, tops(run, total), t.steady) +
         "\"devices\":[" + devices + "]" +
         format(",\"mode\":\"%s\",\"m\":%d,\"n\":%d,\"k\":%d,\"failed\":%lld,\"ended_by\":\"%s\"",
                run.mode == QV_MODE_FULL ? "full" : "bonly", run.dims.m, run.dims.n, run.dims.k,
                (long long)t.stopped, run.ended_by.c_str()) +
         (run.pool ? pools_json(*run.pool) : "") + "}";
}

}  // namespace qkmine
