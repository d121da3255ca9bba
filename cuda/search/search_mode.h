// The search mode, chosen once per process and build from the environment.
#pragma once

#include <cstdlib>

namespace quorl::search {

// SKIP_BOUND: its mere presence skips the bound, whatever its value.
inline int skip_bound_value(const char* skip_bound) { return skip_bound != nullptr ? 1 : 0; }

// SEPARATE_BOUND present: separate mode. Else FUSED_BOUND, when present, is on
// for a non-zero base-10 value (so "0" and "off" choose separate). Unset: fused.
inline int use_fused_bound_value(const char* separate_bound, const char* fused_bound) {
  if (separate_bound != nullptr) return 0;
  if (fused_bound != nullptr) return std::strtol(fused_bound, nullptr, 10) != 0 ? 1 : 0;
  return 1;
}

}  // namespace quorl::search
