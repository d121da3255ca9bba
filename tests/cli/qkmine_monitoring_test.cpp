// What qkmine shows operators while it mines: rates over 10 s, 60 s and
// 15 min, GPU telemetry through NVML (a stand-in library here; none at all
// without one), and the monitoring endpoint's documents, served over real
// HTTP on a port the system picks.
#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "api_server.h"
#include "nvml_telemetry.h"
#include "rate_window.h"
#include "run_status.h"
#include "run_summary.h"
#include "telemetry.h"

namespace {

using namespace qkmine;

TEST(QkmineRates, WindowsCoverTheirSpanOrWhatTheRunHas) {
  // 10 attempts a second for 100 s, then 40 a second.
  RateWindow w;
  int64_t count = 0;
  for (int t = 0; t <= 200; ++t) {
    w.add(t, count);
    count += t < 100 ? 10 : 40;
  }
  const int64_t now_count = count - 40;  // the count at t = 200
  const struct {
    double now, window;
    int64_t count;
    double rate;
  } cases[] = {
      {200, 10, now_count, 40},                  // all fast
      {200, 60, now_count, 40},
      {200, 900, now_count, (now_count) / 200.0},  // the run so far
      {105, 10, 1000 + 5 * 40, (5 * 10 + 5 * 40) / 10.0},
      {0.5, 10, 0, 0},                           // over no attempts yet
  };
  for (const auto& c : cases) {
    EXPECT_NEAR(w.rate(c.now, c.count, c.window), c.rate, 1e-9) << c.now << " " << c.window;
  }
  // Samples closer than a second apart are not kept; nothing older than
  // the horizon is needed.
  RateWindow dense(900, 1);
  for (int i = 0; i < 4000; ++i) dense.add(i * 0.25, i);
  EXPECT_NEAR(dense.rate(999.75, 3999, 10), 4.0, 1e-9);
  EXPECT_NEAR(dense.rate(999.75, 3999, 900), 4.0, 0.01);
  const std::array<double, 3> all = dense.rates(999.75, 3999);
  EXPECT_NEAR(all[1], 4.0, 1e-9);
  EXPECT_LE(dense.samples(), 902u);  // a sample a second over 15 min, however often it is fed
}

TEST(QkmineTelemetry, TextAndJsonShowWhatIsKnown) {
  GpuTelemetry full;
  full.temperature_c = 63, full.power_w = 287.4, full.sm_clock_mhz = 1980;
  full.throttle_reasons = 0x4 | 0x40 | 0x1;  // power cap, hw thermal, idle
  GpuTelemetry clock_only;
  clock_only.sm_clock_mhz = 1410;
  GpuTelemetry idle;
  idle.throttle_reasons = 0x1;
  const struct {
    const char* name;
    GpuTelemetry t;
    std::string text, json;
  } cases[] = {
      {"everything", full, "63 C, 287 W, 1980 MHz, throttled: power cap+hw thermal",
       R"({"temperature_c":63,"power_w":287.4,"sm_clock_mhz":1980,"throttle_reasons":["idle","power cap","hw thermal"],"throttled":true})"},
      {"a clock alone", clock_only, "1410 MHz", R"({"sm_clock_mhz":1410})"},
      {"idle is not throttled", idle, "", R"({"throttle_reasons":["idle"],"throttled":false})"},
      {"nothing", GpuTelemetry{}, "", "{}"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(telemetry_text(c.t), c.text) << c.name;
    EXPECT_EQ(telemetry_json(c.t).dump(), c.json) << c.name;
  }
}

TEST(QkmineTelemetry, WithoutNvmlThereIsNoSourceAndNoError) {
  std::string why;
  EXPECT_EQ(open_nvml({{0, "00000000:01:00.0"}}, &why, "libqkmine-no-such-nvml.so.1"), nullptr);
  EXPECT_NE(why.find("cannot load libqkmine-no-such-nvml.so.1"), std::string::npos) << why;
  // A library without NVML's calls is refused the same way.
  EXPECT_EQ(open_nvml({}, &why, "libc.so.6"), nullptr);
  EXPECT_NE(why.find("lacks a function"), std::string::npos) << why;
}

TEST(QkmineTelemetry, ReadsEachGpuByItsBusIdThroughTheLibrary) {
  std::string why;
  const std::unique_ptr<TelemetrySource> nvml =
      open_nvml({{0, "00000000:01:00.0"}, {1, "00000000:02:00.0"}, {2, "00000000:09:00.0"}}, &why, FAKE_NVML);
  ASSERT_NE(nvml, nullptr) << why;
  const std::optional<GpuTelemetry> first = nvml->read(0), second = nvml->read(1);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(telemetry_text(*first), "71 C, 350 W, 1755 MHz, throttled: power cap");
  EXPECT_EQ(telemetry_text(*second), "1980 MHz");  // what it does not report is left out
  EXPECT_FALSE(nvml->read(2)) << "a bus id NVML does not know";
  EXPECT_FALSE(nvml->read(7)) << "a GPU never named";
}

RunFigures two_devices() {
  RunFigures run;
  run.mode = 0;  // full
  run.dims = {256, 256, 2048};
  run.seconds = 12;
  run.job_id = 3;
  run.target = std::string(64, 'f');
  DeviceFigures gpu, cpu;
  gpu.name = "gpu:0", gpu.attempts = 120, gpu.shares = 2, gpu.rejected = 1, gpu.health = Health::kMining;
  gpu.window_rates = std::array<double, 3>{10, 9.5, 9};
  GpuTelemetry t;
  t.temperature_c = 70, t.power_w = 300, t.throttle_reasons = 0x20;
  gpu.telemetry = t;
  cpu.name = "cpu\"x", cpu.attempts = 4, cpu.health = Health::kFailed, cpu.error = "stopped";
  run.devices = {gpu, cpu};
  run.window_rates = std::array<double, 3>{10.5, 9.8, 9.2};
  return run;
}

TEST(QkmineStatus, TheSummaryDocumentHoldsTheRunAndEachDevice) {
  const nlohmann::json doc = status_document(two_devices(), 12.5);
  EXPECT_EQ(doc["version"], QKMINE_VERSION);
  EXPECT_EQ(doc["uptime_s"], 12.5);
  EXPECT_EQ(doc["job"]["id"], 3);
  EXPECT_EQ(doc["job"]["mode"], "full");
  EXPECT_EQ(doc["attempts"], 124);
  EXPECT_EQ(doc["rates"]["10s"], 10.5);
  ASSERT_EQ(doc["devices"].size(), 2u);
  const nlohmann::json& gpu = doc["devices"][0];
  EXPECT_EQ(gpu["rates"]["15m"], 9);
  EXPECT_EQ(gpu["rejected"], 1);
  EXPECT_EQ(gpu["telemetry"]["temperature_c"], 70);
  EXPECT_EQ(gpu["telemetry"]["throttled"], true);
  EXPECT_FALSE(gpu.contains("error"));
  EXPECT_EQ(doc["devices"][1]["status"], "failed");
  EXPECT_EQ(doc["devices"][1]["error"], "stopped");
  EXPECT_FALSE(doc["devices"][1].contains("telemetry"));
}

TEST(QkmineStatus, MetricsAreInPrometheusTextFormat) {
  const std::string text = metrics_text(two_devices(), 12.5);
  for (const std::string line : {
           "# TYPE qkmine_attempts_total counter",
           "qkmine_attempts_total{device=\"gpu:0\"} 120",
           "qkmine_attempts_total{device=\"cpu\\\"x\"} 4",  // label values escaped
           "qkmine_attempts_per_second{device=\"gpu:0\",window=\"60s\"} 9.5",
           "qkmine_shares_total{device=\"gpu:0\"} 2",
           "qkmine_rejected_total{device=\"gpu:0\"} 1",
           "qkmine_device_up{device=\"cpu\\\"x\"} 0",
           "qkmine_gpu_temperature_celsius{device=\"gpu:0\"} 70",
           "qkmine_gpu_throttled{device=\"gpu:0\"} 1",
           "qkmine_uptime_seconds 12.5",
       }) {
    EXPECT_NE(text.find(line + "\n"), std::string::npos) << line << "\n" << text;
  }
  EXPECT_EQ(text.find("qkmine_gpu_sm_clock_hertz"), std::string::npos) << "no GPU reported a clock";
  // Every sample line is a qkmine_ name, optional labels and a number.
  size_t at = 0;
  for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = text.substr(at, end - at);
    if (line.rfind("#", 0) == 0) continue;
    EXPECT_EQ(line.rfind("qkmine_", 0), 0u) << line;
    EXPECT_NO_THROW(std::stod(line.substr(line.rfind(' ') + 1))) << line;
  }
}

// A run for two pools: the first one up and past a few refusals, the
// failover never reached.
RunFigures with_pools() {
  RunFigures run = two_devices();
  run.devices[1].name = "cpu";  // the summary line's device names are qkmine's own, never quoted
  PoolRun pool;
  pool.job_id = "j\"7";
  PoolFigures up, down;
  up.url = "stratum+ssl://pool:3443", up.connected = true, up.extranonce = 0x1000;
  up.accepted = 9, up.rejected = 3, up.dropped = 1, up.rejected_by_code = {{21, 2}, {22, 1}};
  down.url = "stratum+tcp://backup:3333";
  pool.pools = {up, down};
  run.pool = pool;
  return run;
}

TEST(QkmineStatus, APoolRunShowsEachPoolInEveryForm) {
  RunFigures run = with_pools();
  const nlohmann::json doc = status_document(run, 1);
  EXPECT_EQ(doc["job"]["pool_job"], "j\"7");
  ASSERT_EQ(doc["pools"].size(), 2u);
  const nlohmann::json& up = doc["pools"][0];
  EXPECT_EQ(up["url"], "stratum+ssl://pool:3443");
  EXPECT_EQ(up["connected"], true);
  EXPECT_EQ(up["extranonce"], "00001000");
  EXPECT_EQ(up["accepted"], 9);
  EXPECT_EQ(up["rejected"], 3);
  EXPECT_EQ(up["dropped"], 1);
  EXPECT_EQ(up["rejected_by_code"], nlohmann::json({{"21", 2}, {"22", 1}}));
  EXPECT_TRUE(doc["pools"][1]["extranonce"].is_null());
  EXPECT_FALSE(status_document(two_devices(), 1).contains("pools")) << "no pool, no pools";

  const std::string text = metrics_text(run, 1);
  for (const std::string line : {
           "qkmine_pool_connected{pool=\"stratum+ssl://pool:3443\"} 1",
           "qkmine_pool_connected{pool=\"stratum+tcp://backup:3333\"} 0",
           "qkmine_pool_shares_total{pool=\"stratum+ssl://pool:3443\",outcome=\"accepted\"} 9",
           "qkmine_pool_shares_total{pool=\"stratum+ssl://pool:3443\",outcome=\"rejected\"} 3",
           "qkmine_pool_shares_total{pool=\"stratum+ssl://pool:3443\",outcome=\"dropped\"} 1",
           "qkmine_pool_rejected_total{pool=\"stratum+ssl://pool:3443\",code=\"21\"} 2",
       }) {
    EXPECT_NE(text.find(line + "\n"), std::string::npos) << line << "\n" << text;
  }

  const nlohmann::json summary = nlohmann::json::parse(summary_json(run));  // well-formed despite the quote
  EXPECT_EQ(summary["pool_job"], "j'7");
  EXPECT_EQ(summary["pools"][0]["rejected_by_code"]["22"], 1);
  EXPECT_EQ(summary["pools"][1]["connected"], false);
  const std::string progress = progress_text(run, false);
  EXPECT_NE(progress.find("| pool stratum+ssl://pool:3443: up, 9 accepted, 3 rejected, 1 dropped"), std::string::npos)
      << progress;
  EXPECT_NE(progress.find("| pool stratum+tcp://backup:3333: down, 0 accepted"), std::string::npos) << progress;
  run.pool->job_id.clear();
  EXPECT_NE(progress_text(run, true).find("no job was received from the pool"), std::string::npos);
  EXPECT_TRUE(nlohmann::json::parse(summary_json(run))["pool_job"].is_null());
}

TEST(QkmineApi, TheBindRules) {
  const struct {
    std::string bind;
    int port;
    std::string token, problem;  // a part of it; "" when accepted
  } cases[] = {
      {"127.0.0.1", 0, "", ""},           {"127.3.4.5", 8080, "", ""},
      {"localhost", 1, "", ""},           {"::1", 65535, "", ""},
      {"0.0.0.0", 4028, "", "give --api-token"},
      {"192.168.1.7", 4028, "", "give --api-token"},
      {"::", 4028, "", "give --api-token"},
      {"0.0.0.0", 4028, "s3cret", ""},
      {"127.0.0.1", 65536, "", "--api-port takes"},
      {"127.0.0.1", -1, "", "--api-port takes"},
  };
  for (const auto& c : cases) {
    const std::string problem = api_options_problem({c.bind, c.port, c.token});
    if (c.problem.empty()) EXPECT_EQ(problem, "") << c.bind << ":" << c.port;
    else EXPECT_NE(problem.find(c.problem), std::string::npos) << c.bind << ":" << c.port << ": " << problem;
  }
}

// An endpoint on 127.0.0.1, its port chosen by the system.
struct Endpoint {
  ApiServer server;
  explicit Endpoint(const std::string& token = "")
      : server({"127.0.0.1", 0, token}, {[] { return std::string("{\"ok\":true}"); },
                                          [] { return std::string("qkmine_up 1\n"); }}) {
    std::string why;
    EXPECT_TRUE(server.start(&why)) << why;
    EXPECT_GT(server.port(), 0);
  }
  httplib::Client client() const {
    httplib::Client c("127.0.0.1", server.port());
    c.set_connection_timeout(30);  // a loaded machine answers late, not never
    c.set_read_timeout(30);
    return c;
  }
};

TEST(QkmineApi, ServesTheSummaryAndTheMetricsAndNothingElse) {
  Endpoint api;
  httplib::Client c = api.client();
  const struct {
    const char* method;
    const char* path;
    int status;
    std::string body, type;
  } cases[] = {
      {"GET", "/summary", 200, "{\"ok\":true}\n", "application/json"},
      {"GET", "/metrics", 200, "qkmine_up 1\n", "text/plain; version=0.0.4; charset=utf-8"},
      {"GET", "/", 404, "", ""},
      {"GET", "/summary/x", 404, "", ""},
      {"POST", "/summary", 405, "", ""},
      {"DELETE", "/metrics", 405, "", ""},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(std::string(k.method) + " " + k.path);
    const httplib::Result r = std::string(k.method) == "GET"    ? c.Get(k.path)
                              : std::string(k.method) == "POST" ? c.Post(k.path, "x", "text/plain")
                                                                : c.Delete(k.path);
    ASSERT_TRUE(r) << httplib::to_string(r.error());
    EXPECT_EQ(r->status, k.status);
    if (k.status != 200) continue;
    EXPECT_EQ(r->body, k.body);
    EXPECT_EQ(r->get_header_value("Content-Type"), k.type);
  }
}

TEST(QkmineApi, ATokenIsCheckedAsABearerToken) {
  Endpoint api("s3cret");
  const struct {
    const char* authorization;  // null: none sent
    int status;
  } cases[] = {
      {nullptr, 401}, {"Bearer wrong", 401}, {"Bearer s3cre", 401}, {"Basic s3cret", 401},
      {"Bearer s3cret", 200},
  };
  for (const auto& k : cases) {
    httplib::Client c = api.client();
    httplib::Headers headers;
    if (k.authorization) headers.emplace("Authorization", k.authorization);
    const httplib::Result r = c.Get("/summary", headers);
    ASSERT_TRUE(r) << httplib::to_string(r.error());
    EXPECT_EQ(r->status, k.status) << (k.authorization ? k.authorization : "no header");
    if (k.status == 401) EXPECT_EQ(r->get_header_value("WWW-Authenticate"), "Bearer");
  }
}

TEST(QkmineApi, APortInUseIsRefusedWithAReason) {
  Endpoint first;
  ApiServer second({"127.0.0.1", first.server.port(), ""}, {[] { return std::string(); }, [] { return std::string(); }});
  std::string why;
  EXPECT_FALSE(second.start(&why));
  EXPECT_NE(why.find("cannot listen on 127.0.0.1:" + std::to_string(first.server.port())), std::string::npos) << why;
}

}  // namespace
