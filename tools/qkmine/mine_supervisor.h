// The thread that runs the devices of a `qkmine mine` run: one host thread
// per device, progress every few seconds, the watchdog, and at the end the
// checks still waiting and the summary.
#pragma once

#include <vector>

#include "mine_run.h"

namespace qkmine {

// A device of a run: mines on its own thread until the run is over or the
// device fails (MineRun::fail).
class DeviceWorker {
 public:
  virtual ~DeviceWorker() = default;
  virtual void run(MineRun& run) = 0;
};

constexpr double kProgressSeconds = 3.0;

// Runs workers[i] as device i of `run`. A device whose call has not
// returned within `watchdog_seconds` (0: never) is reported as hung and the
// run stops. Returns kExitOk, or kExitFailed when a device failed. After a
// hang it does not return: it prints the summary and ends the process with
// kExitHung, since a thread stuck in a driver call can be neither joined
// nor recovered.
int supervise(MineRun& run, const std::vector<DeviceWorker*>& workers, double watchdog_seconds);

}  // namespace qkmine
