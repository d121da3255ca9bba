// qkmine: the command-line front of libquorl_kernel.
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"

namespace {

constexpr const char* kUsage =
    "usage: qkmine <command> [options]\n"
    "commands:\n"
    "  commit   generate A and B from seeds and print their commitment roots\n"
    "  mine     run attempts on GPUs (or --devices cpu: the reference model) and print a record per share\n"
    "  verify   check a mining record on the host (fields as options or JSON on stdin)\n"
    "  bench    time the stages, the B-only attempt rates and the search pass beside cuBLASLt on a GPU\n"
    "  selftest check every build the GPU runs against the reference model (exit 3: no GPU)\n";

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv, argv + argc);
  if (args.size() < 2) {
    std::fputs(kUsage, stderr);
    return qkmine::kExitUsage;
  }
  const std::string& command = args[1];
  if (command == "commit") return qkmine::run_commit(args);
  if (command == "verify") return qkmine::run_verify(args);
  if (command == "mine") return qkmine::run_mine(args);
  if (command == "bench") return qkmine::run_bench(args);
  if (command == "selftest") return qkmine::run_selftest(args);
  if (command == "--help" || command == "help") {
    std::fputs(kUsage, stdout);
    return qkmine::kExitOk;
  }
  std::fprintf(stderr, "qkmine: unknown command '%s'\n%s", command.c_str(), kUsage);
  return qkmine::kExitUsage;
}
