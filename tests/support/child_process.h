// Tests of switches the library reads once per process (the search mode) or
// caches per thread and device (the persistent grid size) run this test
// binary again in a child with the switch set (child_run.h), and expect it
// to pass tests, not merely to exit 0.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "child_run.h"
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

// Runs the tests matching `filter` in a child with `env` (VAR=VALUE words)
// added. Fails the calling test, with the child's output, when the child
// fails or passes no test at all (a filter that matches nothing, or a child
// that skipped everything, proves nothing).
inline void expect_child_passes(const std::string& env, const std::string& filter) {
  const ChildRun run = run_self("QK_TEST_CHILD=1 " + env, filter);
  EXPECT_EQ(run.status, 0) << env << " " << filter << "\n" << run.output;
  const bool passed_some = run.output.find("[  PASSED  ] ") != std::string::npos &&
                           run.output.find("[  PASSED  ] 0 tests") == std::string::npos;
  EXPECT_TRUE(passed_some) << "the child passed no test: " << env << " " << filter << "\n"
                           << run.output;
}

}  // namespace quorl::test
