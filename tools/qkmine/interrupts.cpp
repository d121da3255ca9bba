#include "interrupts.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace qkmine {
namespace {

// Only lock-free atomics may be touched from a signal handler.
static_assert(std::atomic<int>::is_always_lock_free);
std::atomic<int> g_interrupts{0};

constexpr int kSignals[] = {SIGINT, SIGTERM};
struct sigaction g_previous[2];

void say(const char* text) {
  // Nothing to do if stderr is gone; the exit status still tells.
  [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, text, std::strlen(text));
}

extern "C" void on_interrupt(int sig) {
  if (g_interrupts.fetch_add(1) == 0) {
    say("qkmine mine: stopping after each device's current batch, then the summary "
        "(interrupt again to exit at once)\n");
    return;
  }
  say("qkmine mine: interrupted again: exiting at once, without the summary\n");
  ::_exit(128 + sig);
}

}  // namespace

InterruptCatcher::InterruptCatcher() {
  g_interrupts.store(0);
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // reads and writes of other threads go on undisturbed
  for (int i = 0; i < 2; ++i) sigaction(kSignals[i], &action, &g_previous[i]);
}

InterruptCatcher::~InterruptCatcher() {
  for (int i = 0; i < 2; ++i) sigaction(kSignals[i], &g_previous[i], nullptr);
  g_interrupts.store(0);
}

bool interrupt_requested() { return g_interrupts.load() > 0; }

}  // namespace qkmine
