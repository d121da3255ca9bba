// qkmine mine: run attempts until told to stop and print a record for every
// share (or every attempt with --all), on GPUs (one context and one host
// thread each) or on the CPU reference model. The records are those
// `qkmine verify` checks.
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "cpu_miner.h"
#include "devices.h"
#include "gpu_miner.h"
#include "mine_job.h"
#include "mine_run.h"
#include "options.h"

namespace qkmine {
namespace {

constexpr const char* kUsage =
    "usage: qkmine mine [--mode full|bonly] [--devices LIST|all|cpu] [--m M --n N --k K]\n"
    "         [--key HEX] [--target HEX | --difficulty BITS]\n"
    "         [--seed-a X --seed-b Y | --prepare-seed S --first-nonce X]\n"
    "         [--attempts N | --seconds T] [--all] [--json]\n";

constexpr int kMaxGpus = 1 << 16;  // for reading a list before asking what is visible

int usage(const std::string& why) {
  std::fprintf(stderr, "qkmine mine: %s\n%s", why.c_str(), kUsage);
  return kExitUsage;
}

int mine_on_cpu(const Job& job) {
  MineRun run(job, {"cpu"});
  stop_on_interrupt(run);
  std::vector<CpuMiner> workers{CpuMiner(job)};
  run_workers(run, workers);
  return kExitOk;
}

int mine_on_gpus(const Job& job, const std::vector<Device>& devices) {
  std::vector<GpuMiner> workers;
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
  MineRun run(job, names);
  stop_on_interrupt(run);
  run_workers(run, workers);
  return kExitOk;
}

}  // namespace

int run_mine(const std::vector<std::string>& args) {
  Options opt;
  std::string error;
  if (!opt.parse(args, 2,
                 {"mode", "devices", "m", "n", "k", "key", "target", "difficulty", "seed-a", "seed-b",
                  "prepare-seed", "first-nonce", "attempts", "seconds"},
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

  if (!opt.has("devices") && !on_gpu) {
    std::fprintf(stderr, "qkmine: no CUDA device visible; mining on the CPU reference model\n");
  }
  if (on_gpu && visible == 0) {
    std::fprintf(stderr, "qkmine mine: no CUDA device visible\n");
    return kExitNoGpu;
  }
  const std::vector<Device> devices = parse_device_list(list, visible, error);
  if (!error.empty()) return usage(error);
  return on_gpu ? mine_on_gpus(job, devices) : mine_on_cpu(job);
}

}  // namespace qkmine
