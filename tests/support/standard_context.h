// A context of one build on device 0 under the standard grid labelling,
// released with the object, and the state the device tier reads back.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "device_env.h"
#include "quorl_ref/attempt.hpp"

namespace quorl::test {

struct StandardContext {
  ref::Dims d;
  QkHandle* h;

  StandardContext(const BuildName& build, ref::Dims dims)
      : d(dims), h(open_standard(build, dims.m, dims.n, dims.k)) {}
  ~StandardContext() { qk_free(h); }
  StandardContext(const StandardContext&) = delete;
  StandardContext& operator=(const StandardContext&) = delete;

  std::vector<int8_t> b_plain() const {
    std::vector<int8_t> b(size_t(d.n) * d.k);
    EXPECT_EQ(qk_get_plain(h, nullptr, b.data()), 0);
    return b;
  }
  std::array<ref::Cv, 2> roots() const {
    std::array<ref::Cv, 2> r{};
    EXPECT_EQ(qk_get_hashes(h, r[0].data(), r[1].data()), 0);
    return r;
  }
};

}  // namespace quorl::test
