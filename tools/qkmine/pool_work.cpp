#include "pool_work.h"

namespace qkmine {
namespace {

constexpr size_t kOriginsKept = 256;  // shares come from jobs a few switches old at most

}  // namespace

Job job_from_pool(const Job& base, const pool::PoolJob& job) {
  Job out = base;
  out.mode = job.mode;
  out.dims = job.dims;
  out.key = job.key;
  out.target = job.target;
  out.max_nonces = job.mode == QV_MODE_BONLY ? job.max_nonces : 0;
  out.seed_a = uint64_t(job.extranonce) << 32;
  out.seed_b = 0;
  out.prepare_seed = uint64_t(job.extranonce) << 32;
  out.first_nonce = 0;
  return out;
}

bool PoolWork::ready(std::chrono::milliseconds wait) {
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (job_) return true;
  }
  return feed_(0, wait) != nullptr;
}

void PoolWork::start_job(std::shared_ptr<const pool::PoolJob> job, uint64_t lane) {
  Job next = job_from_pool(base_, *job);
  next.id = ++last_id_;
  next.seed_b = lane << 32;
  job_ = std::make_shared<const Job>(next);
  lane_ = lane;
  // Attempts of the job before, given back or not, are nobody's to mine now.
  numbers_ = AttemptNumbers(next.mode == QV_MODE_FULL ? kLane : INT64_MAX);
  origins_[next.id] = job;
  if (origins_.size() > kOriginsKept) origins_.erase(origins_.begin());
  auto key = std::make_tuple(job->pool, job->extranonce, job->id);
  if (next_lane_.count(key) == 0) {
    lane_order_.push_back(key);
    if (lane_order_.size() > kOriginsKept) {
      next_lane_.erase(lane_order_.front());
      lane_order_.pop_front();
    }
  }
  next_lane_[key] = lane + 1;
  pool_job_ = std::move(job);
}

uint64_t PoolWork::fresh_lane(const pool::PoolJob& job) const {
  const auto it = next_lane_.find(std::make_tuple(job.pool, job.extranonce, job.id));
  return it == next_lane_.end() ? 0 : it->second;
}

void PoolWork::follow_newest() {
  std::shared_ptr<const pool::PoolJob> newest = feed_(pool_job_ ? pool_job_->serial : 0, std::chrono::milliseconds(0));
  if (newest && (!pool_job_ || newest->serial > pool_job_->serial)) {
    const uint64_t lane = fresh_lane(*newest);
    start_job(std::move(newest), lane);
  }
}

Work PoolWork::take(int64_t count) {
  std::lock_guard<std::mutex> lock(lock_);
  follow_newest();
  if (!job_ || count <= 0) return {};
  if (numbers_.spent()) start_job(pool_job_, lane_ + 1);  // full mode: the lane's 2^32 attempts are out
  return numbers_.take(job_, count);
}

void PoolWork::give_back(const Work& work) {
  std::lock_guard<std::mutex> lock(lock_);
  if (job_ && work.job && work.job->id == job_->id) numbers_.give_back(work);
}

uint64_t PoolWork::prepare_seed(const Job& job, size_t) {
  std::lock_guard<std::mutex> lock(lock_);
  return (job.prepare_seed & ~uint64_t(0xffffffff)) | preparations_++;
}

std::shared_ptr<const pool::PoolJob> PoolWork::pool_job(uint64_t job_id) const {
  std::lock_guard<std::mutex> lock(lock_);
  const auto it = origins_.find(job_id);
  return it == origins_.end() ? nullptr : it->second;
}

std::shared_ptr<const pool::PoolJob> PoolWork::current() const {
  std::lock_guard<std::mutex> lock(lock_);
  return pool_job_;
}

}  // namespace qkmine
