// QUORL_BONLY_OVERLAP: whether the B-only flows start each attempt's
// mutation in the tail of the previous attempt's search (attempt_order.h).
// Only the h100tma build's fused engine signals its dependents once every
// CTA has taken its last tile, so only that build reads the switch; it is
// off by default and read once per process.
#pragma once

#include <atomic>

#include "../common/build_name.h"
#include "../common/env_switch.h"

namespace QK_BUILD_NS {

inline bool overlap_searches() {
#if QK_BUILD_IS_H100TMA
  static std::atomic<int> cache{-1};
  return quorl::cached_switch(cache, "QUORL_BONLY_OVERLAP") != 0;
#else
  return false;
#endif
}

}  // namespace QK_BUILD_NS
