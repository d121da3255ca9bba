// Which library builds a GPU runs, and when a build's search reports the
// standard cell messages that the host verifier recomputes. The choice of
// build is the dispatcher's own rule (dispatch/variant_choice.h).
#pragma once

#include <string>
#include <vector>

#include "quorl_kernel.h"

namespace qkmine {

struct BuildInfo {
  const char* name;  // as QUORL_KERNEL_VARIANT takes it
  int variant;       // enum QkVariant
};

// "sm89", "sm120a", "h100tma", "fallback" ("?" for anything else).
const char* build_name(int variant);

// The build the dispatcher picks for a device of this compute capability
// when QUORL_KERNEL_VARIANT does not name one.
BuildInfo default_build(int major, int minor);

// The device's own build, then fallback, which runs on sm_80 and later;
// nothing before sm_80.
std::vector<BuildInfo> runnable_builds(int major, int minor);

// The search modes, as the library reads them from the environment.
enum class SearchMode { kFused, kSeparate, kSkip };
SearchMode search_mode_from_env();
const char* search_mode_name(SearchMode mode);

// The h100tma fused engine always multiplies k positions 0..2047 (zeros past
// k), so for k < 2048 its message words from slice k/128 on hold the full dot
// products instead of zeros: a share it finds is not a share of the standard
// messages. Every other build and mode reports the standard messages.
bool reports_standard_messages(int variant, SearchMode mode, int k);

}  // namespace qkmine
