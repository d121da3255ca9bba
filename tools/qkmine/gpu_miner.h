// A GPU device of `qkmine mine`: one context, driven from its own thread.
//
// Full mode runs qk_mine_full with the run's attempt numbers (seeds + i), so
// several GPUs share one seed sequence. B-only mode prepares with
// qk_prepare_a from prepare seed + (the device's place in --devices), so
// each GPU mutates its own B, and runs qk_mine_full_bonly_batch over its own
// nonces first_nonce, first_nonce + 1, ...
//
// After every call that mines, qk_get_hashes is the device's status check:
// a failed device is reported and stops before any outcome of the failed
// call is used. Hits go to the run's queue for the host's check, so the
// thread goes straight back to queueing GPU work.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "gpu_context.h"
#include "mine_job.h"
#include "mine_run.h"
#include "mine_supervisor.h"

namespace qkmine {

class GpuMiner : public DeviceWorker {
 public:
  GpuMiner(const Job& job, int gpu, size_t place);

  // Creates the context, proves it can search (trial) and prepares the
  // job; "" or why this GPU cannot mine it (the first character '!' marks a
  // refusal of the job rather than a device failure).
  std::string open();
  void run(MineRun& run) override;

 private:
  // Installs `job` (B-only: prepares A and B, from the run's next prepare
  // seed once it runs); a job of other dims gets a context of its own. ""
  // or why not. The device's tally is watched during the call, once the run
  // has started.
  std::string prepare(const Job& job, MineRun* run);
  // One attempt against a target every cell meets must find a cell. A
  // kernel that cannot start on this GPU (no image for it, too few
  // resources) fails on entry, an error the library drops at its next
  // call, so no status call sees it: mining would find nothing while the
  // device looked healthy. "" or why the GPU cannot search.
  std::string trial();
  // Each returns false once the device failed (reported to the run).
  bool mine_full(MineRun& run, const Work& work);
  bool mine_bonly(MineRun& run, const Work& work);
  // The status check: the roots of the context's latest attempt, and from
  // them the seeds.
  bool read_roots(MineRun& run, QvRecord& r);

  Job job_;  // the job the context holds
  int gpu_;
  size_t place_;
  uint64_t prepare_seed_;
  int64_t done_ = 0;  // B-only nonces run since preparing
  std::unique_ptr<GpuContext> ctx_;
  std::vector<int32_t> results_;
};

}  // namespace qkmine
