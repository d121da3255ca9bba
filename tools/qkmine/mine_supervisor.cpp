#include "mine_supervisor.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <exception>
#include <memory>
#include <thread>

#include "commands.h"

namespace qkmine {
namespace {

constexpr auto kTick = std::chrono::milliseconds(50);

// Declares the device hung when its current call is older than the limit.
bool watch(MineRun& run, DeviceTally& t, double limit_s) {
  const int64_t since = t.call_since.load();
  if (limit_s <= 0 || since == 0 || double(steady_now_ns() - since) * 1e-9 < limit_s) return false;
  char why[256];
  std::snprintf(why, sizeof why, "%s has not returned in %g s", t.call.load(), limit_s);
  if (!t.settle(Health::kHung, why)) return false;
  std::fprintf(stderr,
               "qkmine mine: %s is hung: %s (--watchdog); a hung device cannot be recovered in this "
               "process, so the run stops and qkmine exits after the summary\n",
               t.name.c_str(), why);
  run.stop();
  return true;
}

}  // namespace

int supervise(MineRun& run, const std::vector<DeviceWorker*>& workers, double watchdog_seconds) {
  const size_t n = workers.size();
  const auto finished = std::make_unique<std::atomic<bool>[]>(n);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < n; ++i) {
    threads.emplace_back([&run, &finished, w = workers[i], i] {
      try {
        w->run(run);
      } catch (const std::exception& e) {
        run.fail(i, std::string("stopped by an error: ") + e.what());
      }
      run.tally(i).settle(Health::kDone);
      finished[i].store(true);
    });
  }

  bool hung = false;
  double next_report = kProgressSeconds;
  run.read_telemetry();
  for (bool waiting = true; waiting;) {
    std::this_thread::sleep_for(kTick);
    run.sample();
    waiting = false;
    for (size_t i = 0; i < n; ++i) {
      DeviceTally& t = run.tally(i);
      if (finished[i].load() || t.health() == Health::kHung) continue;
      if (watch(run, t, watchdog_seconds)) {
        hung = true;
        continue;
      }
      waiting = true;
    }
    if (waiting && run.elapsed() >= next_report) {
      next_report += kProgressSeconds;
      run.read_telemetry();
      run.report(false);
    }
  }

  for (size_t i = 0; i < n; ++i) {
    if (finished[i].load()) threads[i].join();
  }
  if (const size_t left = run.waiting()) {
    std::fprintf(stderr, "qkmine mine: mining over; %zu outcomes still wait for the host's check\n", left);
  }
  run.finish();
  run.report(true);
  if (hung) {
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(kExitHung);
  }
  for (size_t i = 0; i < n; ++i) {
    if (run.tally(i).health() == Health::kFailed) return kExitFailed;
  }
  return kExitOk;
}

}  // namespace qkmine
