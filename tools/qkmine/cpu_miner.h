// The CPU device of `qkmine mine`: the whole pipeline on the reference model.
#pragma once

#include "mine_job.h"
#include "mine_run.h"
#include "mine_supervisor.h"
#include "quorl_ref/attempt.hpp"

namespace qkmine {

// Full attempts from scratch, or B-only attempts on a state prepared once
// from the job's prepare seed and mutated by each nonce in turn.
class CpuMiner : public DeviceWorker {
 public:
  explicit CpuMiner(const Job& job) : job_(job) {}
  void run(MineRun& run) override;

 private:
  void prepare();
  const quorl::ref::AttemptOperands& attempt(int64_t i);

  const Job& job_;
  quorl::ref::AttemptOperands state_;
};

}  // namespace qkmine
