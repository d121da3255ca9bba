// qkmine mine: run attempts until told to stop and print a record for every
// share (or every attempt with --all), on GPUs (one context and one host
// thread each) or on the CPU reference model. The records are those
// `qkmine verify` checks.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "api_server.h"
#include "commands.h"
#include "cpu_miner.h"
#include "devices.h"
#include "gpu_miner.h"
#include "interrupts.h"
#include "mine_job.h"
#include "mine_run.h"
#include "mine_supervisor.h"
#include "nvml_telemetry.h"
#include "pool_session.h"
#include "pool_work.h"
#include "run_status.h"

namespace qkmine {
namespace {

constexpr const char* kUsage =
    "usage: qkmine mine [--mode full|bonly] [--devices LIST|all|cpu] [--m M --n N --k K]\n"
    "         [--key HEX] [--target HEX | --difficulty BITS]\n"
    "         [--seed-a X --seed-b Y | --prepare-seed S --first-nonce X]\n"
    "         [--attempts N | --seconds T] [--watchdog SECONDS] [--all] [--json]\n"
    "         [--api-port PORT [--api-bind ADDR] [--api-token TOKEN]]\n"
    "   or: qkmine mine --pool URL [--pool URL ...] --user U [--password P] [--tls-ca FILE]\n"
    "         [--pool-retry SECONDS] [--devices ...] [--attempts N | --seconds T] [...]\n"
    "With --pool (stratum+tcp://HOST:PORT or stratum+ssl://HOST:PORT; later ones are failovers) the\n"
    "pool decides the job, difficulty and seeds; each confirmed share is printed and submitted, and\n"
    "the pools' accepted/rejected/dropped counts join the progress line and the summary. A pool that\n"
    "cannot be reached is retried until --seconds/--attempts or a signal ends the run.\n"
    "Ctrl-C or SIGTERM stops after each device's current batch and prints the summary; a second one\n"
    "exits at once. A GPU that fails stops (the others go on); one whose call has not returned\n"
    "within --watchdog seconds (default 120 on GPUs, off on the CPU; 0 disables) is reported as hung.\n"
    "exit status: 0 done, 1 a device failed, 2 bad usage, 3 no GPU visible, 4 a device hung,\n"
    "             130/143 a second SIGINT/SIGTERM\n";

// Well above the slowest batch expected (64 attempts at the largest shapes
// a GPU holds, a first call that loads its kernels); a CPU attempt cannot
// hang, only take long at large shapes, so it is watched only when asked.
constexpr double kGpuWatchdogSeconds = 120;

constexpr int kMaxGpus = 1 << 16;  // for reading a list before asking what is visible

int usage(const std::string& why) { return usage_error("mine", kUsage, why); }

// The monitoring endpoint, when asked for: started once the run exists,
// stopped before it ends.
std::unique_ptr<ApiServer> serve(const std::optional<ApiOptions>& api, MineRun& run) {
  if (!api) return nullptr;
  const auto started = std::chrono::steady_clock::now();
  auto uptime = [started] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  };
  auto server = std::make_unique<ApiServer>(
      *api, ApiServer::Content{[&run, uptime] { return status_document(run.status(), uptime()).dump(); },
                               [&run, uptime] { return metrics_text(run.status(), uptime()); }});
  std::string why;
  if (!server->start(&why)) {
    std::fprintf(stderr, "qkmine mine: monitoring endpoint: %s\n", why.c_str());
    return nullptr;
  }
  std::fprintf(stderr, "qkmine mine: monitoring on http://%s:%d (GET /summary, /metrics)\n", api->bind.c_str(),
               server->port());
  return server;
}

// --api-port, --api-bind, --api-token: nullopt without a port; "" or why not.
std::string read_api(const OptionValues& opt, std::optional<ApiOptions>& api) {
  if (!opt.has("api-port")) {
    for (const char* name : {"api-bind", "api-token"}) {
      if (opt.has(name)) return std::string("--") + name + " belongs to --api-port";
    }
    return "";
  }
  const auto port = opt.integer("api-port");
  ApiOptions a;
  a.port = port && *port >= 0 && *port <= 65535 ? int(*port) : -1;
  a.bind = opt.text("api-bind").value_or(a.bind);
  a.token = opt.text("api-token").value_or("");
  const std::string problem = api_options_problem(a);
  if (!problem.empty()) return problem;
  api = a;
  return "";
}

// Once the devices are ready: for people, and for scripts the sign that an
// interrupt now stops the run cleanly.
void announce(const Job& job, const std::vector<std::string>& names, bool for_pool = false) {
  std::string list;
  for (const std::string& name : names) list += (list.empty() ? "" : ",") + name;
  if (for_pool) {  // the job is the pool's, and may change
    std::fprintf(stderr, "qkmine mine: mining the pool's jobs on %s; Ctrl-C stops after the current batch\n",
                 list.c_str());
    return;
  }
  std::fprintf(stderr, "qkmine mine: mining %s, %dx%dx%d, on %s; Ctrl-C stops after the current batch\n",
               job.mode == QV_MODE_FULL ? "full" : "bonly", job.dims.m, job.dims.n, job.dims.k, list.c_str());
}

// Until the run's limit in seconds passes or a signal stops it.
std::function<bool()> before_limits(const Job& job) {
  const auto start = std::chrono::steady_clock::now();
  return [start, seconds = job.seconds] {
    const double spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return !interrupt_requested() && (seconds <= 0 || spent < seconds);
  };
}

int mine_on_cpu(const Job& job, double watchdog, const std::optional<ApiOptions>& api, PoolSession* pool) {
  InterruptCatcher interrupts;
  CpuMiner cpu(job);
  MineRun run(job, {"cpu"}, stdout, pool ? pool->setup(job, stdout) : MineRun::Setup{});
  const std::unique_ptr<ApiServer> server = serve(api, run);
  announce(job, {"cpu"}, pool != nullptr);
  return supervise(run, {&cpu}, watchdog);
}

int mine_on_gpus(const Job& given, const std::vector<Device>& devices, double watchdog,
                 const std::optional<ApiOptions>& api, PoolSession* pool) {
  InterruptCatcher interrupts;  // from here on, so that Ctrl-C during a slow start is a clean stop too
  Job job = given;
  if (pool) {  // the contexts are made for the pool's dims
    const std::shared_ptr<const pool::PoolJob> first = pool->first_job(before_limits(given));
    if (!first) {
      std::fprintf(stderr, "qkmine mine: no job was received from the pool\n");
      return kExitOk;
    }
    job = job_from_pool(given, *first);
  }
  std::vector<GpuMiner> workers;
  workers.reserve(devices.size());
  std::vector<std::string> names;
  for (size_t i = 0; i < devices.size(); ++i) {
    workers.emplace_back(job, devices[i].gpu, i);
    names.push_back(devices[i].name());
  }
  for (GpuMiner& w : workers) {
    const std::string problem = w.open();
    if (problem.empty()) continue;
    if (problem[0] == '!') return usage(problem.substr(1));
    std::fprintf(stderr, "qkmine mine: %s\n", problem.c_str());
    return kExitFailed;
  }
  std::vector<DeviceWorker*> running;
  for (GpuMiner& w : workers) running.push_back(&w);
  // Telemetry when the driver's NVML is there; without it the fields are left out.
  const std::shared_ptr<TelemetrySource> nvml = open_nvml(gpu_bus_ids());
  MineRun::Setup setup = pool ? pool->setup(job, stdout) : MineRun::Setup{};
  if (nvml) {
    setup.telemetry = [nvml, devices](size_t i) { return nvml->read(devices[i].gpu); };
  }
  MineRun run(job, names, stdout, std::move(setup));
  const std::unique_ptr<ApiServer> server = serve(api, run);
  announce(job, names, pool != nullptr);
  return supervise(run, running, watchdog);
}

int run_mine(const OptionValues& opt) {
  std::string error;
  // Every option is checked before a missing GPU is reported, so bad usage
  // exits 2 on any machine.
  const int visible = visible_gpus();
  const std::string list = opt.text("devices").value_or(visible > 0 ? "all" : "cpu");
  if (list != "all" && parse_device_list(list, kMaxGpus, error).empty()) return usage(error);
  const bool on_gpu = list != "cpu";
  Job job;
  pool::ClientOptions pool_options;
  if (const std::string bad = read_pool_options(opt, pool_options); !bad.empty()) return usage(bad);
  const std::string problem = read_job(opt, on_gpu, job);
  if (!problem.empty()) return usage(problem);
  double watchdog = on_gpu ? kGpuWatchdogSeconds : 0;
  if (opt.has("watchdog")) {
    const auto seconds = opt.number("watchdog");
    if (!seconds || *seconds < 0) return usage("--watchdog takes a number of seconds (0: off)");
    watchdog = *seconds;
  }
  std::optional<ApiOptions> api;
  if (const std::string bad = read_api(opt, api); !bad.empty()) return usage(bad);

  if (!opt.has("devices") && !on_gpu) {
    std::fprintf(stderr, "qkmine: no CUDA device visible; mining on the CPU reference model\n");
  }
  if (on_gpu && visible == 0) {
    std::fprintf(stderr, "qkmine mine: no CUDA device visible\n");
    return kExitNoGpu;
  }
  const std::vector<Device> devices = parse_device_list(list, visible, error);
  if (!error.empty()) return usage(error);
  std::unique_ptr<PoolSession> pool;
  if (!pool_options.pools.empty()) {
    pool = std::make_unique<PoolSession>(std::move(pool_options));
    if (const std::string why = pool->start(); !why.empty()) return usage(why);
  }
  return on_gpu ? mine_on_gpus(job, devices, watchdog, api, pool.get())
                : mine_on_cpu(job, watchdog, api, pool.get());
}

}  // namespace

CommandSpec mine_command() {
  return {"mine",
          "run attempts on GPUs (or --devices cpu: the reference model) and print a record per share",
          kUsage,
          {{"mode", "full|bonly", "full attempts, or B-only attempts on a prepared A", "full"},
           {"devices", "LIST|all|cpu", "GPU ordinals (0,1,...), every visible GPU, or the CPU reference model",
            "all, or cpu without a GPU"},
           {"m", "M", "rows of A", "8192 on GPUs, 256 on the CPU"},
           {"n", "N", "rows of B", "8192 on GPUs, 256 on the CPU"},
           {"k", "K", "columns of A and B", "2048"},
           {"key", "HEX", "the job key, 64 hex digits", "random"},
           {"target", "HEX", "a share's hash must be at most this, 64 hex digits"},
           {"difficulty", "BITS", "target = 2^(256 - BITS) - 1 (0 to 256)",
            "log2(m/2 * n/64) + 8 on GPUs, + 3 on the CPU"},
           {"seed-a", "X", "full mode: A's seed of attempt 0 (attempt i: X + i)", "0"},
           {"seed-b", "Y", "full mode: B's seed of attempt 0", "seed-a + 0x9E3779B97F4A7C15"},
           {"prepare-seed", "S", "B-only: the first device's preparation seed (device p: S + p)", "0"},
           {"first-nonce", "X", "B-only: every device's first nonce", "0"},
           {"attempts", "N", "stop after N attempts over all devices", "no limit"},
           {"seconds", "T", "stop after T seconds", "no limit"},
           {"watchdog", "SECONDS", "report a device whose call has not returned by then as hung (0: off)",
            "120 on GPUs, off on the CPU"},
           {"all", nullptr, "print every attempt's record, not only shares"},
           {"json", nullptr, "print the summary as one JSON object on stdout"},
           {"api-port", "PORT", "serve GET /summary and GET /metrics on PORT (0: any free port)"},
           {"api-bind", "ADDR", "the endpoint's address; beyond the loopback it needs --api-token", "127.0.0.1"},
           {"api-token", "TOKEN", "require 'Authorization: Bearer TOKEN' (better kept in a --config file)"},
           {"pool", "URL", "mine for the pool at stratum+tcp://HOST:PORT or stratum+ssl://HOST:PORT; again for failovers",
            "", true},
           {"user", "U", "the pool account (and worker name, e.g. account.rig1)"},
           {"password", "P", "the pool password", "x"},
           {"tls-ca", "FILE", "trust the pools' certificates signed by this CA (PEM)", "the system's trust store"},
           {"pool-retry", "SECONDS", "while on a failover pool, try the first one again this often", "300"}},
          run_mine};
}

}  // namespace qkmine
