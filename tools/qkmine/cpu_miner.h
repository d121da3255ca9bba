// The CPU device of `qkmine mine`: the whole pipeline on the reference model.
#pragma once

#include <memory>

#include "mine_job.h"
#include "mine_run.h"
#include "mine_supervisor.h"
#include "quorl_ref/attempt.hpp"

namespace qkmine {

// Full attempts from scratch, or B-only attempts on a state prepared from a
// prepare seed and mutated by each nonce in turn. It mines the job of each
// piece of work it claims: a new job (a new id) is prepared afresh, and so is
// a B-only job whose preparation has run max_nonces nonces.
class CpuMiner : public DeviceWorker {
 public:
  explicit CpuMiner(const Job& job) : job_(job) {}
  void run(MineRun& run) override;

 private:
  void prepare(MineRun& run);
  const quorl::ref::AttemptOperands& attempt(int64_t i);

  Job job_;                  // the job mined now
  uint64_t prepare_seed_ = 0;
  int64_t done_ = 0;         // B-only: nonces run since preparing
  quorl::ref::AttemptOperands state_;
};

}  // namespace qkmine
