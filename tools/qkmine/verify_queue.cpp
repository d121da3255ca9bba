#include "verify_queue.h"

namespace qkmine {

VerifyQueue::VerifyQueue(Confirm confirm, Settle settle, size_t capacity)
    : confirm_(std::move(confirm)), settle_(std::move(settle)), capacity_(capacity),
      worker_([this] { work(); }) {}

bool VerifyQueue::hand_over(Outcome outcome) {
  std::unique_lock<std::mutex> lock(lock_);
  changed_.wait(lock, [this] { return closed_ || waiting_.size() < capacity_; });
  if (closed_) return false;
  waiting_.push_back(std::move(outcome));
  changed_.notify_all();
  return true;
}

void VerifyQueue::drain() {
  {
    std::lock_guard<std::mutex> lock(lock_);
    closed_ = true;
  }
  changed_.notify_all();
  if (worker_.joinable()) worker_.join();
}

size_t VerifyQueue::waiting() const {
  std::lock_guard<std::mutex> lock(lock_);
  return waiting_.size();
}

void VerifyQueue::work() {
  std::unique_lock<std::mutex> lock(lock_);
  while (true) {
    changed_.wait(lock, [this] { return closed_ || !waiting_.empty(); });
    if (waiting_.empty()) return;  // closed and nothing left
    Outcome outcome = std::move(waiting_.front());
    waiting_.pop_front();
    changed_.notify_all();  // room for a blocked hand_over
    lock.unlock();
    const std::string verdict = confirm_(outcome.record, outcome.check);
    settle_(outcome, verdict);
    lock.lock();
  }
}

}  // namespace qkmine
