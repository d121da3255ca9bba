// The search mode a device test expects from the library: the one its parent
// test named in QK_SEARCH_TEST_MODE (so the library's reading of SKIP_BOUND,
// SEPARATE_BOUND and FUSED_BOUND is checked, not assumed), or else the one
// the variables choose by the library's rule (the GPU check sets them
// directly).
#pragma once

#include <cstdlib>
#include <string>

#include "../../cuda/search/search_mode.h"

namespace quorl::test {

enum class SearchMode { kFused, kSeparate, kSkipped };

inline SearchMode expected_search_mode() {
  if (const char* named = std::getenv("QK_SEARCH_TEST_MODE")) {
    const std::string m = named;
    return m == "skip" ? SearchMode::kSkipped
                       : m == "separate" ? SearchMode::kSeparate : SearchMode::kFused;
  }
  if (search::skip_bound_value(std::getenv("SKIP_BOUND"))) return SearchMode::kSkipped;
  return search::use_fused_bound_value(std::getenv("SEPARATE_BOUND"), std::getenv("FUSED_BOUND"))
             ? SearchMode::kFused
             : SearchMode::kSeparate;
}

inline const char* mode_name(SearchMode mode) {
  return mode == SearchMode::kSkipped ? "skip" : mode == SearchMode::kSeparate ? "separate" : "fused";
}

}  // namespace quorl::test
