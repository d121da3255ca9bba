// A GPU device of `qkmine mine`: one context, driven from its own thread.
//
// Full mode runs qk_mine_full with the run's attempt numbers (seeds + i), so
// several GPUs share one seed sequence. B-only mode prepares with
// qk_prepare_a from prepare seed + (the device's place in --devices), so
// each GPU mutates its own B, and runs qk_mine_full_bonly_batch over its own
// nonces first_nonce, first_nonce + 1, ...
//
// Every hit is checked by the host verifier before its record is printed; a
// hit it does not confirm is counted as rejected and named on stderr.
#pragma once

#include <memory>
#include <string>

#include "gpu_context.h"
#include "mine_job.h"
#include "mine_run.h"

namespace qkmine {

class GpuMiner {
 public:
  GpuMiner(const Job& job, int gpu, size_t place);

  // Creates the context; "" or why this GPU cannot mine this job (the first
  // character '!' marks a refusal of the job rather than a device failure).
  std::string open();
  void run(MineRun& run);

 private:
  void run_full(MineRun& run);
  void run_bonly(MineRun& run);
  // Fills the record's roots and seeds from the context (the attempt it just ran).
  void roots_from_gpu(QvRecord& r);
  // Confirms a hit on the host and prints its record; counts it either way.
  void settle(MineRun& run, QvRecord& r);

  const Job& job_;
  int gpu_;
  size_t place_;
  uint64_t prepare_seed_;
  std::unique_ptr<GpuContext> ctx_;
};

}  // namespace qkmine
