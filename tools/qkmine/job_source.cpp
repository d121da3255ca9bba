#include "job_source.h"

#include <algorithm>

namespace qkmine {

Work FixedJob::take(int64_t count) {
  std::lock_guard<std::mutex> lock(lock_);
  if (!returned_.empty()) {
    Work& back = returned_.back();
    const Work part{job_, back.first, std::min(count, back.count)};
    back.first += part.count;
    back.count -= part.count;
    if (back.count == 0) returned_.pop_back();
    return part;
  }
  const Work fresh{job_, next_, count};
  next_ += count;
  return fresh;
}

void FixedJob::give_back(const Work& work) {
  if (work.count <= 0) return;
  std::lock_guard<std::mutex> lock(lock_);
  returned_.push_back(work);
}

}  // namespace qkmine
