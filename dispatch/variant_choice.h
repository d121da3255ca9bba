// Which build a new context runs on.
#pragma once

#include <vector>

namespace quorl {

// The build named by `forced` (an exact, case-sensitive build name such as
// "sm_90a"), or -1 when it names none or is null.
int forced_variant(const char* forced);

// `forced` is QUORL_KERNEL_VARIANT (null when unset). An exact, case-sensitive
// build name wins; anything else falls through to the device: a failed
// property query gives fallback, otherwise the compute capability decides
// (8.9 sm89, 9.x h100tma, 12.x sm120a, everything else fallback).
int choose_variant(const char* forced, bool query_ok, int major, int minor);

// "sm89", "sm120a", "h100tma", "fallback" (the names QUORL_KERNEL_VARIANT
// takes first); "?" for any other number.
const char* variant_name(int variant);

// The builds compiled for a device of this compute capability: the one
// choose_variant gives it, then fallback (sm_80 and later), nothing before
// sm_80. These are the builds tools run and check on the device.
std::vector<int> runnable_variants(int major, int minor);

}  // namespace quorl
