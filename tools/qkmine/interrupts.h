// SIGINT and SIGTERM while qkmine mines: the first asks the run to stop
// after each device's current batch (the summary still prints), the second
// ends the process at once with status 128 + the signal's number.
//
// The handler touches nothing but a lock-free counter with static storage,
// write(2) and _exit(2), so a signal arriving at any moment (while the run
// is being built or torn down included) is safe.
#pragma once

namespace qkmine {

// Installs the handlers for its lifetime and puts the previous ones back;
// the count of interrupts starts at zero either way.
class InterruptCatcher {
 public:
  InterruptCatcher();
  ~InterruptCatcher();
  InterruptCatcher(const InterruptCatcher&) = delete;
  InterruptCatcher& operator=(const InterruptCatcher&) = delete;
};

// True once a first SIGINT or SIGTERM arrived while a catcher was installed.
bool interrupt_requested();

}  // namespace qkmine
