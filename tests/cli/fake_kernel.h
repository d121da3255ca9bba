// A stand-in for libquorl_kernel's calls that qkmine's GPU miner and
// selftest make, computed on the reference model, so their bookkeeping
// (attempt numbers, prepare seeds, nonce runs, roots, confirmation on the
// host, the selftest's verdicts) runs on any machine.
#pragma once

namespace quorl::test {

// When set, searches report a cell that does not meet the target (a faulty
// device), whenever some cell does.
void fake_kernel_reports_wrong_cells(bool on);

}  // namespace quorl::test
