// A stand-in for libquorl_kernel's calls that qkmine's GPU miner and
// selftest make, computed on the reference model, so their bookkeeping
// (attempt numbers, prepare seeds, nonce runs, roots, confirmation on the
// host, the selftest's verdicts) runs on any machine. Its devices can be
// made to fail the ways real ones do.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorl::test {

// When set, searches report a cell that does not meet the target (a faulty
// device), whenever some cell does.
void fake_kernel_reports_wrong_cells(bool on);

// How the stand-in GPU with a given ordinal misbehaves; read when its
// context is created.
struct FakeFaults {
  // Attempts that succeed before a sticky error (an illegal address): from
  // then on mining calls find nothing and status calls return 700.
  int64_t sticky_after = -1;  // -1: never
  // A failed batch hands back the previous batch's outcomes, as the
  // library did before its batch call reset them first; else -1s.
  bool stale_batches = false;
  // Once more attempts than this ran, qk_get_hashes fails (999, unknown
  // error) while mining works; -1: never.
  int64_t readback_fails_after = -1;
  // Every mining call fails on entry (a kernel with no image for the
  // device), an error the next call drops: found -1, status calls succeed.
  bool launch_fails = false;
  // After this many attempts the next mining call does not return for a
  // minute (or until fake_kernel_reset), then fails; -1: never.
  int64_t block_after = -1;
  // Every mining call takes this much longer.
  int call_ms = 0;
};
void fake_kernel_set_faults(int device, const FakeFaults& faults);

// Every device healthy again, blocked calls released, the log emptied.
void fake_kernel_reset();
// Empties the log alone (of the miners' trial attempts, say).
void fake_kernel_forget_hits();

// Every hit a mining call reported and a later qk_get_hashes stood behind
// (a failed status call disowns the hits since the last one), in the
// words of a record: "seed_a=S found=F" (full) or "prepare_seed=P nonce=N
// found=F" (B-only).
std::vector<std::string> fake_kernel_hits();

}  // namespace quorl::test
