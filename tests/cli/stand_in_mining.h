// Mining in-process on stand-in GPUs (fake_kernel.cpp) and reading back
// what the run printed.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fake_kernel.h"
#include "gpu_miner.h"
#include "mine_job.h"
#include "mine_run.h"
#include "mine_supervisor.h"
#include "quorl_verify.h"

namespace quorl::test {

// A 128 x 256 x 256 job whose target a few of the 256 cells meet in most
// attempts (`difficulty` 6), or fewer at a higher difficulty.
inline qkmine::Job small_job(int mode, int64_t attempts, bool all, int difficulty = 6) {
  qkmine::Job job;
  job.mode = mode;
  job.dims = {128, 256, 256};
  for (uint32_t i = 0; i < 8; ++i) job.key[i] = 0x01010101u * i;
  job.target = qkmine::target_for_difficulty(difficulty);
  job.seed_a = 0, job.seed_b = 1000;
  job.prepare_seed = 50, job.first_nonce = 7;
  job.attempts = attempts;
  job.all = all;
  job.json = true;
  return job;
}

struct Mined {
  std::vector<std::string> records;
  std::string summary;
  int exit_status = -1;
};

// The records and the JSON summary in `out`, read from its start.
inline Mined read_mined(FILE* out) {
  std::rewind(out);
  Mined mined;
  char line[4096];
  while (std::fgets(line, sizeof line, out) != nullptr) {
    std::string text(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (text.find("\"summary\":true") != std::string::npos) mined.summary = text;
    else mined.records.push_back(text);
  }
  return mined;
}

struct StandIn {
  int gpus = 1;
  double watchdog = 0;                    // seconds; 0: off
  qkmine::VerifyQueue::Confirm confirm;   // null: the host verifier
};

// Opens `gpus` stand-in devices, mines `job` on them and writes to `out`.
inline int mine_into(FILE* out, const qkmine::Job& job, const StandIn& s = {}) {
  std::vector<qkmine::GpuMiner> workers;
  std::vector<std::string> names;
  workers.reserve(size_t(s.gpus));
  for (int i = 0; i < s.gpus; ++i) {
    workers.emplace_back(job, i, size_t(i));
    names.push_back("gpu:" + std::to_string(i));
  }
  std::vector<qkmine::DeviceWorker*> running;
  for (qkmine::GpuMiner& w : workers) {
    EXPECT_EQ(w.open(), "");
    running.push_back(&w);
  }
  fake_kernel_forget_hits();  // those of the trial attempts
  qkmine::MineRun::Setup setup;
  setup.confirm = s.confirm;
  qkmine::MineRun run(job, names, out, std::move(setup));
  return qkmine::supervise(run, running, s.watchdog);
}

inline Mined mine(const qkmine::Job& job, const StandIn& s = {}) {
  FILE* out = std::tmpfile();
  const int status = mine_into(out, job, s);
  Mined mined = read_mined(out);
  std::fclose(out);
  mined.exit_status = status;
  return mined;
}

inline void expect_verifies(const std::string& record) {
  QvRecord r;
  QvVerdict v;
  char why[256] = "";
  ASSERT_EQ(qv_parse_record(record.data(), record.size(), &r, why, sizeof why), QV_OK) << why;
  EXPECT_EQ(qv_verify(&r, 1, &v, why, sizeof why), QV_OK) << record << " fault " << v.fault << " " << why;
}

// The number after "name": in a line of JSON (the first occurrence).
inline uint64_t json_number(const std::string& json, const std::string& name) {
  const size_t at = json.find("\"" + name + "\":");
  EXPECT_NE(at, std::string::npos) << name << " in " << json;
  return at == std::string::npos ? 0 : std::stoull(json.substr(at + name.size() + 3));
}

}  // namespace quorl::test
