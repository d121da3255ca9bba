// A test suite whose tests share one CA, pool certificate and key, made
// once in a temporary folder by make_tls_files and removed after the suite.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "pool_process.h"

namespace quorl::test {

class TlsSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char dir[] = "/tmp/qk_pool_tls_XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    dir_ = dir;
    ASSERT_EQ(make_tls_files(dir_, files_), "");
  }
  static void TearDownTestSuite() { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  static inline std::string dir_;
  static inline TlsFiles files_;
};

}  // namespace quorl::test
