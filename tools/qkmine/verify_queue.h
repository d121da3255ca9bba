// The host's checks of a run's outcomes, on a worker thread of their own so
// a device thread only hands its outcomes over and goes back to queueing
// GPU work. Outcomes are settled one at a time in the order they were
// handed over (each check spreads over several threads itself), so the
// records of one device come out in attempt order.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "quorl_verify.h"
#include "share_check.h"

namespace qkmine {

struct Outcome {
  QvRecord record;
  size_t device;  // place in the run's device list
  Check check;
  uint64_t job_id = 0;  // Job::id of the job it was mined on
};

class VerifyQueue {
 public:
  // `confirm` checks one outcome ("" when it stands, see confirm_outcome);
  // `settle` then receives it with that verdict, on the worker thread.
  using Confirm = std::function<std::string(QvRecord&, Check)>;
  using Settle = std::function<void(const Outcome&, const std::string& verdict)>;
  // Beyond `capacity` waiting outcomes, hand_over blocks: a host that
  // cannot keep up slows the devices rather than growing without bound.
  static constexpr size_t kCapacity = 4096;

  VerifyQueue(Confirm confirm, Settle settle, size_t capacity = kCapacity);
  ~VerifyQueue() { drain(); }
  VerifyQueue(const VerifyQueue&) = delete;
  VerifyQueue& operator=(const VerifyQueue&) = delete;

  // False (the outcome dropped) only after drain().
  bool hand_over(Outcome outcome);
  // Takes nothing more, settles everything handed over, ends the worker.
  void drain();
  size_t waiting() const;

 private:
  void work();

  Confirm confirm_;
  Settle settle_;
  size_t capacity_;
  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Outcome> waiting_;
  bool closed_ = false;
  std::thread worker_;  // last: starts once everything above is built
};

}  // namespace qkmine
