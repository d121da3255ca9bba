#include "run_status.h"

#include <cstdio>

#include "quorl_verify.h"
#include "rate_window.h"

namespace qkmine {
namespace {

const char* status_name(Health h) {
  return h == Health::kFailed ? "failed" : h == Health::kHung ? "hung" : "ok";
}

nlohmann::ordered_json rates_json(const std::optional<std::array<double, 3>>& rates) {
  nlohmann::ordered_json out = nlohmann::ordered_json::object();
  for (size_t i = 0; i < kRateWindowNames.size(); ++i) out[kRateWindowNames[i]] = rates ? (*rates)[i] : 0.0;
  return out;
}

// A label value: backslash, quote and newline escaped.
std::string label(const std::string& value) {
  std::string out;
  for (const char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    out += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return out;
}

std::string number(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

class Metrics {
 public:
  // Starts a metric family; its samples follow.
  void family(const char* name, const char* type, const char* help) {
    text_ += std::string("# HELP qkmine_") + name + " " + help + "\n# TYPE qkmine_" + name + " " + type + "\n";
  }
  void sample(const char* name, const std::string& labels, double value) {
    text_ += std::string("qkmine_") + name + (labels.empty() ? "" : "{" + labels + "}") + " " + number(value) + "\n";
  }
  std::string text() const { return text_; }

 private:
  std::string text_;
};

std::string device_label(const DeviceFigures& d) { return "device=\"" + label(d.name) + "\""; }

void pool_metrics(Metrics& m, const PoolRun& run) {
  m.family("pool_connected", "gauge", "1 while the pool's connection is subscribed and authorized.");
  for (const PoolFigures& p : run.pools) m.sample("pool_connected", "pool=\"" + label(p.url) + "\"", p.connected);
  m.family("pool_shares_total", "counter", "Shares sent to the pool, by how they ended.");
  for (const PoolFigures& p : run.pools) {
    const std::string pool = "pool=\"" + label(p.url) + "\",outcome=";
    m.sample("pool_shares_total", pool + "\"accepted\"", double(p.accepted));
    m.sample("pool_shares_total", pool + "\"rejected\"", double(p.rejected));
    m.sample("pool_shares_total", pool + "\"dropped\"", double(p.dropped));
  }
  m.family("pool_rejected_total", "counter", "Shares the pool rejected, by its error code.");
  for (const PoolFigures& p : run.pools) {
    for (const auto& [code, count] : p.rejected_by_code) {
      m.sample("pool_rejected_total", "pool=\"" + label(p.url) + "\",code=\"" + std::to_string(code) + "\"",
               double(count));
    }
  }
}

}  // namespace

nlohmann::ordered_json status_document(const RunFigures& run, double uptime_s) {
  nlohmann::ordered_json doc;
  doc["version"] = QKMINE_VERSION;
  doc["uptime_s"] = uptime_s;
  doc["job"] = {{"id", run.job_id},        {"mode", run.mode == QV_MODE_FULL ? "full" : "bonly"},
                {"m", run.dims.m},         {"n", run.dims.n},
                {"k", run.dims.k},         {"target", run.target}};
  int64_t attempts = 0, shares = 0, rejected = 0;
  nlohmann::ordered_json devices = nlohmann::ordered_json::array();
  for (const DeviceFigures& d : run.devices) {
    attempts += d.attempts, shares += d.shares, rejected += d.rejected;
    nlohmann::ordered_json device = {{"device", d.name},         {"status", status_name(d.health)},
                                     {"attempts", d.attempts},   {"shares", d.shares},
                                     {"rejected", d.rejected},   {"rates", rates_json(d.window_rates)}};
    if (d.health == Health::kFailed || d.health == Health::kHung) device["error"] = d.error;
    if (d.telemetry) device["telemetry"] = telemetry_json(*d.telemetry);
    devices.push_back(std::move(device));
  }
  doc["attempts"] = attempts;
  doc["shares"] = shares;
  doc["rejected"] = rejected;
  doc["rates"] = rates_json(run.window_rates);
  doc["devices"] = std::move(devices);
  if (run.pool) {
    doc["job"]["pool_job"] = run.pool->job_id.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(run.pool->job_id);
    nlohmann::ordered_json pools = nlohmann::ordered_json::array();
    for (const PoolFigures& p : run.pool->pools) {
      nlohmann::ordered_json codes = nlohmann::ordered_json::object();
      for (const auto& [code, count] : p.rejected_by_code) codes[std::to_string(code)] = count;
      char extranonce[9];
      if (p.extranonce) std::snprintf(extranonce, sizeof extranonce, "%08x", *p.extranonce);
      pools.push_back({{"url", p.url},
                       {"connected", p.connected},
                       {"extranonce", p.extranonce ? nlohmann::ordered_json(extranonce) : nlohmann::ordered_json()},
                       {"accepted", p.accepted},
                       {"rejected", p.rejected},
                       {"dropped", p.dropped},
                       {"rejected_by_code", std::move(codes)}});
    }
    doc["pools"] = std::move(pools);
  }
  return doc;
}

std::string metrics_text(const RunFigures& run, double uptime_s) {
  Metrics m;
  m.family("info", "gauge", "The miner's version and job (always 1).");
  m.sample("info",
           "version=\"" + label(QKMINE_VERSION) + "\",mode=\"" + (run.mode == QV_MODE_FULL ? "full" : "bonly") +
               "\",shape=\"" + std::to_string(run.dims.m) + "x" + std::to_string(run.dims.n) + "x" +
               std::to_string(run.dims.k) + "\"",
           1);
  m.family("uptime_seconds", "gauge", "Seconds since the run started.");
  m.sample("uptime_seconds", "", uptime_s);
  const struct {
    const char* name;
    const char* help;
    int64_t DeviceFigures::*count;
  } counters[] = {
      {"attempts_total", "Attempts run, each checked by the device's status call.", &DeviceFigures::attempts},
      {"shares_total", "Shares found and confirmed by the host verifier.", &DeviceFigures::shares},
      {"rejected_total", "Hits the host verifier rejected.", &DeviceFigures::rejected},
  };
  for (const auto& c : counters) {
    m.family(c.name, "counter", c.help);
    for (const DeviceFigures& d : run.devices) m.sample(c.name, device_label(d), double(d.*c.count));
  }
  m.family("attempts_per_second", "gauge", "Attempts per second over the last 10 s, 60 s and 15 min.");
  for (const DeviceFigures& d : run.devices) {
    for (size_t i = 0; i < kRateWindowNames.size(); ++i) {
      m.sample("attempts_per_second", device_label(d) + ",window=\"" + kRateWindowNames[i] + "\"",
               d.window_rates ? (*d.window_rates)[i] : 0.0);
    }
  }
  m.family("device_up", "gauge", "1 while the device mines, 0 once it failed or hung.");
  for (const DeviceFigures& d : run.devices) {
    m.sample("device_up", device_label(d), d.health == Health::kFailed || d.health == Health::kHung ? 0 : 1);
  }
  if (run.pool) pool_metrics(m, *run.pool);
  // GPU telemetry: only what the GPUs report.
  const struct {
    const char* name;
    const char* help;
    std::optional<double> (*value)(const GpuTelemetry&);
  } gauges[] = {
      {"gpu_temperature_celsius", "GPU temperature.",
       [](const GpuTelemetry& t) { return t.temperature_c ? std::optional<double>(*t.temperature_c) : std::nullopt; }},
      {"gpu_power_watts", "GPU power draw.", [](const GpuTelemetry& t) { return t.power_w; }},
      {"gpu_sm_clock_hertz", "GPU SM clock.",
       [](const GpuTelemetry& t) {
         return t.sm_clock_mhz ? std::optional<double>(*t.sm_clock_mhz * 1e6) : std::nullopt;
       }},
      {"gpu_throttled", "1 while power or thermal limits hold the GPU's clocks down.",
       [](const GpuTelemetry& t) {
         return t.throttle_reasons ? std::optional<double>(throttled(*t.throttle_reasons) ? 1 : 0) : std::nullopt;
       }},
  };
  for (const auto& g : gauges) {
    bool any = false;
    for (const DeviceFigures& d : run.devices) {
      const std::optional<double> v = d.telemetry ? g.value(*d.telemetry) : std::nullopt;
      if (!v) continue;
      if (!any) m.family(g.name, "gauge", g.help);
      any = true;
      m.sample(g.name, device_label(d), *v);
    }
  }
  return m.text();
}

}  // namespace qkmine
