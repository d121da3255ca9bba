// Switches that the library reads once per process (the search mode) or
// caches per thread and device (the persistent grid size) are tested by
// running this test binary again, in a child process with the switch set.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "small_shapes.h"

namespace quorl::test {

// True in a child started by expect_child_passes: tests that start children
// skip there.
inline bool in_child_process() { return std::getenv("QK_TEST_CHILD") != nullptr; }

// Tests that start children skip inside a child and under the sanitizer.
#define QK_SKIP_WHERE_NO_CHILDREN()                                                              \
  do {                                                                                          \
    if (::quorl::test::in_child_process()) GTEST_SKIP() << "a child starts no children";        \
    if (::quorl::test::small_shapes_only()) GTEST_SKIP() << "no children under the sanitizer";  \
  } while (0)

// This binary's path. (A shell resolves /proc/self/exe to itself, so the
// command line must name the file.)
inline std::string self_path() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, size_t(n)) : std::string();
}

// Runs the tests matching `filter` in a child process with `env` (VAR=VALUE
// words) added to its environment. Fails the calling test, with the child's
// output, when the child fails or runs no test at all (a filter that
// matches nothing, or a child that skipped everything, proves nothing).
inline void expect_child_passes(const std::string& env, const std::string& filter) {
  const std::string command = "env QK_TEST_CHILD=1 " + env + " '" + self_path() +
                              "' --gtest_color=no --gtest_filter='" + filter + "' 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr) << command;
  std::string output;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  const int status = ::pclose(pipe);
  EXPECT_EQ(status, 0) << command << "\n" << output;
  const bool passed_some = output.find("[  PASSED  ] ") != std::string::npos &&
                           output.find("[  PASSED  ] 0 tests") == std::string::npos;
  EXPECT_TRUE(passed_some) << "the child passed no test: " << command << "\n" << output;
}

}  // namespace quorl::test
