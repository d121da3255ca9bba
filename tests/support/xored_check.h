// The separate-bound search leaves every cell message in `xored`: word s of
// cell c at s * cells + c, planes 16 and above zero.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "quorl_ref/blake3.hpp"

namespace quorl::test {

// Compares the planes with the messages word by word, naming the first few
// words that differ.
inline void expect_xored_matches(const std::vector<uint32_t>& xored,
                                 const std::vector<ref::Block>& messages, size_t planes) {
  const size_t cells = messages.size();
  ASSERT_EQ(xored.size(), planes * cells);
  int wrong = 0;
  for (size_t cell = 0; cell < cells; ++cell) {
    for (size_t s = 0; s < planes; ++s) {
      const uint32_t want = s < 16 ? messages[cell][s] : 0u;
      if (xored[s * cells + cell] != want && ++wrong <= 5) {
        ADD_FAILURE() << "cell " << cell << " word " << s << ": " << xored[s * cells + cell]
                      << ", want " << want;
      }
    }
  }
  EXPECT_EQ(wrong, 0) << "message words differ from the reference";
}

}  // namespace quorl::test
