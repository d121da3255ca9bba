#include "gpu_builds.h"

#include <cstdlib>

#include "search/search_mode.h"
#include "variant_choice.h"

namespace qkmine {

const char* build_name(int variant) { return quorl::variant_name(variant); }

BuildInfo default_build(int major, int minor) {
  const int variant = quorl::choose_variant(nullptr, true, major, minor);
  return {build_name(variant), variant};
}

std::vector<BuildInfo> runnable_builds(int major, int minor) {
  std::vector<BuildInfo> builds;
  for (const int variant : quorl::runnable_variants(major, minor)) builds.push_back({build_name(variant), variant});
  return builds;
}

SearchMode search_mode_from_env() {
  if (quorl::search::skip_bound_value(std::getenv("SKIP_BOUND"))) return SearchMode::kSkip;
  return quorl::search::use_fused_bound_value(std::getenv("SEPARATE_BOUND"), std::getenv("FUSED_BOUND"))
             ? SearchMode::kFused
             : SearchMode::kSeparate;
}

const char* search_mode_name(SearchMode mode) {
  switch (mode) {
    case SearchMode::kFused: return "fused";
    case SearchMode::kSeparate: return "separate";
    case SearchMode::kSkip: return "skip";
  }
  return "?";
}

bool reports_standard_messages(int variant, SearchMode mode, int k) {
  return !(variant == QK_VARIANT_H100TMA && mode == SearchMode::kFused && k < 2048);
}

}  // namespace qkmine
