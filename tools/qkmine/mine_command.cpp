// qkmine mine: run attempts until told to stop and print a record for every
// share (or every attempt with --all), on GPUs (one context and one host
// thread each) or on the CPU reference model. The records are those
// `qkmine verify` checks.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "commands.h"
#include "cpu_miner.h"
#include "devices.h"
#include "gpu_miner.h"
#include "interrupts.h"
#include "mine_job.h"
#include "mine_run.h"
#include "mine_supervisor.h"
#include "options.h"

namespace qkmine {
namespace {

constexpr const char* kUsage =
    "usage: qkmine mine [--mode full|bonly] [--devices LIST|all|cpu] [--m M --n N --k K]\n"
    "         [--key HEX] [--target HEX | --difficulty BITS]\n"
    "         [--seed-a X --seed-b Y | --prepare-seed S --first-nonce X]\n"
    "         [--attempts N | --seconds T] [--watchdog SECONDS] [--all] [--json]\n"
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

int usage(const std::string& why) {
  std::fprintf(stderr, "qkmine mine: %s\n%s", why.c_str(), kUsage);
  return kExitUsage;
}

// Once the devices are ready: for people, and for scripts the sign that an
// interrupt now stops the run cleanly.
void announce(const Job& job, const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& name : names) list += (list.empty() ? "" : ",") + name;
  std::fprintf(stderr, "qkmine mine: mining %s, %dx%dx%d, on %s; Ctrl-C stops after the current batch\n",
               job.mode == QV_MODE_FULL ? "full" : "bonly", job.dims.m, job.dims.n, job.dims.k, list.c_str());
}

int mine_on_cpu(const Job& job, double watchdog) {
  InterruptCatcher interrupts;
  CpuMiner cpu(job);
  MineRun run(job, {"cpu"});
  announce(job, {"cpu"});
  return supervise(run, {&cpu}, watchdog);
}

int mine_on_gpus(const Job& job, const std::vector<Device>& devices, double watchdog) {
  InterruptCatcher interrupts;  // from here on, so that Ctrl-C during a slow start is a clean stop too
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
  MineRun run(job, names);
  announce(job, names);
  return supervise(run, running, watchdog);
}

}  // namespace

int run_mine(const std::vector<std::string>& args) {
  Options opt;
  std::string error;
  if (!opt.parse(args, 2,
                 {"mode", "devices", "m", "n", "k", "key", "target", "difficulty", "seed-a", "seed-b",
                  "prepare-seed", "first-nonce", "attempts", "seconds", "watchdog"},
                 {"all", "json"}, error)) {
    return usage(error);
  }
  // Every option is checked before a missing GPU is reported, so bad usage
  // exits 2 on any machine.
  const int visible = visible_gpus();
  const std::string list = opt.text("devices").value_or(visible > 0 ? "all" : "cpu");
  if (list != "all" && parse_device_list(list, kMaxGpus, error).empty()) return usage(error);
  const bool on_gpu = list != "cpu";
  Job job;
  const std::string problem = read_job(opt, on_gpu, job);
  if (!problem.empty()) return usage(problem);
  double watchdog = on_gpu ? kGpuWatchdogSeconds : 0;
  if (opt.has("watchdog")) {
    const std::string t = *opt.text("watchdog");
    char* end = nullptr;
    watchdog = std::strtod(t.c_str(), &end);
    if (t.empty() || *end != '\0' || !std::isfinite(watchdog) || watchdog < 0) {
      return usage("--watchdog takes a number of seconds (0: off)");
    }
  }

  if (!opt.has("devices") && !on_gpu) {
    std::fprintf(stderr, "qkmine: no CUDA device visible; mining on the CPU reference model\n");
  }
  if (on_gpu && visible == 0) {
    std::fprintf(stderr, "qkmine mine: no CUDA device visible\n");
    return kExitNoGpu;
  }
  const std::vector<Device> devices = parse_device_list(list, visible, error);
  if (!error.empty()) return usage(error);
  return on_gpu ? mine_on_gpus(job, devices, watchdog) : mine_on_cpu(job, watchdog);
}

}  // namespace qkmine
