// What a run knows of one device while it mines: its counts, its health
// (failed or hung, and why), and the call it is in, which the watchdog
// times.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "run_summary.h"

namespace qkmine {

struct DeviceTally {
  std::string name;  // "gpu:N" or "cpu"
  std::atomic<int64_t> attempts{0};  // completed and checked by the device's status call
  std::atomic<int64_t> shares{0}, rejected{0};  // hits the host confirmed / did not
  // The call the device is in and since when (steady-clock nanoseconds; 0
  // between calls), for the watchdog.
  std::atomic<const char*> call{""};
  std::atomic<int64_t> call_since{0};
  // The end of the device's first counted batch (its warm-up) and the
  // attempts counted by then, for the steady rate.
  std::atomic<int64_t> warm_at{0}, warm_attempts{0};

  Health health() const;
  std::string error() const;  // why it failed or hung
  // Leaves kMining for `to` with `why`; false if it had already left it.
  bool settle(Health to, const std::string& why = "");

 private:
  mutable std::mutex lock_;
  Health health_ = Health::kMining;
  std::string error_;
};

int64_t steady_now_ns();

// Marks the device as inside `call` for as long as it lives.
class DeviceCall {
 public:
  DeviceCall(DeviceTally& tally, const char* call) : tally_(tally) {
    tally.call.store(call);
    tally.call_since.store(steady_now_ns());
  }
  ~DeviceCall() { tally_.call_since.store(0); }
  DeviceCall(const DeviceCall&) = delete;
  DeviceCall& operator=(const DeviceCall&) = delete;

 private:
  DeviceTally& tally_;
};

}  // namespace qkmine
