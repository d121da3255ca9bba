// run_workers: one host thread per device; the calling thread prints progress.
#pragma once

#include <thread>

namespace qkmine {

constexpr double kProgressSeconds = 3.0;

template <class Worker>
void run_workers(MineRun& run, std::vector<Worker>& workers) {
  std::atomic<size_t> running{workers.size()};
  std::vector<std::thread> threads;
  for (Worker& w : workers) {
    threads.emplace_back([&run, &w, &running] {
      w.run(run);
      running.fetch_sub(1);
    });
  }
  double next_report = kProgressSeconds;
  while (running.load() > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (run.elapsed() >= next_report) {
      next_report += kProgressSeconds;
      run.report(false);
    }
  }
  for (std::thread& t : threads) t.join();
  run.report(true);
}

}  // namespace qkmine
