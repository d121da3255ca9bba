// qkmine's commands. Each returns the process exit status: 0 success,
// 1 failure, 2 bad usage, 3 no GPU visible where the command needs one;
// `mine` also 4 when a device hung (it exits from inside the run) and
// 128 + the signal on a second SIGINT or SIGTERM.
#pragma once

#include "command_line.h"

namespace qkmine {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoGpu = 3;
constexpr int kExitHung = 4;

CommandSpec commit_command();
CommandSpec mine_command();
CommandSpec verify_command();
CommandSpec bench_command();
CommandSpec selftest_command();
CommandSpec devices_command();

}  // namespace qkmine
