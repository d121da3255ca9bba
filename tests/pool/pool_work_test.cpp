// The job source and the record sink of qkmine mine --pool, over a fake
// feed of pool jobs: seeds in the connection's space and never handed out
// twice (across threads, across the 2^32 low values), a new job taken at the
// next claim, B-only prepare seeds distinct, shares built from records.
#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "pool_shares.h"
#include "pool_work.h"

namespace {

using qkmine::Job;
using qkmine::PoolWork;
using qkmine::Work;
using qkmine::pool::PoolJob;

// Jobs as a client would hand them out: the newest one, numbered by arrival.
class FakeFeed {
 public:
  void send(PoolJob job) {
    std::lock_guard<std::mutex> lock(lock_);
    job.serial = ++serial_;
    newest_ = std::make_shared<const PoolJob>(std::move(job));
  }
  PoolWork::Feed feed() {
    return [this](uint64_t, std::chrono::milliseconds) {
      std::lock_guard<std::mutex> lock(lock_);
      return newest_;
    };
  }

 private:
  std::mutex lock_;
  uint64_t serial_ = 0;
  std::shared_ptr<const PoolJob> newest_;
};

PoolJob pool_job(const std::string& id, int mode, uint32_t extranonce, uint64_t max_nonces = 0) {
  PoolJob j;
  j.id = id, j.mode = mode, j.dims = {128, 256, 256}, j.extranonce = extranonce, j.max_nonces = max_nonces;
  j.key.fill(7), j.target.fill(~0u);
  return j;
}

// The seeds of attempt `i` of `work`, as the devices and records form them.
std::pair<uint64_t, uint64_t> seeds(const Work& w, int64_t i) {
  const QvRecord r = qkmine::record_base(*w.job, 0, w.first + i);
  return {r.seed_a, r.seed_b};
}

TEST(PoolWork, WaitsForTheFirstJobThenFollowsTheNewestAtTheNextClaim) {
  FakeFeed feed;
  PoolWork work(Job{}, feed.feed());
  EXPECT_FALSE(work.ready(std::chrono::milliseconds(1)));
  EXPECT_EQ(work.current(), nullptr);
  feed.send(pool_job("a", QV_MODE_FULL, 0x10));
  EXPECT_TRUE(work.ready(std::chrono::milliseconds(1)));
  const Work a = work.take(4);
  ASSERT_EQ(a.count, 4);
  EXPECT_EQ(work.pool_job(a.job->id)->id, "a");
  EXPECT_EQ(work.take(4).job->id, a.job->id);
  feed.send(pool_job("b", QV_MODE_FULL, 0x10));
  const Work b = work.take(4);  // the very next claim switches
  EXPECT_NE(b.job->id, a.job->id);
  EXPECT_EQ(work.pool_job(b.job->id)->id, "b");
  EXPECT_EQ(work.current()->id, "b");
  EXPECT_EQ(work.pool_job(a.job->id)->id, "a") << "shares of the old job still find it";
  feed.send(pool_job("c", QV_MODE_FULL, 0x10));
  const Work c = work.take(4);
  EXPECT_EQ(work.pool_job(c.job->id)->id, "c") << "every switch at the next claim";
  // Attempts given back go out again, but only while their job is the current one.
  work.give_back({c.job, c.first + 2, 2});
  work.give_back(b);
  const Work again = work.take(10);
  EXPECT_EQ(again.job->id, c.job->id);
  EXPECT_EQ(again.first, c.first + 2);
  EXPECT_EQ(again.count, 2);
}

TEST(PoolWork, FullSeedsStayInTheSpaceAndNeverRepeatAcrossDevices) {
  FakeFeed feed;
  feed.send(pool_job("a", QV_MODE_FULL, 0xabcd1234));
  PoolWork work(Job{}, feed.feed());
  std::mutex lock;
  std::set<std::pair<uint64_t, uint64_t>> seen;
  bool repeated = false, outside = false;
  std::vector<std::thread> devices;
  for (int d = 0; d < 4; ++d) {
    devices.emplace_back([&] {
      for (int n = 0; n < 200; ++n) {
        const Work w = work.take(1 + n % 3);
        std::lock_guard<std::mutex> l(lock);
        for (int64_t i = 0; i < w.count; ++i) {
          const auto s = seeds(w, i);
          outside = outside || (s.first >> 32) != 0xabcd1234;
          repeated = repeated || !seen.insert(s).second;
        }
      }
    });
  }
  for (std::thread& t : devices) t.join();
  EXPECT_FALSE(outside);
  EXPECT_FALSE(repeated);
}

TEST(PoolWork, TheLowHalfRunningOutMovesToAFreshLane) {
  FakeFeed feed;
  feed.send(pool_job("a", QV_MODE_FULL, 5));
  PoolWork work(Job{}, feed.feed());
  const Work first = work.take(PoolWork::kLane - 3);
  const Work end = work.take(10);  // only what is left of the lane
  ASSERT_EQ(end.count, 3);
  EXPECT_EQ(end.job->id, first.job->id);
  EXPECT_EQ(seeds(end, 2).first, (uint64_t(5) << 32) | 0xffffffffu);
  const Work next = work.take(10);
  EXPECT_NE(next.job->id, first.job->id) << "a new lane is a new job for the devices";
  EXPECT_EQ(work.pool_job(next.job->id)->id, "a");
  EXPECT_EQ(next.first, 0);
  EXPECT_EQ(seeds(next, 0).first, uint64_t(5) << 32);
  EXPECT_NE(seeds(next, 0).second, seeds(first, 0).second);
}

// Moving to another pool and back can bring a job back under the same id
// and extranonce: its seeds must not start over.
TEST(PoolWork, AJobHandedOutAgainGoesOnInALaneOfItsOwn) {
  FakeFeed feed;
  PoolJob a = pool_job("a", QV_MODE_FULL, 9);
  feed.send(a);
  PoolWork work(Job{}, feed.feed());
  std::set<std::pair<uint64_t, uint64_t>> seen;
  auto mine = [&](int64_t count) {  // attempts of job "a": never the same seeds twice
    const Work w = work.take(count);
    for (int64_t i = 0; i < w.count; ++i) EXPECT_TRUE(seen.insert(seeds(w, i)).second) << "attempt " << w.first + i;
    return w;
  };
  const Work before = mine(50);
  PoolJob other = pool_job("b", QV_MODE_FULL, 9);  // another key: its attempts are others
  other.pool = 1;
  feed.send(other);
  EXPECT_EQ(work.pool_job(work.take(50).job->id)->id, "b");
  feed.send(a);  // the first pool again, the same extranonce granted back
  const Work again = mine(50);
  EXPECT_EQ(work.pool_job(again.job->id)->id, "a");
  EXPECT_NE(again.job->id, before.job->id);
  PoolJob a_elsewhere = a;  // the same id in another seed space is another job: lane 0
  a_elsewhere.extranonce = 10;
  feed.send(a_elsewhere);
  EXPECT_EQ(seeds(work.take(1), 0), std::make_pair(uint64_t(10) << 32, uint64_t(0)));
}

TEST(PoolWork, BOnlyPrepareSeedsAreFreshPerPreparationInTheSpace) {
  FakeFeed feed;
  feed.send(pool_job("a", QV_MODE_BONLY, 0x77, 100));
  PoolWork work(Job{}, feed.feed());
  const Work w = work.take(64);
  EXPECT_EQ(w.job->max_nonces, 100u);
  std::set<uint64_t> seen;
  for (size_t device = 0; device < 3; ++device) {
    for (int again = 0; again < 3; ++again) {
      const uint64_t s = work.prepare_seed(*w.job, device);
      EXPECT_EQ(s >> 32, 0x77u);
      EXPECT_TRUE(seen.insert(s).second) << "seed " << s << " handed out twice";
    }
  }
}

TEST(PoolShares, ConfirmedSharesGoToThePoolWithTheirJobAndEveryRecordIsPrinted) {
  FakeFeed feed;
  feed.send(pool_job("a", QV_MODE_BONLY, 0x77, 100));
  PoolWork work(Job{}, feed.feed());
  const Work w = work.take(1);
  std::vector<qkmine::pool::Share> sent;
  bool finished = false;
  FILE* out = std::tmpfile();
  qkmine::PoolShares sink(out, work, [&](qkmine::pool::Share s) { sent.push_back(s); }, [&] { finished = true; });
  QvRecord r = qkmine::record_base(*w.job, 0x7700000003, 9);
  r.found = 12;
  sink.accept(r, "cpu", w.job->id);
  r.found = -1;  // --all: no share
  sink.accept(r, "cpu", w.job->id);
  r.found = 5;  // a job the source never handed out
  sink.accept(r, "cpu", w.job->id + 100);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].job->id, "a");
  EXPECT_EQ(sent[0].prepare_seed, 0x7700000003u);
  EXPECT_EQ(sent[0].nonce, 9u);
  EXPECT_EQ(sent[0].first_nonce, 0u);
  EXPECT_EQ(sent[0].found, 12);
  EXPECT_FALSE(finished);
  sink.finish();
  EXPECT_TRUE(finished);
  std::rewind(out);
  int lines = 0;
  for (int c; (c = std::fgetc(out)) != EOF;) lines += c == '\n';
  EXPECT_EQ(lines, 3);
  std::fclose(out);
}

}  // namespace
