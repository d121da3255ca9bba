// qkmine: the command-line front of libquorl_kernel.
#include "commands.h"

int main(int argc, char** argv) {
  using namespace qkmine;
  return run_command_line(argc, argv,
                          {commit_command(), mine_command(), verify_command(), bench_command(),
                           selftest_command(), devices_command()});
}
