// qkmine's subcommands. Each takes the whole argument list (args[1] is the
// subcommand) and returns the process exit status: 0 success, 1 failure,
// 2 bad usage, 3 no GPU visible where the command needs one; `mine` also
// 4 when a device hung (it exits from inside the run) and 128 + the signal
// on a second SIGINT or SIGTERM.
#pragma once

#include <string>
#include <vector>

namespace qkmine {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoGpu = 3;
constexpr int kExitHung = 4;

int run_commit(const std::vector<std::string>& args);
int run_verify(const std::vector<std::string>& args);
int run_mine(const std::vector<std::string>& args);
int run_bench(const std::vector<std::string>& args);
int run_selftest(const std::vector<std::string>& args);

}  // namespace qkmine
