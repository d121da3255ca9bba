#include "job_source.h"

#include <algorithm>

namespace qkmine {

Work AttemptNumbers::take(const std::shared_ptr<const Job>& job, int64_t count) {
  if (!returned_.empty()) {
    Work& back = returned_.back();
    const Work part{job, back.first, std::min(count, back.count)};
    back.first += part.count;
    back.count -= part.count;
    if (back.count == 0) returned_.pop_back();
    return part;
  }
  const Work fresh{job, next_, std::min(count, end_ - next_)};
  next_ += fresh.count;
  return fresh;
}

void AttemptNumbers::give_back(const Work& work) {
  if (work.count > 0) returned_.push_back(work);
}

Work FixedJob::take(int64_t count) {
  std::lock_guard<std::mutex> lock(lock_);
  return numbers_.take(job_, count);
}

void FixedJob::give_back(const Work& work) {
  std::lock_guard<std::mutex> lock(lock_);
  numbers_.give_back(work);
}

}  // namespace qkmine
