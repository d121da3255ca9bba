// Runs this test binary again, on a filter and with extra environment, for
// the switches the library reads once per process.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

namespace quorl::test {

struct ChildRun {
  int status = -1;     // pclose's status: 0 when the child passed
  std::string output;  // its stdout and stderr
};

// `env` is "NAME=value ..." (no quotes needed). The path of this binary is
// resolved here: inside the shell that popen starts, /proc/self/exe would
// name the shell.
inline ChildRun run_self(const std::string& env, const std::string& filter) {
  ChildRun run;
  char exe[PATH_MAX] = {};
  const ssize_t length = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (length <= 0) {
    ADD_FAILURE() << "cannot resolve /proc/self/exe";
    return run;
  }
  const std::string command = "env " + env + " '" + std::string(exe, size_t(length)) +
                              "' --gtest_filter='" + filter + "' 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "cannot run " << command;
    return run;
  }
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) run.output += buffer;
  run.status = ::pclose(pipe);
  return run;
}

// Whether the child ran `test` (Suite.Name) to a pass: a filter that matches
// nothing also exits 0.
inline ::testing::AssertionResult child_passed(const ChildRun& run, const std::string& test) {
  if (run.status == 0 && run.output.find("[       OK ] " + test) != std::string::npos) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << test << " did not pass in the child (status "
                                       << run.status << "):\n"
                                       << run.output;
}

}  // namespace quorl::test
