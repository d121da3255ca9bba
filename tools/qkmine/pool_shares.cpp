#include "pool_shares.h"

namespace qkmine {

pool::Share share_of(const QvRecord& record, std::shared_ptr<const pool::PoolJob> job) {
  pool::Share share;
  share.job = std::move(job);
  share.seed_a = record.seed_a, share.seed_b = record.seed_b;
  share.prepare_seed = record.prepare_seed, share.first_nonce = record.first_nonce, share.nonce = record.nonce;
  share.found = record.found;
  return share;
}

void PoolShares::accept(const QvRecord& record, const std::string& device, uint64_t job_id) {
  lines_.accept(record, device, job_id);
  if (record.found < 0) return;  // --all: an attempt that found nothing is no share
  std::shared_ptr<const pool::PoolJob> job = work_.pool_job(job_id);
  if (!job) {
    std::fprintf(stderr, "qkmine mine: share dropped: job gone (cell %d)\n", record.found);
    return;
  }
  submit_(share_of(record, std::move(job)));
}

void PoolShares::finish() {
  if (finish_) finish_();
}

std::string accepted_text(const pool::ShareOutcome& o, const std::string& pool_url) {
  return "pool " + pool_url + ": share accepted (job " + (o.share.job ? o.share.job->id : "?") + ", cell " +
         std::to_string(o.share.found) + ")";
}

}  // namespace qkmine
